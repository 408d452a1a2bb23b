// Runs the GTK dialogs on a private Xvfb display and answers them as a user would.
#include "Platform/Dialogs/Dialogs.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
GtkWidget* FindWidget(GtkWidget* widget, const std::function<bool(GtkWidget*)>& matches)
{
    GtkWidget* found = matches(widget) ? widget : nullptr;
    if (!found && GTK_IS_CONTAINER(widget)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
        for (GList* child = children; child && !found; child = child->next)
            found = FindWidget(GTK_WIDGET(child->data), matches);
        g_list_free(children);
    }
    return found;
}

void Click(GtkDialog* dialog, const std::string& label)
{
    gtk_button_clicked(GTK_BUTTON(FindWidget(GTK_WIDGET(dialog), [&](GtkWidget* widget) {
        return GTK_IS_BUTTON(widget) && label == (gtk_button_get_label(GTK_BUTTON(widget)) ?: "");
    })));
}

// Shows folder and selects the expected items as a user would (Ctrl+A in the file list when
// several may be chosen), then presses "Choose" once they are selected (folders load
// asynchronously).
bool ChooseIn(GtkDialog* dialog, int tick, const std::string& folder, const std::vector<std::string>& expected)
{
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    if (tick == 0)
        gtk_file_chooser_set_current_folder(chooser, folder.c_str());
    GtkWidget* list = FindWidget(GTK_WIDGET(dialog), [](GtkWidget* widget) {
        return GTK_IS_TREE_VIEW(widget) && gtk_widget_get_mapped(widget) &&
               gtk_tree_selection_get_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(widget))) == GTK_SELECTION_MULTIPLE;
    });
    if (list)
        gtk_tree_selection_select_all(gtk_tree_view_get_selection(GTK_TREE_VIEW(list)));
    else
        gtk_file_chooser_select_filename(chooser, expected.front().c_str());
    std::vector<std::string> selected;
    GSList* filenames = gtk_file_chooser_get_filenames(chooser);
    for (GSList* item = filenames; item; item = item->next)
        selected.push_back(static_cast<const char*>(item->data));
    g_slist_free_full(filenames, g_free);
    if (selected == expected)
        Click(dialog, "Choose");
    return selected == expected;
}

// Returns what show returns, handing the dialog it puts on screen and the tick number to answer
// every 50 ms until answer reports it answered; a dialog still open 30 s after it appeared fails
// the test and is closed (a loaded machine under the sanitizers may take several seconds to fill
// a file chooser).
template <typename Show>
auto Answering(const std::function<bool(GtkDialog*, int)>& answer, Show show)
{
    struct State {
        const std::function<bool(GtkDialog*, int)>& answer;
        int ticks;
        bool answered;
    } state{answer, 0, false};
    const guint source = g_timeout_add(50, [](gpointer data) -> gboolean {
        State& self = *static_cast<State*>(data);
        GtkDialog* dialog = nullptr;
        GList* windows = gtk_window_list_toplevels();
        for (GList* item = windows; item; item = item->next)
            if (GTK_IS_DIALOG(item->data) && gtk_widget_get_mapped(GTK_WIDGET(item->data)))
                dialog = GTK_DIALOG(item->data);
        g_list_free(windows);
        if (dialog && !self.answered)
            self.answered = self.answer(dialog, self.ticks);
        if (dialog && ++self.ticks > 600) {
            ADD_FAILURE() << "the dialog stayed open";
            gtk_dialog_response(dialog, GTK_RESPONSE_DELETE_EVENT);
        }
        return G_SOURCE_CONTINUE;
    }, &state);
    const auto result = show();
    g_source_remove(source);
    return result;
}

class GtkDialogs : public testing::Test {
protected:
    // Starts Xvfb on a free display (it writes the number, then a line feed, once ready).
    // GTK runs without accessibility bus, settings daemon or virtual file system; recent files
    // and caches go to a private home in the build tree.
    static void SetUpTestSuite()
    {
        setenv("NO_AT_BRIDGE", "1", 1);
        setenv("GSETTINGS_BACKEND", "memory", 1);
        setenv("GIO_USE_VFS", "local", 1);
        unsetenv("WAYLAND_DISPLAY");
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
            setenv(name, GTK_TEST_HOME, 1);
        int fds[2];
        gchar* xvfb = g_find_program_in_path("Xvfb");
        if (xvfb && pipe(fds) == 0) {
            if ((sXvfb = fork()) == 0) {
                prctl(PR_SET_PDEATHSIG, SIGTERM);  // no stray display when the test is killed
                execl(xvfb, "Xvfb", "-displayfd", std::to_string(fds[1]).c_str(), "-nolisten", "tcp",
                      static_cast<char*>(nullptr));
                _exit(127);
            }
            close(fds[1]);
            std::string display = ":";
            for (char c; read(fds[0], &c, 1) == 1 && c != '\n';)
                display += c;
            close(fds[0]);
            setenv("DISPLAY", display.c_str(), 1);
            sToolkit = MakeGtkDialogToolkit().release();
        }
        g_free(xvfb);
    }
    static void TearDownTestSuite()
    {
        delete sToolkit;
        if (sXvfb > 0 && kill(sXvfb, SIGTERM) == 0)
            waitpid(sXvfb, nullptr, 0);
    }
    void SetUp() override
    {
        if (!sToolkit || !sToolkit->HasApplication())
            GTEST_SKIP() << "no Xvfb display";
    }

    static inline pid_t sXvfb = 0;
    static inline DialogToolkit* sToolkit = nullptr;
};
}  // namespace

TEST(GtkDialogsHeadless, NoDisplayMeansNoApplication)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, GTK not yet initialised
    EXPECT_EXIT(
        {
            unsetenv("DISPLAY");
            const auto toolkit = MakeGtkDialogToolkit();
            _exit(toolkit->HasApplication() || toolkit->RunOpenPanel(OpenPanelRequest()).hitOK ||
                  toolkit->RunAlert(AlertRequest()).pressedButton != kNoAlertButton);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(GtkDialogs, PanelsChooseFilesAndFoldersOrOneFolder)
{
    const std::string root = GTK_TEST_HOME "/picks";
    g_mkdir_with_parents((root + "/Docs/In").c_str(), 0700);
    g_file_set_contents((root + "/a.txt").c_str(), "a", 1, nullptr);
    OpenPanelRequest upload;
    upload.title = "Choose files and folders\u2026";
    upload.message = "Choose files and/or folders you wish to send";
    upload.prompt = "Choose";
    upload.canChooseDirectories = upload.allowsMultipleSelection = upload.shieldingLevel = true;
    OpenPanelResult result = Answering([&](GtkDialog* dialog, int tick) {
        EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(dialog)), "Choose files and folders\u2026");
        return ChooseIn(dialog, tick, root, {root + "/Docs", root + "/a.txt"});
    }, [&] { return sToolkit->RunOpenPanel(upload); });
    EXPECT_TRUE(result.hitOK);
    EXPECT_EQ(result.filenames, (std::vector<std::string>{root + "/Docs", root + "/a.txt"}));
    EXPECT_EQ(result.directory, root);

    // The folder panel, attached to the one window on screen.
    GtkWidget* mainWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_show(mainWindow);
    OpenPanelRequest download;
    download.prompt = "Choose";
    download.canChooseFiles = false;
    download.canChooseDirectories = download.canCreateDirectories = true;
    download.parent = sToolkit->MainWindow();
    EXPECT_EQ(download.parent, reinterpret_cast<DialogWindow>(mainWindow));
    result = Answering([&](GtkDialog* dialog, int tick) {
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), GTK_WINDOW(mainWindow));
        EXPECT_TRUE(gtk_file_chooser_get_create_folders(GTK_FILE_CHOOSER(dialog)));
        return ChooseIn(dialog, tick, root + "/Docs", {root + "/Docs/In"});
    }, [&] { return sToolkit->RunOpenPanel(download); });
    gtk_widget_destroy(mainWindow);
    EXPECT_TRUE(result.hitOK);
    EXPECT_EQ(result.directory, root + "/Docs/In");
}

TEST_F(GtkDialogs, AlertReportsTheButtonPressed)
{
    AlertRequest request;
    request.messageText = "Add 3 item(s) for sending?\n";
    request.buttons = {"Add Files", "Cancel"};
    EXPECT_EQ(Answering([](GtkDialog* dialog, int) {
        GtkMessageType type = GTK_MESSAGE_OTHER;
        gchar* text = nullptr;
        g_object_get(dialog, "message-type", &type, "text", &text, nullptr);
        EXPECT_EQ(type, GTK_MESSAGE_WARNING);
        EXPECT_STREQ(text, "Add 3 item(s) for sending?\n");
        g_free(text);
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(gtk_dialog_get_widget_for_response(dialog, 1))), "Cancel");
        Click(dialog, "Add Files");
        return true;
    }, [&] { return sToolkit->RunAlert(request); }).pressedButton, 0);
}
