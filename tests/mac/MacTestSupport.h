// Support for tests of the platform half: a recording binding, a private runtime and data folder
// per test process, and a bounded run of the main loop.
#pragma once

#include "Mac/QVWebClientBaseMac.h"

#include "tests/support/SystemLogCapture.h"
#include "tests/support/JsonMember.h"
#include "tests/support/MainLoop.h"
#include "tests/support/TempDir.h"

#include <functional>
#include <string>
#include <vector>

class MacTestClient : public CQVWebClientBaseMac {
public:
    MacTestClient() { InstallAEHandlers(); }
    ~MacTestClient() override { RemoveAEHandlers(); }

    // The page's callback; onNotification runs inside it, as page script would, and may destroy
    // the client.
    bool NotifyBrowser(const char* json) override
    {
        notifications.emplace_back(json);
        if (onNotification) {
            const std::function<void(const std::string&)> page = onNotification;
            page(json);
        }
        return true;
    }
    void Log(const char* text) override { logs.emplace_back(text); }
    unsigned int RefCon() const { return mRefCon; }
    CFileList& UploadList() { return mUploadList; }
    const xwstring& DownloadLocation() const { return mDownloadLocation; }
    bool Execute(const std::string& json)
    {
        xwstring text(json.c_str());
        return ExecuteRequest(static_cast<wchar_t*>(text));
    }
    // Registers the client under another refCon, so that tests can address it with chosen values.
    void SetRefCon(unsigned int refCon)
    {
        sPluginList.erase(mRefCon);
        mRefCon = refCon;
        sPluginList[refCon] = this;
    }
    // The error texts among the notifications, in order.
    std::vector<std::string> Errors() const
    {
        std::vector<std::string> errors;
        for (const std::string& notification : notifications)
            if (JsonMember(notification, "code") == "Error")
                errors.push_back(JsonMember(notification, "text"));
        return errors;
    }

    std::function<void(const std::string&)> onNotification;
    std::vector<std::string> notifications;
    std::vector<std::string> logs;
};

// A temporary home for the runtime folder and desktop entries, set before any platform call.
class TestSandbox : public XdgSandbox {
public:
    TestSandbox() : XdgSandbox("qv-mac-test") {}
    ~TestSandbox();
    // Writes the Assistant's desktop entry with the given command line.
    void InstallAssistantEntry(const std::string& exec) const;
};
