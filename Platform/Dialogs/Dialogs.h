// Modal dialogs: an open panel (files and/or folders) and an alert with a row of buttons, run
// over an interchangeable toolkit chosen at run time. The process has one current toolkit:
// a browser's web process installs the host one (host/HostDialogs.h: the browser shows the
// dialogs in front of its window) over the GTK one, tests and command-line hosts the scripted
// one (scripted/ScriptedDialogs.h), and without any the "none" toolkit answers that there is no
// application object.
// All calls belong on the main thread. Texts and paths are UTF-8.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// A toolkit window, opaque to callers; null stands for "no window".
struct DialogWindowHandle;
typedef DialogWindowHandle* DialogWindow;

struct OpenPanelRequest {
    std::string title;
    std::string message;  // Shown above the file list; empty for none.
    std::string prompt;   // Text of the confirming button.
    bool canChooseFiles = true;
    bool canChooseDirectories = false;
    bool allowsMultipleSelection = false;
    bool canCreateDirectories = false;
    bool shieldingLevel = false;     // Keep the panel above every other window.
    DialogWindow parent = nullptr;   // The panel is attached to this window and modal for it.
};

struct OpenPanelResult {
    bool hitOK = false;                  // The confirming button was pressed.
    bool hitCancel = false;              // Cancel was pressed (closing the window is neither).
    std::vector<std::string> filenames;  // The chosen items as absolute POSIX paths.
    std::string directory;               // The folder the panel settled on: the chosen one on
                                         // a folders-only panel, else the one being shown.
};

// Values as on the original platform, so that stored styles keep their meaning.
enum AlertStyle { kWarningAlertStyle = 0, kInformationalAlertStyle = 1, kCriticalAlertStyle = 2 };

struct AlertRequest {
    std::string messageText;
    std::string informativeText;  // Empty for none.
    AlertStyle style = kWarningAlertStyle;
    std::vector<std::string> buttons;  // In the order given; the first is the default.
};

// The alert was closed without pressing any of its buttons.
constexpr int kNoAlertButton = -1;

struct AlertResult {
    int pressedButton = kNoAlertButton;  // Index into AlertRequest::buttons.
};

class DialogToolkit {
public:
    virtual ~DialogToolkit() = default;
    // False when there is no display to show dialogs on; callers then answer false at once.
    virtual bool HasApplication() const = 0;
    // The application's main window, or null when it has none.
    virtual DialogWindow MainWindow() const = 0;
    // Each runs modally and returns only once the user has answered.
    virtual OpenPanelResult RunOpenPanel(const OpenPanelRequest& request) = 0;
    virtual AlertResult RunAlert(const AlertRequest& request) = 0;
};

// The current toolkit; the "none" toolkit until another is installed.
DialogToolkit& CurrentDialogToolkit();
// Installs a toolkit as the current one; null restores the "none" toolkit.
void SetDialogToolkit(std::unique_ptr<DialogToolkit> toolkit);

// No application object: shows nothing, every panel is cancelled, no alert button pressed.
std::unique_ptr<DialogToolkit> MakeNoDialogToolkit();
// Real modal GTK 3 dialogs; HasApplication() is false when GTK finds no display.
std::unique_ptr<DialogToolkit> MakeGtkDialogToolkit();
