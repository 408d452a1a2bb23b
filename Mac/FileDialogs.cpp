// The upload panel, the download-folder panel and the confirmation alert.
#include "FileDialogs.h"

#include "QVWebClientBaseMac.h"

#include <string>

namespace {
// Shows a panel in front of the main window, or above every window when there is none. The
// instance may be destroyed while the panel runs its nested main loop; the answer then goes nowhere.
template <typename Panel, typename Controller>
void RunPanel(Panel& panel, Controller& controller, CQVWebClientBaseMac* core)
{
    const std::weak_ptr<const bool> alive = core->Lifetime();
    const DialogWindow mainWindow = CurrentDialogToolkit().MainWindow();
    if (!mainWindow)
        panel.setShieldingLevel();
    panel.runModal(mainWindow);
    if (!alive.expired())
        controller.browseDialogEnded(panel, panel.getHitOK() ? 1 : 0, core);
}
}  // namespace

bool CQVWebClientCocoaSelectFilesToUpload::doBrowseDialog(CQVWebClientBaseMac* core)
{
    mResult = false;
    if (!CurrentDialogToolkit().HasApplication())
        return false;
    NSOpenPanelDoesntSuck panel;
    panel.setCanChooseFiles(true);
    panel.setCanChooseDirectories(true);
    panel.setAllowsMultipleSelection(true);
    panel.setPrompt("Choose");
    panel.setTitle("Choose files and folders\u2026");
    panel.setMessage("Choose files and/or folders you wish to send");
    RunPanel(panel, *this, core);
    return mResult;
}

void CQVWebClientCocoaSelectFilesToUpload::browseDialogEnded(NSOpenPanelDoesntSuck& panel, int, CQVWebClientBaseMac* core)
{
    if (panel.getHitOK())
        mResult = core->AddArrayOfFiles(panel.filenames());
}

bool CQVWebClientCocoaSelectDownloadLocation::doBrowseDialog(CQVWebClientBaseMac* core)
{
    mResult = false;
    if (!CurrentDialogToolkit().HasApplication())
        return false;
    NSSavePanelDoesntSuck panel;
    panel.setCanCreateDirectories(true);
    panel.setCanChooseDirectories(true);
    panel.setAllowsMultipleSelection(false);
    panel.setCanChooseFiles(false);
    panel.setPrompt("Choose");
    panel.setTitle("Choose a folder");
    RunPanel(panel, *this, core);
    return mResult;
}

void CQVWebClientCocoaSelectDownloadLocation::browseDialogEnded(NSSavePanelDoesntSuck& panel, int,
                                                                CQVWebClientBaseMac* core)
{
    if (!panel.getHitOK())
        return;
    core->SetDownloadLocation(panel.directory().c_str());
    mResult = true;
}

bool CQVWebClientCocoaConfirmFilesToUpload::doConfirmDialog(const json_xwstringset& paths)
{
    mAllowFileUpload = false;
    if (!CurrentDialogToolkit().HasApplication())
        return false;
    mAlert = std::make_unique<AlertRequest>();
    mAlert->buttons = {"Add Files", "Cancel"};
    mAlert->messageText = "Add " + std::to_string(paths.size()) + " item(s) for sending?\n";
    mAlert->informativeText = "";
    mAlert->style = kWarningAlertStyle;
    // "Add Files" gives consent; "Cancel" only ends the alert.
    if (CurrentDialogToolkit().RunAlert(*mAlert).pressedButton == 0)
        doConfirmYes();
    mAlert.reset();
    return mAllowFileUpload;
}

void CQVWebClientCocoaConfirmFilesToUpload::doConfirmYes() { mAllowFileUpload = true; }

bool CQVWebClientBaseMac::SelectFilesToUpload()
{
    CQVWebClientCocoaSelectFilesToUpload controller;
    return controller.doBrowseDialog(this);
}

bool CQVWebClientBaseMac::SelectDownloadLocation()
{
    CQVWebClientCocoaSelectDownloadLocation controller;
    return controller.doBrowseDialog(this);
}

// No consent when the instance was destroyed while the alert ran.
bool CQVWebClientBaseMac::VerifyFileSelection(json_xwstringset& paths)
{
    const std::weak_ptr<const bool> alive = mLifetime;
    CQVWebClientCocoaConfirmFilesToUpload controller;
    return controller.doConfirmDialog(paths) && !alive.expired();
}

void CQVWebClientBaseMac::SetDownloadLocation(const char* path) { mDownloadLocation = path; }
