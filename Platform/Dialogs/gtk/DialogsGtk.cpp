// Modal GTK 3 dialogs: file choosers for the panels and a message dialog for the alert.
#include "Platform/Dialogs/Dialogs.h"

#include <gtk/gtk.h>

namespace {
// Response of a confirming button that takes the selection as it is, files and folders alike.
// The chooser dialog intercepts the stock accept responses, and in its open mode turns an
// accepted folder into a change of folder; a response of our own passes through untouched.
constexpr int kChooseSelection = 1;

GtkWindow* AsGtkWindow(DialogWindow window) { return reinterpret_cast<GtkWindow*>(window); }

// GTK labels and titles must be valid UTF-8; invalid bytes become U+FFFD.
std::string ValidUtf8(const std::string& text)
{
    gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    std::string result(valid);
    g_free(valid);
    return result;
}

std::string TakeString(gchar* text)
{
    std::string result(text ? text : "");
    g_free(text);
    return result;
}

void PlaceModally(GtkWindow* dialog, GtkWindow* parent, bool keepAbove)
{
    gtk_window_set_modal(dialog, TRUE);
    if (parent)
        gtk_window_set_transient_for(dialog, parent);
    else
        gtk_window_set_position(dialog, GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(dialog, keepAbove);
}

// Adds a button whose label is shown as given (no mnemonics).
GtkWidget* AddButton(GtkDialog* dialog, const std::string& label, int response)
{
    GtkWidget* button = gtk_button_new_with_label(ValidUtf8(label).c_str());
    gtk_widget_set_can_default(button, TRUE);
    gtk_widget_show(button);
    gtk_dialog_add_action_widget(dialog, button, response);
    return button;
}

// Keeps a dialog alive while it runs and is read, even if something destroys it meanwhile;
// on leaving scope it is destroyed and taken off the screen at once.
class HeldDialog {
public:
    explicit HeldDialog(GtkWidget* dialog) : mDialog(GTK_DIALOG(g_object_ref(dialog))) {}
    ~HeldDialog()
    {
        gtk_widget_destroy(GTK_WIDGET(mDialog));
        g_object_unref(mDialog);
        gdk_display_flush(gdk_display_get_default());
    }
    HeldDialog(const HeldDialog&) = delete;
    HeldDialog& operator=(const HeldDialog&) = delete;

    int Run() const { return gtk_dialog_run(mDialog); }

private:
    GtkDialog* mDialog;
};

std::vector<std::string> ChosenPaths(GtkFileChooser* chooser)
{
    std::vector<std::string> paths;
    GSList* filenames = gtk_file_chooser_get_filenames(chooser);
    for (GSList* item = filenames; item; item = item->next)
        paths.push_back(TakeString(static_cast<gchar*>(item->data)));
    g_slist_free(filenames);
    return paths;
}

OpenPanelResult PanelAnswer(GtkFileChooser* chooser, int response, bool foldersOnly)
{
    OpenPanelResult result;
    result.hitCancel = response == GTK_RESPONSE_CANCEL;
    if (response != kChooseSelection && response != GTK_RESPONSE_ACCEPT)
        return result;
    result.filenames = ChosenPaths(chooser);
    const std::string shown = TakeString(gtk_file_chooser_get_current_folder(chooser));
    // Choosing with nothing selected chooses the folder being shown; in the views that show
    // no folder (recent files, search) that leaves nothing chosen, which is no choice.
    if (result.filenames.empty() && !shown.empty())
        result.filenames.push_back(shown);
    result.hitOK = !result.filenames.empty();
    result.directory = foldersOnly && result.hitOK ? result.filenames.front() : shown;
    return result;
}

GtkMessageType MessageType(AlertStyle style)
{
    switch (style) {
    case kInformationalAlertStyle:
        return GTK_MESSAGE_INFO;
    case kCriticalAlertStyle:
        return GTK_MESSAGE_ERROR;
    case kWarningAlertStyle:
        break;
    }
    return GTK_MESSAGE_WARNING;
}

class GtkDialogToolkit : public DialogToolkit {
public:
    GtkDialogToolkit() : mHasApplication(gtk_init_check(nullptr, nullptr)) {}

    bool HasApplication() const override { return mHasApplication; }

    // The active application window; failing that, the only one on screen.
    DialogWindow MainWindow() const override
    {
        if (!mHasApplication)
            return nullptr;
        GtkWindow* active = nullptr;
        GtkWindow* onlyVisible = nullptr;
        int visible = 0;
        GList* windows = gtk_window_list_toplevels();
        for (GList* item = windows; item; item = item->next) {
            GtkWindow* window = GTK_WINDOW(item->data);
            if (GTK_IS_DIALOG(window) || gtk_window_get_window_type(window) != GTK_WINDOW_TOPLEVEL ||
                !gtk_widget_get_visible(GTK_WIDGET(window)))
                continue;
            ++visible;
            onlyVisible = window;
            if (gtk_window_is_active(window))
                active = window;
        }
        g_list_free(windows);
        GtkWindow* main = active ? active : visible == 1 ? onlyVisible : nullptr;
        return reinterpret_cast<DialogWindow>(main);
    }

    OpenPanelResult RunOpenPanel(const OpenPanelRequest& request) override
    {
        if (!mHasApplication)
            return OpenPanelResult();
        const bool foldersOnly = request.canChooseDirectories && !request.canChooseFiles;
        const bool filesAndFolders = request.canChooseFiles && request.canChooseDirectories;
        GtkWidget* dialog = gtk_file_chooser_dialog_new(
            ValidUtf8(request.title).c_str(), AsGtkWindow(request.parent),
            foldersOnly ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER : GTK_FILE_CHOOSER_ACTION_OPEN,
            "_Cancel", GTK_RESPONSE_CANCEL, nullptr);
        const int confirm = filesAndFolders ? kChooseSelection : GTK_RESPONSE_ACCEPT;
        GtkWidget* button = AddButton(GTK_DIALOG(dialog), request.prompt.empty() ? "Open" : request.prompt, confirm);
        gtk_style_context_add_class(gtk_widget_get_style_context(button), GTK_STYLE_CLASS_SUGGESTED_ACTION);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), confirm);

        GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
        gtk_file_chooser_set_local_only(chooser, TRUE);
        gtk_file_chooser_set_select_multiple(chooser, request.allowsMultipleSelection);
        gtk_file_chooser_set_create_folders(chooser, request.canCreateDirectories);
        if (!request.message.empty()) {
            GtkWidget* message = gtk_label_new(ValidUtf8(request.message).c_str());
            GtkBox* content = GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog)));
            gtk_box_pack_start(content, message, FALSE, FALSE, 6);
            gtk_box_reorder_child(content, message, 0);
            gtk_widget_show(message);
        }
        PlaceModally(GTK_WINDOW(dialog), AsGtkWindow(request.parent), request.shieldingLevel);
        HeldDialog held(dialog);
        return PanelAnswer(chooser, held.Run(), foldersOnly);
    }

    AlertResult RunAlert(const AlertRequest& request) override
    {
        AlertResult result;
        if (!mHasApplication)
            return result;
        GtkWindow* parent = AsGtkWindow(MainWindow());
        GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, MessageType(request.style),
                                                   GTK_BUTTONS_NONE, "%s", ValidUtf8(request.messageText).c_str());
        if (!request.informativeText.empty())
            gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                                     ValidUtf8(request.informativeText).c_str());
        for (size_t i = 0; i < request.buttons.size(); ++i)
            AddButton(GTK_DIALOG(dialog), request.buttons[i], static_cast<int>(i));
        if (!request.buttons.empty())
            gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
        // Without a window to belong to, the alert stays above everything, like the panels.
        PlaceModally(GTK_WINDOW(dialog), parent, parent == nullptr);
        const int response = HeldDialog(dialog).Run();
        if (response >= 0 && static_cast<size_t>(response) < request.buttons.size())
            result.pressedButton = response;
        return result;
    }

private:
    const bool mHasApplication;
};
}  // namespace

std::unique_ptr<DialogToolkit> MakeGtkDialogToolkit() { return std::make_unique<GtkDialogToolkit>(); }
