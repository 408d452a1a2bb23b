// The plug-in instance of the command-line host: what the page would receive is printed, one
// JSON text per line, as "notify: ..." for notifications and "log: ..." for log messages.
#pragma once

#include "Mac/QVWebClientBaseMac.h"

#include <cstdio>

class CShellClient : public CQVWebClientBaseMac {
public:
    using CQVWebClientBaseMac::Initialize;

    explicit CShellClient(FILE* output) : mOutput(output) { InstallAEHandlers(); }
    ~CShellClient() override { RemoveAEHandlers(); }

    bool NotifyBrowser(const char* json) override
    {
        fprintf(mOutput, "notify: %s\n", json);
        fflush(mOutput);
        return true;
    }
    void Log(const char* text) override
    {
        fprintf(mOutput, "log: %s\n", text);
        fflush(mOutput);
    }
    // Creates the logger and answers as the page's Initialize would.
    bool Initialize(xwstring& text, bool supportDragDrop)
    {
        mSupportDragDrop = supportDragDrop ? 1 : 0;
        CreateLogger();
        return CQVWebClientBaseMac::Initialize(text);
    }

private:
    FILE* mOutput;
};
