// A window to drag from in the drop tests: its whole area is a drag source offering the URIs given
// (as text/uri-list), or with --text only a piece of plain text. It prints "ready" once it is on
// screen and ends after 120 s at the latest.
//
// usage: drag_source X Y (--text | URI...)
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
std::vector<gchar*> sUris;

void GetData(GtkWidget*, GdkDragContext*, GtkSelectionData* data, guint, guint, gpointer)
{
    if (sUris.empty()) {
        gtk_selection_data_set_text(data, "just text", -1);
        return;
    }
    std::vector<gchar*> uris = sUris;
    uris.push_back(nullptr);
    gtk_selection_data_set_uris(data, uris.data());
}

gboolean Shown(GtkWidget*, GdkEvent*, gpointer)
{
    printf("ready\n");
    fflush(stdout);
    return FALSE;
}
}  // namespace

int main(int argc, char** argv)
{
    gtk_init(&argc, &argv);
    if (argc < 4) {
        fprintf(stderr, "usage: drag_source X Y (--text | URI...)\n");
        return 2;
    }
    const bool text = strcmp(argv[3], "--text") == 0;
    for (int i = 3; !text && i < argc; ++i)
        sUris.push_back(argv[i]);

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 200, 200);
    gtk_window_move(GTK_WINDOW(window), atoi(argv[1]), atoi(argv[2]));
    GtkWidget* area = gtk_event_box_new();
    gtk_container_add(GTK_CONTAINER(area), gtk_label_new("drag me"));
    gtk_container_add(GTK_CONTAINER(window), area);
    GtkTargetEntry target = {const_cast<gchar*>(text ? "text/plain" : "text/uri-list"), 0, 0};
    gtk_drag_source_set(area, GDK_BUTTON1_MASK, &target, 1, GDK_ACTION_COPY);
    g_signal_connect(area, "drag-data-get", G_CALLBACK(&GetData), nullptr);
    g_signal_connect(window, "map-event", G_CALLBACK(&Shown), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(&gtk_main_quit), nullptr);
    g_timeout_add_seconds(120, [](gpointer) -> gboolean {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
    }, nullptr);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
