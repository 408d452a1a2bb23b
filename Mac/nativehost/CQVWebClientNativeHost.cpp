#include "CQVWebClientNativeHost.h"

#include "HostMessages.h"

CQVWebClientNativeHost::CQVWebClientNativeHost(Output output) : mOutput(std::move(output)) { InstallAEHandlers(); }

CQVWebClientNativeHost::~CQVWebClientNativeHost() { RemoveAEHandlers(); }

bool CQVWebClientNativeHost::NotifyBrowser(const char* text)
{
    mOutput(NotifyMessage(text));
    return true;
}

void CQVWebClientNativeHost::Log(const char* text) { mOutput(LogMessage(text)); }

bool CQVWebClientNativeHost::Initialize(xwstring& text, bool supportDragDrop)
{
    mSupportDragDrop = supportDragDrop ? 1 : 0;
    CreateLogger();
    return CQVWebClientBaseMac::Initialize(text);
}
