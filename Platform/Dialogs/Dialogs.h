// Modal dialogs (open panel, alert) behind a toolkit chosen at run time:
// GTK 3, scripted answers (tests, command-line hosts), or none (no display).
#ifndef QV_PLATFORM_DIALOGS_DIALOGS_H
#define QV_PLATFORM_DIALOGS_DIALOGS_H

#include <deque>
#include <memory>
#include <string>
#include <vector>

// An opaque parent window, null for none.
typedef void* DialogWindow;

struct OpenPanelRequest {
    std::string title, message, prompt;   // prompt: the confirming button's text
    bool canChooseFiles = true, canChooseDirectories = false, allowsMultipleSelection = false,
         canCreateDirectories = false;
    bool shieldingLevel = false;          // keep above every other window (used when there is no parent)
    DialogWindow parent = nullptr;        // attach to this window (modal for it) when set
};

struct OpenPanelResult {
    bool hitOK = false, hitCancel = false;
    std::vector<std::string> filenames;   // chosen items, UTF-8 POSIX paths, files and folders
    std::string directory;                // the panel's current folder (for a folder chooser: the chosen folder)
};

enum AlertStyle { kWarningAlertStyle = 0, kInformationalAlertStyle = 1, kCriticalAlertStyle = 2 };

struct AlertRequest {
    std::string messageText, informativeText;
    AlertStyle style = kWarningAlertStyle;
    std::vector<std::string> buttons;     // in order; the first is the default
};

struct AlertResult { int pressedButton = -1; };  // index into buttons, -1 when dismissed otherwise

class DialogToolkit {
public:
    virtual ~DialogToolkit() = default;
    virtual bool HasApplication() const = 0;   // false: no display/toolkit; callers answer false at once
    virtual DialogWindow MainWindow() const = 0;
    virtual OpenPanelResult RunOpenPanel(const OpenPanelRequest& request) = 0;  // modal; returns when answered
    virtual AlertResult RunAlert(const AlertRequest& request) = 0;              // modal
};

DialogToolkit& CurrentDialogToolkit();                           // the "none" toolkit until one is set
void SetDialogToolkit(std::unique_ptr<DialogToolkit> toolkit);   // null restores "none"
std::unique_ptr<DialogToolkit> MakeGtkDialogToolkit();           // null when GTK cannot open a display
std::unique_ptr<DialogToolkit> MakeNoDialogToolkit();

// Scripted answers, for tests and command-line hosts. An empty queue answers Cancel.
struct ScriptedAnswer {
    enum Kind { kChoose, kCancel, kPressButton } kind = kCancel;
    std::vector<std::string> paths;   // kChoose: filenames (and directory = paths[0] for a folder chooser)
    int button = 0;                   // kPressButton
};

// Each Run call takes the next queued answer. An answer of the wrong kind for the
// dialog shown (a button for a panel, a choice for an alert) is taken and answers
// Cancel (panel) or -1 (alert), so a script out of step shows up as a refusal.
class ScriptedDialogToolkit : public DialogToolkit {
public:
    void Enqueue(const ScriptedAnswer& answer);
    size_t PendingAnswers() const { return answers_.size(); }

    // What was shown, in order, for tests to inspect.
    std::vector<OpenPanelRequest> shownPanels;
    std::vector<AlertRequest> shownAlerts;

    bool HasApplication() const override { return true; }
    DialogWindow MainWindow() const override { return nullptr; }
    OpenPanelResult RunOpenPanel(const OpenPanelRequest& request) override;
    AlertResult RunAlert(const AlertRequest& request) override;

private:
    ScriptedAnswer Next();
    std::deque<ScriptedAnswer> answers_;
};

// Builds a scripted toolkit from command-line options: "--pick PATH..." (one kChoose with all the
// paths up to the next option), "--download-folder DIR" (kChoose with one path), "--confirm yes|no"
// (kPressButton 0 or 1). Answers are queued in the order given. Returns false with a message in
// error for an unknown option or a missing value; consumed options are removed from args.
bool ParseScriptedDialogOptions(std::vector<std::string>& args, ScriptedDialogToolkit& toolkit, std::string& error);

#endif
