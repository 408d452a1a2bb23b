#include "HttpTransfers.h"

#include "LocalCopy.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {
const char kStopped[] = "The Assistant was stopped before the file was complete";
const char kShrank[] = "The file became shorter while it was sent";
const long kConnectTimeoutSeconds = 30;
// A transfer that moves nothing for this long is cut and tried again.
const long kStalledSeconds = 60;
const int kLongestPollMilliseconds = 1000;
// Answers kept in memory (an S3 server's XML, an error page) are cut at this size.
const size_t kLongestAnswer = 1 << 20;
// Free space is looked at again after this many bytes.
const uint64_t kSpaceCheckBytes = 4u << 20;

bool IsPassingFailure(CURLcode code)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_RANGE_ERROR:
        return true;
    default:
        return false;
    }
}

bool IsPassingStatus(long status) { return status == 408 || status == 429 || status >= 500; }
}  // namespace

struct HttpTransfers::Active {
    HttpTransfer transfer;
    CURL* easy = nullptr;
    unsigned attempt = 0;
    Clock::time_point retryAt;
    char error[CURL_ERROR_SIZE] = {};
    int ioError = 0;  // errno of a failed read or write of the local file
    std::string limit;  // why the attempt was ended by a limit, for good
    std::shared_ptr<const AssistantConfig> config;
    Clock::time_point windowStart;  // the rate is measured over windows of the settings' length
    uint64_t windowBytes = 0;
    uint64_t checkedSpaceAt = 0;  // received bytes when free space was last checked
    curl_slist* headers = nullptr;
    long status = 0;
    std::string answer;
    std::string etag;
    // put
    int source = -1;
    uint64_t sourceSize = 0;
    uint64_t sentThisAttempt = 0;
    // get
    std::shared_ptr<PartialFile> body;
    uint64_t received = 0;
    std::unique_ptr<AddressPolicy> policy;
    bool resume = true;

    ~Active()
    {
        if (source >= 0)
            close(source);
        curl_slist_free_all(headers);
    }
};

HttpTransfers::HttpTransfers(Settings settings) : mSettings(settings)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    mMulti = curl_multi_init();
    mThread = std::thread(&HttpTransfers::Run, this);
}

HttpTransfers::~HttpTransfers()
{
    mEnding = true;
    curl_multi_wakeup(mMulti);
    mThread.join();
    curl_multi_cleanup(mMulti);
    curl_global_cleanup();
}

void HttpTransfers::Start(HttpTransfer transfer)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mIncoming.push_back(std::move(transfer));
    }
    curl_multi_wakeup(mMulti);
}

void HttpTransfers::CancelAll()
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mCancel = true;
    }
    curl_multi_wakeup(mMulti);
}

void HttpTransfers::Run()
{
    for (;;) {
        std::vector<HttpTransfer> incoming;
        bool cancel = false;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            incoming.swap(mIncoming);
            std::swap(cancel, mCancel);
        }
        const bool ending = mEnding.load();
        for (HttpTransfer& transfer : incoming) {
            if (cancel || ending) {
                auto active = std::make_unique<Active>();
                active->transfer = std::move(transfer);
                End(std::move(active), false, kStopped);
            } else {
                Open(std::move(transfer));
            }
        }
        if (cancel || ending)
            EndAll();
        if (ending)
            return;

        const Clock::time_point now = Clock::now();
        for (auto waiting = mWaiting.begin(); waiting != mWaiting.end();) {
            if ((*waiting)->retryAt > now) {
                ++waiting;
                continue;
            }
            StartAttempt(std::move(*waiting));
            waiting = mWaiting.erase(waiting);
        }
        int running = 0;
        curl_multi_perform(mMulti, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(mMulti, &left)) {
            if (message->msg == CURLMSG_DONE)
                Finished(message->easy_handle, message->data.result);
        }
        curl_multi_poll(mMulti, nullptr, 0, PollTimeout(), nullptr);
    }
}

int HttpTransfers::PollTimeout() const
{
    int timeout = kLongestPollMilliseconds;
    const Clock::time_point now = Clock::now();
    for (const auto& waiting : mWaiting) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(waiting->retryAt - now).count();
        timeout = std::min<int>(timeout, static_cast<int>(std::max<long long>(left, 0)));
    }
    return timeout;
}

void HttpTransfers::Open(HttpTransfer transfer)
{
    auto active = std::make_unique<Active>();
    active->transfer = std::move(transfer);
    std::string reason;
    if (active->transfer.method == HttpTransfer::Method::put) {
        struct stat info;
        active->source = OpenSourceFile(active->transfer.sourcePath, &info, &reason);
        if (active->source < 0)
            return End(std::move(active), false, reason);
        const HttpTransfer& transfer = active->transfer;
        if (transfer.length < 0) {
            active->sourceSize = static_cast<uint64_t>(info.st_size);
            active->transfer.progress->total = active->sourceSize;
        } else if (transfer.offset + static_cast<uint64_t>(transfer.length) > static_cast<uint64_t>(info.st_size)) {
            return End(std::move(active), false, kShrank);
        } else {
            active->sourceSize = static_cast<uint64_t>(transfer.length);
        }
    } else if (active->transfer.method == HttpTransfer::Method::get && !active->transfer.folder.empty()) {
        const HttpTransfer& transfer = active->transfer;
        if (!transfer.resumePath.empty())
            active->body = PartialFile::Adopt(transfer.resumePath, transfer.folder, transfer.name, &active->received);
        if (!active->body)
            active->body = PartialFile::Create(transfer.folder, transfer.name, 0666, &reason);
        if (!active->body)
            return End(std::move(active), false, reason);
        active->transfer.progress->done = active->received;
        if (transfer.partialOpened)
            transfer.partialOpened(active->body->TemporaryPath());
    }
    StartAttempt(std::move(active));
}

void HttpTransfers::StartAttempt(std::unique_ptr<Active> active)
{
    ++active->attempt;
    active->error[0] = 0;
    active->ioError = 0;
    active->limit.clear();
    active->config = mSettings.config();
    active->windowStart = Clock::now();
    active->windowBytes = 0;
    active->checkedSpaceAt = 0;
    active->status = 0;
    active->answer.clear();
    active->etag.clear();
    const HttpTransfer::Method method = active->transfer.method;
    if (active->body && (!active->resume || active->received == 0)) {
        active->received = 0;
        active->transfer.progress->done = 0;
        active->transfer.progress->total = 0;
        if (ftruncate(active->body->Fd(), 0) != 0 || lseek(active->body->Fd(), 0, SEEK_SET) != 0)
            return End(std::move(active), false, std::string("Could not write the file: ") + g_strerror(errno));
    }
    CURL* easy = curl_easy_init();
    active->easy = easy;
    curl_easy_setopt(easy, CURLOPT_URL, active->transfer.url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, active->error);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kStalledSeconds);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "qiravel-assistant/1");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &WriteBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, active.get());
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CheckRate);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, active.get());
    active->policy = std::make_unique<AddressPolicy>(active->config);
    active->policy->Apply(easy);
    curl_slist_free_all(active->headers);
    active->headers = nullptr;
    if (active->transfer.headers) {
        for (const std::string& line : active->transfer.headers())
            active->headers = curl_slist_append(active->headers, line.c_str());
        // The body goes at once: waiting for "100 Continue" costs a round trip per request.
        active->headers = curl_slist_append(active->headers, "Expect:");
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, active->headers);
    }
    if (method == HttpTransfer::Method::put) {
        active->sentThisAttempt = 0;
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &ReadBody);
        curl_easy_setopt(easy, CURLOPT_READDATA, active.get());
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(active->sourceSize));
    } else if (method == HttpTransfer::Method::post) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, active->transfer.body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(active->transfer.body.size()));
    } else if (method == HttpTransfer::Method::del) {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "DELETE");
    } else if (method == HttpTransfer::Method::head) {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
        if (!active->transfer.headers) {
            curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
            curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
            curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        }
        curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(active->received));
    }
    curl_multi_add_handle(mMulti, easy);
    mRunning[easy] = std::move(active);
}

size_t HttpTransfers::ReadBody(char* buffer, size_t size, size_t count, void* data)
{
    auto* active = static_cast<Active*>(data);
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(size * count, active->sourceSize - active->sentThisAttempt));
    for (;;) {
        const ssize_t length =
            pread(active->source, buffer, wanted, static_cast<off_t>(active->transfer.offset + active->sentThisAttempt));
        // Ending the body early would leave the server waiting for the rest.
        if (length == 0 && wanted > 0) {
            active->limit = kShrank;
            return CURL_READFUNC_ABORT;
        }
        if (length >= 0) {
            active->sentThisAttempt += static_cast<uint64_t>(length);
            active->transfer.progress->done += static_cast<uint64_t>(length);
            return static_cast<size_t>(length);
        }
        if (errno != EINTR) {
            active->ioError = errno;
            return CURL_READFUNC_ABORT;
        }
    }
}

size_t HttpTransfers::WriteBody(char* buffer, size_t size, size_t count, void* data)
{
    auto* active = static_cast<Active*>(data);
    const size_t total = size * count;
    curl_easy_getinfo(active->easy, CURLINFO_RESPONSE_CODE, &active->status);
    if (!active->body || active->status >= 300) {
        active->answer.append(buffer, std::min(total, kLongestAnswer - std::min(kLongestAnswer, active->answer.size())));
        return total;
    }
    FileProgress& progress = *active->transfer.progress;
    curl_off_t length = -1;
    if (progress.total == 0 && curl_easy_getinfo(active->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length > 0)
        progress.total = active->received + static_cast<uint64_t>(length);
    if (!WithinLimits(active, total))
        return 0;
    for (size_t written = 0; written < total;) {
        const ssize_t step = write(active->body->Fd(), buffer + written, total - written);
        if (step < 0 && errno == EINTR)
            continue;
        if (step <= 0) {
            active->ioError = step < 0 ? errno : ENOSPC;
            return 0;
        }
        written += static_cast<size_t>(step);
        active->received += static_cast<uint64_t>(step);
    }
    progress.done = active->received;
    return total;
}

bool HttpTransfers::WithinLimits(Active* active, size_t incoming)
{
    const uint64_t announced = active->transfer.progress->total;
    const uint64_t after = active->received + incoming;
    if (announced > 0 && after > announced) {
        active->limit = "The server sent more than the " + std::to_string(announced) + " bytes it announced";
        return false;
    }
    // Checked at the first bytes, for the whole announced length, then every few megabytes.
    if (active->checkedSpaceAt != 0 && after < active->checkedSpaceAt + kSpaceCheckBytes)
        return true;
    active->checkedSpaceAt = std::max<uint64_t>(after, 1);
    struct statvfs disk;
    if (fstatvfs(active->body->Fd(), &disk) != 0)
        return true;
    const uint64_t free = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
    const uint64_t coming = announced > after ? announced - after : incoming;
    if (free >= coming && free - coming >= active->config->freeSpaceMargin)
        return true;
    active->limit = "The file would leave less than " + std::to_string(active->config->freeSpaceMargin >> 20) +
                    " MB free on its disk";
    return false;
}

int HttpTransfers::CheckRate(void* data, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded)
{
    auto* active = static_cast<Active*>(data);
    const AssistantConfig& config = *active->config;
    const Clock::time_point now = Clock::now();
    const auto window = std::chrono::seconds(config.lowestRateSeconds);
    if (now - active->windowStart < window)
        return 0;
    const uint64_t moved = static_cast<uint64_t>(downloaded + uploaded) - active->windowBytes;
    // Nothing at all is a stall, which the stall limit cuts and tries again.
    if (moved > 0 && moved < config.lowestRate * config.lowestRateSeconds) {
        active->limit = "The transfer was slower than " + std::to_string(config.lowestRate) + " bytes a second for " +
                        std::to_string(config.lowestRateSeconds) + " s";
        return 1;
    }
    active->windowStart = now;
    active->windowBytes += moved;
    return 0;
}

void HttpTransfers::Finished(CURL* easy, CURLcode code)
{
    const auto found = mRunning.find(easy);
    if (found == mRunning.end())
        return;
    std::unique_ptr<Active> active = std::move(found->second);
    mRunning.erase(found);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    active->status = status;
    curl_header* etag = nullptr;
    if (curl_easy_header(easy, "ETag", 0, CURLH_HEADER, -1, &etag) == CURLHE_OK)
        active->etag = etag->value;
    curl_multi_remove_handle(mMulti, easy);
    curl_easy_cleanup(easy);
    active->easy = nullptr;

    if (code == CURLE_OK && status >= 200 && status < 300)
        return End(std::move(active), true, {});
    std::string reason;
    bool passing = false;
    if (!active->limit.empty()) {
        reason = active->limit;
    } else if (!active->policy->RefusedHost().empty()) {
        reason = AddressRefusal(active->policy->RefusedHost());
    } else if (active->ioError) {
        const bool reading = active->transfer.method == HttpTransfer::Method::put;
        reason = std::string(reading ? "Could not read the file: " : "Could not write the file: ") +
                 g_strerror(active->ioError);
    } else if (code == CURLE_OK) {
        reason = "The server answered with status " + std::to_string(status);
        passing = IsPassingStatus(status) || status == 416;
        // A range the server no longer has: start the file over.
        if (status == 416)
            active->resume = false;
    } else {
        reason = active->error[0] ? active->error : curl_easy_strerror(code);
        passing = IsPassingFailure(code);
        if (code == CURLE_RANGE_ERROR)
            active->resume = false;
    }
    if (!passing || active->attempt >= mSettings.attempts)
        return End(std::move(active), false, reason);
    if (active->transfer.method == HttpTransfer::Method::put)
        active->transfer.progress->done -= active->sentThisAttempt;
    active->retryAt = Clock::now() + mSettings.firstRetryDelay * (1u << (active->attempt - 1));
    mWaiting.push_back(std::move(active));
}

void HttpTransfers::End(std::unique_ptr<Active> active, bool ok, const std::string& reason)
{
    HttpOutcome outcome;
    outcome.ok = ok;
    outcome.reason = reason;
    outcome.status = active->status;
    outcome.answer = std::move(active->answer);
    outcome.etag = std::move(active->etag);
    if (ok && active->body)
        outcome.body = std::move(active->body);
    std::function<void(HttpOutcome)> finished = std::move(active->transfer.finished);
    active.reset();  // an unfinished download's partial file goes with it
    finished(std::move(outcome));
}

void HttpTransfers::EndAll()
{
    for (auto& running : mRunning) {
        curl_multi_remove_handle(mMulti, running.first);
        curl_easy_cleanup(running.first);
        running.second->easy = nullptr;
        End(std::move(running.second), false, kStopped);
    }
    mRunning.clear();
    for (auto& waiting : mWaiting)
        End(std::move(waiting), false, kStopped);
    mWaiting.clear();
}
