// HTTP uploads (PUT of a local file or of a range of it), downloads (GET into a partial file) and
// small requests whose answers are kept in memory, all driven by one libcurl multi handle on a
// thread of its own, so that connections to a server are reused across files and jobs and no
// file or socket work ever runs on the main loop. A failed attempt that may succeed later (no
// connection, a cut transfer, a 408, 429 or 5xx answer) is retried with growing delays; a cut
// download goes on from where it stopped when the server accepts a range request.
// Limits from the settings end a transfer for good: a download longer than announced or one that
// would leave too little free space, a transfer slower than the lowest rate, and an upload whose
// file became shorter while it was sent.
#pragma once

#include "AddressPolicy.h"
#include "AssistantConfig.h"
#include "FileProgress.h"
#include "PartialFile.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct HttpOutcome {
    bool ok = false;
    std::string reason;                 // when not ok
    long status = 0;                    // of the last answer, 0 when none came
    std::string answer;                 // the last answer's body, unless it went to a file
    std::string etag;                   // the last answer's "ETag" header
    std::shared_ptr<PartialFile> body;  // a download's file, complete but not yet committed
};

struct HttpTransfer {
    enum class Method { put, get, post, del, head };
    Method method = Method::put;
    std::string url;
    std::string sourcePath;  // put: the file sent
    uint64_t offset = 0;     // put: where in the file the body starts
    int64_t length = -1;     // put: how many bytes it has; -1 for the whole file
    std::string body;        // post: the body sent
    std::string folder;      // get: where the file goes; without one, the answer is kept in memory
    std::string name;
    std::string resumePath;  // get: a partial file an earlier run left there, to go on from
    // get into a folder: told where the partial file is once it is open (on the HTTP thread).
    std::function<void(const std::string& path)> partialOpened;
    // Header lines added to each attempt, asked for afresh each time (signatures hold the time).
    // Set for signed requests, which are never redirected.
    std::function<std::vector<std::string>()> headers;
    std::shared_ptr<FileProgress> progress;
    // Called once, on the HTTP thread.
    std::function<void(HttpOutcome)> finished;
};

class HttpTransfers {
public:
    struct Settings {
        unsigned attempts = 4;
        std::chrono::milliseconds firstRetryDelay{500};
        // The user's settings as they are now; asked at each attempt, on the HTTP thread.
        std::function<std::shared_ptr<const AssistantConfig>()> config = [] {
            return std::make_shared<const AssistantConfig>();
        };
    };

    explicit HttpTransfers(Settings settings);
    // Ends every transfer still running or waiting (each reports that the Assistant stopped).
    ~HttpTransfers();
    HttpTransfers(const HttpTransfers&) = delete;
    HttpTransfers& operator=(const HttpTransfers&) = delete;

    // Safe from any thread.
    void Start(HttpTransfer transfer);
    // Ends every transfer running or waiting now, as the destructor does, without ending the thread.
    void CancelAll();

private:
    using Clock = std::chrono::steady_clock;
    struct Active;

    void Run();
    void Open(HttpTransfer transfer);
    void StartAttempt(std::unique_ptr<Active> active);
    void Finished(CURL* easy, CURLcode code);
    static void End(std::unique_ptr<Active> active, bool ok, const std::string& reason);
    void EndAll();
    int PollTimeout() const;

    static size_t ReadBody(char* buffer, size_t size, size_t count, void* data);
    static size_t WriteBody(char* buffer, size_t size, size_t count, void* data);
    // A download within its announced length and the free-space margin; false notes the limit.
    static bool WithinLimits(Active* active, size_t incoming);
    // Ends an attempt whose rate stays under the settings' floor.
    static int CheckRate(void* data, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded);

    const Settings mSettings;
    CURLM* mMulti;
    std::mutex mMutex;
    std::vector<HttpTransfer> mIncoming;  // guarded by mMutex
    bool mCancel = false;                 // guarded by mMutex
    std::atomic<bool> mEnding{false};
    // HTTP thread only:
    std::map<CURL*, std::unique_ptr<Active>> mRunning;
    std::list<std::unique_ptr<Active>> mWaiting;
    std::thread mThread;
};
