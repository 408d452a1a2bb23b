// The open and folder panels over the dialog toolkit. The panel records whether the user pressed
// its confirming button or Cancel; callers read the choice from that record.
#pragma once

#include "Platform/Dialogs/Dialogs.h"

#include <string>
#include <vector>

class NSOpenPanelDoesntSuck {
public:
    NSOpenPanelDoesntSuck();
    virtual ~NSOpenPanelDoesntSuck() = default;

    void setCanChooseFiles(bool on) { mRequest.canChooseFiles = on; }
    void setCanChooseDirectories(bool on) { mRequest.canChooseDirectories = on; }
    void setAllowsMultipleSelection(bool on) { mRequest.allowsMultipleSelection = on; }
    void setCanCreateDirectories(bool on) { mRequest.canCreateDirectories = on; }
    void setPrompt(const char* prompt) { mRequest.prompt = prompt; }
    void setTitle(const char* title) { mRequest.title = title; }
    void setMessage(const char* message) { mRequest.message = message; }
    // Raises the panel above every other window.
    void setShieldingLevel() { mRequest.shieldingLevel = true; }

    // Shows the panel modally, attached to parent when there is one, and records the answer.
    void runModal(DialogWindow parent);
    void ok() { mHitOK = true; }
    void cancel() { mHitCancel = true; }
    bool getHitOK() const { return mHitOK; }

    const std::vector<std::string>& filenames() const { return mResult.filenames; }
    const std::string& directory() const { return mResult.directory; }

private:
    bool mHitOK;
    bool mHitCancel;
    OpenPanelRequest mRequest;
    OpenPanelResult mResult;
};

// The folder panel: the same panel, set up for choosing where downloads go.
class NSSavePanelDoesntSuck : public NSOpenPanelDoesntSuck {};
