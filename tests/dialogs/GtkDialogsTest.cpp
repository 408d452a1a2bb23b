// Runs the GTK dialogs on a private Xvfb display and answers them as a user would.
#include "Platform/Dialogs/Dialogs.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <csignal>
#include <functional>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
GtkWidget* FindWidget(GtkWidget* widget, const std::function<bool(GtkWidget*)>& matches)
{
    if (matches(widget))
        return widget;
    GtkWidget* found = nullptr;
    if (GTK_IS_CONTAINER(widget)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
        for (GList* child = children; child && !found; child = child->next)
            found = FindWidget(GTK_WIDGET(child->data), matches);
        g_list_free(children);
    }
    return found;
}

GtkWidget* FindButton(GtkWidget* dialog, const std::string& label)
{
    return FindWidget(dialog, [&](GtkWidget* widget) {
        return GTK_IS_BUTTON(widget) && gtk_button_get_label(GTK_BUTTON(widget)) &&
               label == gtk_button_get_label(GTK_BUTTON(widget));
    });
}

// Selects every item of the folder shown, as Ctrl+A in the file list does.
void SelectAllShown(GtkWidget* dialog)
{
    GtkWidget* list = FindWidget(dialog, [](GtkWidget* widget) {
        return GTK_IS_TREE_VIEW(widget) && gtk_widget_get_mapped(widget) &&
               gtk_tree_selection_get_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(widget))) ==
                   GTK_SELECTION_MULTIPLE;
    });
    if (list)
        gtk_tree_selection_select_all(gtk_tree_view_get_selection(GTK_TREE_VIEW(list)));
}

// Presses "Choose" once the chooser has the expected number of items selected.
bool ClickWhenSelected(GtkDialog* dialog, unsigned int count)
{
    GSList* selected = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
    const bool ready = g_slist_length(selected) == count;
    g_slist_free_full(selected, g_free);
    if (ready)
        gtk_button_clicked(GTK_BUTTON(FindButton(GTK_WIDGET(dialog), "Choose")));
    return ready;
}

// Polls for the dialog on screen and hands it to answer until answer reports it answered;
// a dialog still open 5 s after it appeared fails the test and is closed.
struct Answerer {
    std::function<bool(GtkDialog*)> answer;
    int ticks = 0;
    bool answered = false;
    guint source = 0;

    ~Answerer()
    {
        if (source)
            g_source_remove(source);
    }
    void Start() { source = g_timeout_add(50, Tick, this); }

    static gboolean Tick(gpointer data)
    {
        Answerer& self = *static_cast<Answerer*>(data);
        GtkDialog* dialog = nullptr;
        GList* windows = gtk_window_list_toplevels();
        for (GList* item = windows; item; item = item->next)
            if (GTK_IS_DIALOG(item->data) && gtk_widget_get_mapped(GTK_WIDGET(item->data)))
                dialog = GTK_DIALOG(item->data);
        g_list_free(windows);
        if (!dialog)
            return G_SOURCE_CONTINUE;
        if (!self.answered)
            self.answered = self.answer(dialog);
        if (++self.ticks <= 100)
            return G_SOURCE_CONTINUE;
        ADD_FAILURE() << "the dialog stayed open";
        gtk_dialog_response(dialog, GTK_RESPONSE_DELETE_EVENT);
        self.source = 0;
        return G_SOURCE_REMOVE;
    }
};

class GtkDialogs : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        gchar* home = g_dir_make_tmp("qv-gtk-XXXXXX", nullptr);
        sHome = home ? home : "/tmp";
        g_free(home);
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
            setenv(name, sHome.c_str(), 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        setenv("GSETTINGS_BACKEND", "memory", 1);
        setenv("GIO_USE_VFS", "local", 1);
        unsetenv("WAYLAND_DISPLAY");
        int pipeFds[2];
        gchar* xvfb = g_find_program_in_path("Xvfb");
        if (xvfb && pipe(pipeFds) == 0 && (sXvfb = fork()) == 0) {
            close(pipeFds[0]);
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // no stray display when the test is killed
            const std::string fd = std::to_string(pipeFds[1]);
            execl(xvfb, "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "1024x768x24",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        g_free(xvfb);
        if (sXvfb <= 0)
            return;
        close(pipeFds[1]);
        // Xvfb writes the display number and then a line feed once it is ready.
        std::string number;
        char c;
        while (read(pipeFds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(pipeFds[0]);
        if (!number.empty())
            setenv("DISPLAY", (":" + number).c_str(), 1);
        sToolkit = MakeGtkDialogToolkit().release();
    }
    static void TearDownTestSuite()
    {
        delete sToolkit;
        if (sXvfb > 0) {
            kill(sXvfb, SIGTERM);
            waitpid(sXvfb, nullptr, 0);
        }
        g_spawn_command_line_sync(("rm -rf " + sHome).c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    void SetUp() override
    {
        if (!sToolkit || !sToolkit->HasApplication())
            GTEST_SKIP() << "no Xvfb display";
    }

    static inline pid_t sXvfb = 0;
    static inline std::string sHome;
    static inline DialogToolkit* sToolkit = nullptr;
};
}  // namespace

TEST(GtkDialogsHeadless, NoDisplayMeansNoApplication)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            const auto toolkit = MakeGtkDialogToolkit();
            _exit(!toolkit->HasApplication() && !toolkit->RunOpenPanel(OpenPanelRequest()).hitOK &&
                          toolkit->RunAlert(AlertRequest()).pressedButton == kNoAlertButton
                      ? 0
                      : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(GtkDialogs, UploadPanelTakesFilesAndFoldersTogether)
{
    const std::string root = sHome + "/pick";
    g_mkdir_with_parents((root + "/Docs").c_str(), 0700);
    g_file_set_contents((root + "/a.txt").c_str(), "a", 1, nullptr);
    Answerer answerer;
    answerer.answer = [&](GtkDialog* dialog) {
        GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
        if (answerer.ticks == 0) {
            EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(dialog)), "Choose files and folders\u2026");
            EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
            EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), nullptr);
            gtk_file_chooser_set_current_folder(chooser, root.c_str());
        }
        // The folder loads asynchronously; its items can be selected once it has.
        SelectAllShown(GTK_WIDGET(dialog));
        return ClickWhenSelected(dialog, 2);
    };
    answerer.Start();
    OpenPanelRequest request;
    request.title = "Choose files and folders\u2026";
    request.message = "Choose files and/or folders you wish to send";
    request.prompt = "Choose";
    request.canChooseDirectories = request.allowsMultipleSelection = request.shieldingLevel = true;
    const OpenPanelResult result = sToolkit->RunOpenPanel(request);
    EXPECT_TRUE(result.hitOK);
    EXPECT_EQ(result.filenames, (std::vector<std::string>{root + "/Docs", root + "/a.txt"}));
    EXPECT_EQ(result.directory, root);
}

TEST_F(GtkDialogs, DownloadPanelChoosesOneFolderOverTheMainWindow)
{
    g_mkdir_with_parents((sHome + "/dl/In").c_str(), 0700);
    GtkWidget* mainWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_show(mainWindow);
    ASSERT_EQ(sToolkit->MainWindow(), reinterpret_cast<DialogWindow>(mainWindow));
    Answerer answerer;
    answerer.answer = [&](GtkDialog* dialog) {
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), GTK_WINDOW(mainWindow));
        EXPECT_EQ(gtk_file_chooser_get_action(GTK_FILE_CHOOSER(dialog)), GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER);
        EXPECT_TRUE(gtk_file_chooser_get_create_folders(GTK_FILE_CHOOSER(dialog)));
        gtk_file_chooser_select_filename(GTK_FILE_CHOOSER(dialog), (sHome + "/dl/In").c_str());
        return ClickWhenSelected(dialog, 1);
    };
    answerer.Start();
    OpenPanelRequest request;
    request.title = "Choose a folder";
    request.prompt = "Choose";
    request.canChooseFiles = false;
    request.canChooseDirectories = request.canCreateDirectories = true;
    request.parent = sToolkit->MainWindow();
    const OpenPanelResult result = sToolkit->RunOpenPanel(request);
    gtk_widget_destroy(mainWindow);
    EXPECT_TRUE(result.hitOK);
    EXPECT_EQ(result.directory, sHome + "/dl/In");
}

TEST_F(GtkDialogs, AlertReportsTheButtonPressed)
{
    Answerer answerer;
    answerer.answer = [](GtkDialog* dialog) {
        GtkMessageType type = GTK_MESSAGE_OTHER;
        gchar* text = nullptr;
        g_object_get(dialog, "message-type", &type, "text", &text, nullptr);
        EXPECT_EQ(type, GTK_MESSAGE_WARNING);
        EXPECT_STREQ(text, "Add 3 item(s) for sending?\n");
        g_free(text);
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(gtk_dialog_get_widget_for_response(dialog, 1))), "Cancel");
        gtk_button_clicked(GTK_BUTTON(FindButton(GTK_WIDGET(dialog), "Add Files")));
        return true;
    };
    answerer.Start();
    AlertRequest request;
    request.messageText = "Add 3 item(s) for sending?\n";
    request.buttons = {"Add Files", "Cancel"};
    EXPECT_EQ(sToolkit->RunAlert(request).pressedButton, 0);
}
