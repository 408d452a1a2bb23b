// A headless plug-in instance as qvshell drives it, for the fuzz targets: what it would send to
// the page must be one strict JSON text each, and nothing waits for an Assistant or a user.
#pragma once

#include "FuzzSupport.h"

#include "Mac/QVWebClientBaseMac.h"
#include "Platform/Workspace/Workspace.h"

class FuzzClient : public CQVWebClientBaseMac {
public:
    FuzzClient() { InstallAEHandlers(); }
    ~FuzzClient() override { RemoveAEHandlers(); }

    // Notifications that the plug-in builds itself are checked; forwarded ones are the sender's.
    bool NotifyBrowser(const char* json) override
    {
        if (checkNotifications)
            FUZZ_CHECK(IsStrictJson(json, true));
        ++notifications;
        return true;
    }
    void Log(const char* text) override { FUZZ_CHECK(IsStrictJson(text, true)); }

    // The page's Initialize: creates the logger, which sends every log line to Log above.
    void StartLogging()
    {
        xwstring response;
        CreateLogger();
        CQVWebClientBaseMac::Initialize(response);
        FUZZ_CHECK(IsStrictJson(static_cast<const char*>(response), true));
    }
    unsigned int RefCon() const { return mRefCon; }
    CFileList& UploadList() { return mUploadList; }

    bool checkNotifications = true;
    size_t notifications = 0;
};

// The private environment, with a launcher that never starts anything: a request that needs the
// Assistant fails at once, as when it is not installed.
inline void PrepareHeadlessInstances()
{
    UsePrivateEnvironment();
    WorkspaceSetLauncher([](const char*, UInt32) { return false; });
}
