// The instance class a plug-in view creates: the Mac client layer completed with the two outputs
// only the browser provides (notifications and log lines to the page) and the initialisation the
// view runs when the page calls Initialize.
#pragma once

#include "Mac/QVWebClientBaseMac.h"

class QVWebKitPlugin;

class CQVWebClientWebKitMac : public CQVWebClientBaseMac {
public:
    using CQVWebClientBaseMac::Initialize;

    // Installs (claims) the status-event handler.
    explicit CQVWebClientWebKitMac(QVWebKitPlugin* view);
    // Gives up its claim on the status-event handler.
    ~CQVWebClientWebKitMac() override;

    bool NotifyBrowser(const char* text) override;
    void Log(const char* text) override;
    // Stores the flag, creates the logger, then builds the Initialize response into text.
    virtual bool Initialize(xwstring& text, bool supportDragDrop);

    // A warning on the instance's log (nothing before Initialize), for calls the view refuses.
    void LogWarning(const char* text);

private:
    QVWebKitPlugin* mView;
};
