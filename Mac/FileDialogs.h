// The controllers of the three dialogs; each serves one request and is then released.
#pragma once

#include "FileList.h"
#include "FilePanels.h"

#include <memory>

class CQVWebClientBaseMac;

class CQVWebClientCocoaSelectFilesToUpload {
public:
    bool doBrowseDialog(CQVWebClientBaseMac* core);
    void browseDialogEnded(NSOpenPanelDoesntSuck& panel, int returnCode, CQVWebClientBaseMac* core);

private:
    bool mResult = false;
};

class CQVWebClientCocoaSelectDownloadLocation {
public:
    bool doBrowseDialog(CQVWebClientBaseMac* core);
    void browseDialogEnded(NSSavePanelDoesntSuck& panel, int returnCode, CQVWebClientBaseMac* core);

private:
    bool mResult = false;
};

class CQVWebClientCocoaConfirmFilesToUpload {
public:
    bool doConfirmDialog(const json_xwstringset& paths);
    void doConfirmYes();

private:
    bool mAllowFileUpload = false;
    std::unique_ptr<AlertRequest> mAlert;
};
