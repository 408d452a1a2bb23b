// The scripted toolkit, for tests and command-line hosts: dialogs answered from a queue, and the
// command-line options that fill it.
#pragma once

#include "Platform/Dialogs/Dialogs.h"

#include <deque>

// One answer for the scripted toolkit.
struct ScriptedAnswer {
    enum Kind { kCancel, kChoose, kPressButton };
    Kind kind = kCancel;
    std::vector<std::string> paths;  // kChoose: the chosen items, the first also for folder panels.
    int button = 0;                  // kPressButton: index of the button to press.

    static ScriptedAnswer Cancel() { return ScriptedAnswer(); }
    static ScriptedAnswer Choose(std::vector<std::string> paths);
    static ScriptedAnswer Press(int button);
};

// Answers each dialog with the next queued answer, Cancel once the queue is empty, and records
// every request as shown. An answer that does not fit its dialog (a choice for an alert, a
// button for a panel, a button the alert lacks) is logged and taken as Cancel. Cancel on an
// alert presses its "Cancel" button, or none when it has no such button.
class ScriptedDialogToolkit : public DialogToolkit {
public:
    void Enqueue(ScriptedAnswer answer) { mAnswers.push_back(std::move(answer)); }
    size_t PendingAnswers() const { return mAnswers.size(); }
    void SetMainWindow(DialogWindow window) { mMainWindow = window; }

    bool HasApplication() const override { return true; }
    DialogWindow MainWindow() const override { return mMainWindow; }
    OpenPanelResult RunOpenPanel(const OpenPanelRequest& request) override;
    AlertResult RunAlert(const AlertRequest& request) override;

    std::vector<OpenPanelRequest> shownPanels;
    std::vector<AlertRequest> shownAlerts;

private:
    ScriptedAnswer NextAnswer();

    std::deque<ScriptedAnswer> mAnswers;
    DialogWindow mMainWindow = nullptr;
};

// Takes the dialog options out of a command line, queueing one answer per option in order:
//   --pick PATH...          choose these items (the paths up to the next option)
//   --download-folder DIR   choose this folder
//   --confirm yes|no        press the alert's first button, or Cancel
// Other arguments stay in args. On a malformed option returns false and says why in error.
bool ParseScriptedDialogOptions(std::vector<std::string>& args, ScriptedDialogToolkit& toolkit,
                                std::string& error);
