// A concrete client for tests: records what the core sends to the page, the proxy and the logs.
#pragma once

#include "QVWebClientBase.h"

#include "tests/support/SystemLogCapture.h"
#include "tests/support/JsonMember.h"

#include <json-c/json.h>

#include <functional>
#include <string>
#include <vector>

class TestClient : public CQVWebClientBase {
public:
    using CQVWebClientBase::AddFiles;

    // logging: log from the start, as after Initialize.
    explicit TestClient(bool logging = false)
    {
        if (logging)
            CreateLogger();
    }

    bool NotifyBrowser(const char* json) override
    {
        notifications.emplace_back(json);
        const size_t count = notifications.size();
        return page ? page(std::string(json), count) : true;
    }
    void CreateLogger() override
    {
        WC_DeleteIfObject(mLogger);
        mLogger = CLoggerFactory::CreateLogger();
        mLogger->SetOutputProc(&RecordLog, reinterpret_cast<long>(this));
    }
    bool ProxyExecuteRequest(wchar_t* request) override
    {
        proxied.emplace_back(xwstring(request));
        if (duringProxy)
            duringProxy();
        return proxyResult;
    }
    bool AddFiles(json_xwstringset& paths) override
    {
        queued.push_back(paths.size());
        CFileList files;
        for (const xwstring& path : paths)
            files.emplace(xwstring_pair(xwstring(path), xwstring("")), 1.0);
        return AddFiles(files);
    }
    bool VerifyFileSelection(json_xwstringset&) override { return verifyResult; }
    bool RetrieveErrorString(tErrorStringID id, xwstring& text) override
    {
        static const char* const texts[] = {
            "Failed to launch Qiravel Assistant",
            "Not allowed to queue more than %d files for sending",
            "Could not add '%s' for upload - the file name exceeds the maximum length of %d characters",
            "Could not add '%s' for upload - an operating system error has occurred (%d)",
        };
        if (id < kErrLaunchAssistant || id > kErrOSError)
            return false;
        text = texts[id - 1];
        return true;
    }

    // Runs one request given as narrow JSON text.
    bool Execute(const std::string& json)
    {
        xwstring text(json.c_str());
        return ExecuteRequest(static_cast<wchar_t*>(text));
    }

    bool AddPicked(CFileList& files) { return AddPickedFiles(files); }
    CFileList& UploadList() { return mUploadList; }
    unsigned int RefCon() const { return mRefCon; }
    int32_t Limit() const { return mFileTransferLimit; }
    void SetDownloadFolder(const char* path) { mDownloadLocation = path; }

    std::vector<std::string> notifications;
    std::vector<std::string> logMessages;  // the JSON "Log" messages
    std::vector<std::string> proxied;
    std::vector<size_t> queued;
    // The page's notification callback, given the text and the 1-based count of notifications so
    // far; it may call back into the instance, and returns whether the page took the notification.
    std::function<bool(const std::string& json, size_t count)> page;
    std::function<void()> duringProxy;
    bool proxyResult = true;
    bool verifyResult = true;

private:
    static void RecordLog(long data, const char* message)
    {
        reinterpret_cast<TestClient*>(data)->logMessages.emplace_back(message);
    }
};

// The "text" members of the "Log" messages, in order.
inline std::vector<std::string> LogTexts(const TestClient& client)
{
    std::vector<std::string> texts;
    for (const auto& message : client.logMessages)
        texts.push_back(JsonMember(message, "code") + " " + JsonMember(message, "text"));
    return texts;
}
