// A headless plug-in instance as qvshell drives it, for the fuzz targets: what it would send to
// the page must be one strict JSON text each, and nothing waits for an Assistant or a user.
#pragma once

#include "FuzzSupport.h"

#include "Mac/QVWebClientBaseMac.h"
#include "Platform/Workspace/Workspace.h"

#include <deque>
#include <functional>
#include <string>

class FuzzClient;

// The page script of one input: lines that wait to be run, some of them from inside the page's
// callbacks, as a page may call back into the plug-in while it is being notified. The line "~"
// destroys the instance: at once between calls, and at the end of the outermost call when the
// page asks for it inside a callback, as the plug-in view defers its release while it is in a
// call; run gives any other line to the instance.
struct FuzzPage {
    FuzzClient* client = nullptr;
    std::deque<std::string> pending;
    bool reentrant = false;  // the callbacks run the next line
    int depth = 0;
    bool releaseRequested = false;
    std::function<void(FuzzClient&, const std::string&)> run;

    // Runs the next line; false when none is left.
    bool RunNext();
};

class FuzzClient : public CQVWebClientBaseMac {
public:
    FuzzClient() { InstallAEHandlers(); }
    ~FuzzClient() override { RemoveAEHandlers(); }

    // Notifications that the plug-in builds itself are checked; forwarded ones are the sender's.
    bool NotifyBrowser(const char* json) override
    {
        if (checkNotifications)
            FUZZ_CHECK(IsStrictJson(json, true));
        CallPage();
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
    FuzzPage* page = nullptr;

protected:
    // The page's callback: may run further lines, and may destroy this instance, so nothing of
    // the instance is touched after it.
    void CallPage()
    {
        FuzzPage* const current = page;
        if (!current || !current->reentrant || current->depth >= 4)
            return;
        ++current->depth;
        current->RunNext();
        --current->depth;
    }
};

inline bool FuzzPage::RunNext()
{
    if (pending.empty())
        return false;
    const std::string line = std::move(pending.front());
    pending.pop_front();
    if (line == "~")
        releaseRequested = true;
    else if (client)
        run(*client, line);
    if (depth == 0 && releaseRequested) {
        delete client;
        client = nullptr;
        releaseRequested = false;
    }
    return true;
}

// The private environment, with a launcher that never starts anything: a request that needs the
// Assistant fails at once, as when it is not installed.
inline void PrepareHeadlessInstances()
{
    UsePrivateEnvironment();
    WorkspaceSetLauncher([](const char*, UInt32) { return false; });
}
