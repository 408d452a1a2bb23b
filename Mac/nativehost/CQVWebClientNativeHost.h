// The instance class of the native host: the Mac client layer completed with the two outputs to the
// page, which here become messages to the extension.
#pragma once

#include "Mac/QVWebClientBaseMac.h"

#include <functional>

class CQVWebClientNativeHost : public CQVWebClientBaseMac {
public:
    using CQVWebClientBaseMac::Initialize;
    // Receives each notification and log message as the JSON text of the message to the extension.
    typedef std::function<void(const std::string& message)> Output;

    // Installs (claims) the status-event handler.
    explicit CQVWebClientNativeHost(Output output);
    // Gives up its claim on the status-event handler.
    ~CQVWebClientNativeHost() override;

    bool NotifyBrowser(const char* text) override;
    void Log(const char* text) override;
    // Stores the flag, creates the logger, then builds the Initialize response into text.
    virtual bool Initialize(xwstring& text, bool supportDragDrop);

private:
    Output mOutput;
};
