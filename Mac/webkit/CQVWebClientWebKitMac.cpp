#include "CQVWebClientWebKitMac.h"

#include "qvwebkitplugin.h"

#include <glib.h>

namespace {
// Text the view can take: UTF-8 as it is; anything else becomes no text at all.
const char* Decoded(const char* text) { return text && g_utf8_validate(text, -1, nullptr) ? text : nullptr; }
}  // namespace

CQVWebClientWebKitMac::CQVWebClientWebKitMac(QVWebKitPlugin* view) : mView(view) { InstallAEHandlers(); }

CQVWebClientWebKitMac::~CQVWebClientWebKitMac() { RemoveAEHandlers(); }

bool CQVWebClientWebKitMac::NotifyBrowser(const char* text) { return mView->NotifyBrowser(Decoded(text)); }

void CQVWebClientWebKitMac::Log(const char* text) { mView->LogToBrowser(Decoded(text)); }

bool CQVWebClientWebKitMac::Initialize(xwstring& text, bool supportDragDrop)
{
    mSupportDragDrop = supportDragDrop ? 1 : 0;
    CreateLogger();
    return CQVWebClientBaseMac::Initialize(text);
}

void CQVWebClientWebKitMac::LogWarning(const char* text)
{
    if (mLogger)
        mLogger->Warning("%s", text);
}
