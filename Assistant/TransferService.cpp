#include "TransferService.h"

#include "AssistantLog.h"
#include "DestinationPaths.h"
#include "LocalAccess.h"
#include "LocalCopy.h"
#include "MainThread.h"
#include "Notifications.h"
#include "PartialFile.h"

#include <algorithm>
#include <cerrno>

namespace {
const size_t kMostEntriesPerFileSent = 1000;
// Uploads of files this small go to the pool in groups of up to this many files and bytes.
const double kLargestGroupedFile = 1 << 20;
const size_t kMostGroupedFiles = 64;
const double kMostGroupedBytes = 16 << 20;
const auto kStatusDrainBound = std::chrono::milliseconds(1000);

std::string ProcessName(const ProcessSerialNumber& psn)
{
    return std::to_string(psn.highLongOfPSN) + "-" + std::to_string(psn.lowLongOfPSN);
}

std::string LastComponent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
}  // namespace

TransferService::TransferService(ServiceSettings settings)
    : mSettings(std::move(settings)), mPool(mSettings.parallel), mHttp(mSettings.http)
{
}

TransferService::~TransferService()
{
    RemoveTimer(&mProgressTimer);
    RemoveTimer(&mStopTimer);
}

void TransferService::RemoveTimer(guint* timer)
{
    if (*timer)
        g_source_remove(*timer);
    *timer = 0;
}

void TransferService::Send(const Job& job, const Notification& notification)
{
    mStatus.Send(job.address, notification.Text());
}

void TransferService::Accept(const char* text, size_t length, const StatusAddress& address)
{
    auto job = std::make_unique<Job>();
    job->number = ++mLastJob;
    job->address = address;
    std::string reason;
    bool ok = ParseTransferRequest(text, length, &job->request, &reason);
    if (ok && mStopping) {
        ok = false;
        reason = "The Assistant is quitting";
    }
    if (ok)
        ok = CheckLocalAccess(&job->request, *mSettings.http.config(), mSettings.outbox, &reason) &&
             Prepare(job.get(), &reason);
    if (!ok) {
        AssistantLog(LogLevel::warning, "Job " + std::to_string(job->number) + " from process " +
                                            ProcessName(address.process) + " refused: " + reason);
        Send(*job, Notification("TransferFailed", job->request.job, job->number).Add("reason", reason));
        if (mJobs.empty() && mIdle && !mStopping)
            mIdle();
        return;
    }
    const bool upload = job->request.kind == TransferKind::upload;
    const size_t count = job->request.entries.size();
    AssistantLog(LogLevel::info, "Job " + std::to_string(job->number) + " from process " +
                                     ProcessName(address.process) + ": " + (upload ? "upload" : "download") +
                                     " of " + std::to_string(count) + " files to " + ShownUrl(job->root));
    Send(*job, Notification("TransferStarted", job->request.job, job->number)
                   .Add("request", std::string(upload ? "StartUpload" : "StartDownload"))
                   .Add("destination", ShownUrl(job->root))
                   .Add("file_count", static_cast<uint64_t>(count))
                   .Add("byte_total", job->bytesTotal));
    Job* started = job.get();
    mJobs[job->number] = std::move(job);
    if (!mProgressTimer)
        mProgressTimer = g_timeout_add(static_cast<guint>(mSettings.progressInterval.count()), &OnProgressTimer, this);
    Pump(started);
}

// Finds the job's destination and makes sure a local one exists.
bool TransferService::Prepare(Job* job, std::string* reason)
{
    const TransferRequest& request = job->request;
    const bool local = request.kind == TransferKind::download || request.target != UploadTarget::http;
    job->root = request.target == UploadTarget::outbox ? mSettings.outbox : request.destination;
    if (local && g_mkdir_with_parents(job->root.c_str(), 0777) != 0) {
        *reason = "Could not create the folder \"" + job->root + "\": " + g_strerror(errno);
        return false;
    }
    if (request.kind == TransferKind::upload) {
        for (const TransferEntry& entry : request.entries)
            job->bytesTotal += static_cast<uint64_t>(entry.size);
    }
    return true;
}

void TransferService::Pump(Job* job)
{
    const size_t count = job->request.entries.size();
    while (!mStopping && job->tasks < mSettings.parallel && job->next < count) {
        const size_t index = job->next++;
        const TransferEntry& entry = job->request.entries[index];
        if (entry.problem.empty())
            StartTask(job, index);
        else
            FileFailed(job, index, entry.problem);
    }
    FinishIfDone(job);
}

TransferService::TaskCompletion TransferService::Completion(const Job& job)
{
    const std::weak_ptr<int> lifetime = mLifetime;
    const unsigned number = job.number;
    return [this, lifetime, number](std::vector<FileResult> results) {
        RunOnMainThread([this, lifetime, number, results] {
            if (!lifetime.expired())
                TaskDone(number, results);
        });
    };
}

// Starts the file at the index; small uploads to folders take the next small ones along, as a
// group that shares its syncs.
void TransferService::StartTask(Job* job, size_t index)
{
    ++job->tasks;
    const std::vector<TransferEntry>& entries = job->request.entries;
    const bool upload = job->request.kind == TransferKind::upload;
    if (upload && job->request.target == UploadTarget::http)
        return SendHttp(job, index);
    if (!upload) {
        gchar* localPath = g_filename_from_uri(entries[index].source.c_str(), nullptr, nullptr);
        if (localPath)
            CopyInBackground(job, {index}, {localPath});
        else
            SendHttp(job, index);
        g_free(localPath);
        return;
    }
    std::vector<size_t> group = {index};
    std::vector<std::string> sources = {entries[index].source};
    double bytes = entries[index].size;
    while (bytes <= kLargestGroupedFile && job->next < entries.size() && group.size() < kMostGroupedFiles) {
        const TransferEntry& entry = entries[job->next];
        if (!entry.problem.empty() || entry.size > kLargestGroupedFile || bytes + entry.size > kMostGroupedBytes)
            break;
        bytes += entry.size;
        group.push_back(job->next++);
        sources.push_back(entry.source);
    }
    CopyInBackground(job, group, sources);
}

void TransferService::CopyInBackground(Job* job, const std::vector<size_t>& indices,
                                       const std::vector<std::string>& sources)
{
    std::vector<CopyItem> items(indices.size());
    std::vector<std::shared_ptr<FileProgress>> progress(indices.size());
    for (size_t i = 0; i < indices.size(); ++i) {
        const TransferEntry& entry = job->request.entries[indices[i]];
        progress[i] = job->moving[indices[i]] = std::make_shared<FileProgress>();
        items[i].source = sources[i];
        items[i].folder = JoinPath(job->root, entry.folder);
        items[i].name = entry.name;
        items[i].progress = progress[i].get();
    }
    const TaskCompletion completion = Completion(*job);
    const std::atomic<bool>* cancel = &mCancel;
    mPool.Submit([items, progress, indices, completion, cancel]() mutable {
        CopyFilesInto(&items, *cancel);
        std::vector<FileResult> results(items.size());
        for (size_t i = 0; i < items.size(); ++i)
            results[i] = {indices[i], items[i].ok, items[i].finalPath, items[i].reason};
        completion(std::move(results));
    });
}

void TransferService::SendHttp(Job* job, size_t index)
{
    const TransferEntry& entry = job->request.entries[index];
    HttpTransfer transfer;
    transfer.progress = job->moving[index] = std::make_shared<FileProgress>();
    const TaskCompletion completion = Completion(*job);
    if (job->request.kind == TransferKind::upload) {
        transfer.method = HttpTransfer::Method::put;
        transfer.url = JoinUrl(job->root, entry.folder, entry.name);
        transfer.sourcePath = entry.source;
        transfer.finished = [completion, index, url = transfer.url](HttpOutcome outcome) {
            completion({{index, outcome.ok, url, outcome.reason}});
        };
    } else {
        transfer.method = HttpTransfer::Method::get;
        transfer.url = entry.source;
        transfer.folder = JoinPath(job->root, entry.folder);
        transfer.name = entry.name;
        // A received file is synced and named in the pool, off the HTTP thread.
        WorkerPool* pool = &mPool;
        transfer.finished = [completion, index, pool](HttpOutcome outcome) {
            if (!outcome.ok)
                return completion({{index, false, {}, outcome.reason}});
            std::shared_ptr<PartialFile> body = std::move(outcome.body);
            pool->Submit([completion, index, body] {
                FileResult result;
                result.index = index;
                result.ok = body->Commit(&result.finalPath, &result.reason);
                completion({result});
            });
        };
    }
    mHttp.Start(std::move(transfer));
}

void TransferService::TaskDone(unsigned jobNumber, const std::vector<FileResult>& results)
{
    const auto found = mJobs.find(jobNumber);
    if (found == mJobs.end())
        return;
    Job* job = found->second.get();
    --job->tasks;
    for (const FileResult& result : results)
        FileDone(job, result);
    Pump(job);
    if (mStopping && MovingFiles() == 0)
        FinishStop();
}

void TransferService::FileDone(Job* job, const FileResult& result)
{
    const auto moving = job->moving.find(result.index);
    if (moving == job->moving.end())
        return;
    const uint64_t bytes = moving->second->done;
    if (result.ok)
        job->bytesFinished += bytes;
    job->moving.erase(moving);
    const TransferEntry& entry = job->request.entries[result.index];
    if (!result.ok && mCancel) {
        // Cancelled by a stop: the file counts among those left, which the stop reports.
    } else if (!result.ok) {
        FileFailed(job, result.index, result.reason);
    } else if (job->request.kind == TransferKind::upload) {
        ++job->succeeded;
        if (job->request.target != UploadTarget::http && LastComponent(result.finalPath) != entry.name)
            AssistantLog(LogLevel::info, "Job " + std::to_string(job->number) + ": " + entry.source + " sent as " +
                                             result.finalPath + ", since \"" + entry.name + "\" was taken");
        job->sentBatch.push_back(result.index);
        if (job->sentBatch.size() >= kMostEntriesPerFileSent)
            FlushSent(job);
    } else {
        ++job->succeeded;
        Send(*job, Notification("FileReceived", job->request.job, job->number)
                       .Add("url", ShownUrl(entry.source))
                       .Add("relative_path", entry.sourceRelativePath)
                       .Add("path", result.finalPath)
                       .Add("size", bytes));
    }
}

void TransferService::FileFailed(Job* job, size_t index, const std::string& reason)
{
    FlushSent(job);
    ++job->failed;
    const TransferEntry& entry = job->request.entries[index];
    const bool upload = job->request.kind == TransferKind::upload;
    AssistantLog(LogLevel::warning,
                 "Job " + std::to_string(job->number) + ": FileFailed " + ShownUrl(entry.source) + ": " + reason);
    Send(*job, Notification("FileFailed", job->request.job, job->number)
                   .Add(upload ? "file_path" : "url", ShownUrl(entry.source))
                   .Add("relative_path", entry.sourceRelativePath)
                   .Add("reason", reason));
}

void TransferService::FlushSent(Job* job)
{
    if (job->sentBatch.empty())
        return;
    json_object* files = json_object_new_array_ext(static_cast<int>(job->sentBatch.size()));
    for (const size_t index : job->sentBatch)
        json_object_array_add(files, json_object_get(job->request.entries[index].original));
    AssistantLog(LogLevel::info, "Job " + std::to_string(job->number) + ": FileSent, " +
                                     std::to_string(job->sentBatch.size()) + " files");
    Send(*job, Notification("FileSent", job->request.job, job->number).Add("files_ul", files));
    job->sentBatch.clear();
}

void TransferService::ReportProgress(Job* job)
{
    uint64_t done = job->bytesFinished;
    uint64_t total = job->request.kind == TransferKind::upload ? job->bytesTotal : job->bytesFinished;
    for (const auto& moving : job->moving) {
        done += moving.second->done;
        if (job->request.kind == TransferKind::download)
            total += std::max<uint64_t>(moving.second->total, moving.second->done);
    }
    if (done == job->bytesReported)
        return;
    job->bytesReported = done;
    Notification progress("TransferProgress", job->request.job, job->number);
    progress.Add("bytes_done", done).Add("bytes_total", std::max(total, done));
    if (!job->moving.empty()) {
        const auto& current = *job->moving.begin();
        progress.Add(job->request.kind == TransferKind::upload ? "file_path" : "url",
                     ShownUrl(job->request.entries[current.first].source));
        progress.Add("file_bytes_done", current.second->done.load()).Add("file_bytes_total", current.second->total.load());
    }
    Send(*job, progress);
}

void TransferService::FinishIfDone(Job* job)
{
    const size_t count = job->request.entries.size();
    if (job->succeeded + job->failed < count)
        return;
    FlushSent(job);
    const bool upload = job->request.kind == TransferKind::upload;
    AssistantLog(LogLevel::info, "Job " + std::to_string(job->number) + ": TransferComplete, " +
                                     std::to_string(job->succeeded) + (upload ? " sent, " : " received, ") +
                                     std::to_string(job->failed) + " failed");
    Send(*job, Notification("TransferComplete", job->request.job, job->number)
                   .Add(upload ? "files_sent" : "files_received", static_cast<uint64_t>(job->succeeded))
                   .Add("files_failed", static_cast<uint64_t>(job->failed))
                   .Add("bytes_done", job->bytesFinished));
    mJobs.erase(job->number);
    if (mJobs.empty()) {
        RemoveTimer(&mProgressTimer);
        if (mIdle && !mStopping)
            mIdle();
    }
}

gboolean TransferService::OnProgressTimer(gpointer data)
{
    auto* service = static_cast<TransferService*>(data);
    for (auto& job : service->mJobs) {
        service->FlushSent(job.second.get());
        service->ReportProgress(job.second.get());
    }
    return G_SOURCE_CONTINUE;
}

size_t TransferService::MovingFiles() const
{
    size_t count = 0;
    for (const auto& job : mJobs)
        count += job.second->moving.size();
    return count;
}

void TransferService::Stop(std::function<void()> done)
{
    if (mStopping)
        return;
    mStopping = true;
    mStopDone = std::move(done);
    AssistantLog(LogLevel::info, "Stopping with " + std::to_string(mJobs.size()) + " jobs, " +
                                     std::to_string(MovingFiles()) + " files moving");
    if (MovingFiles() == 0)
        return FinishStop();
    mStopTimer = g_timeout_add(static_cast<guint>(mSettings.stopGrace.count()), &OnGraceOver, this);
}

gboolean TransferService::OnGraceOver(gpointer data)
{
    auto* service = static_cast<TransferService*>(data);
    service->CancelMoving();
    service->mStopTimer = g_timeout_add(static_cast<guint>(service->mSettings.cancelBound.count()), &OnCancelBound, data);
    return G_SOURCE_REMOVE;
}

gboolean TransferService::OnCancelBound(gpointer data)
{
    auto* service = static_cast<TransferService*>(data);
    service->mStopTimer = 0;
    service->FinishStop();
    return G_SOURCE_REMOVE;
}

void TransferService::CancelMoving()
{
    AssistantLog(LogLevel::info, "Cancelling " + std::to_string(MovingFiles()) + " files still moving");
    mCancel = true;
    mHttp.CancelAll();
}

void TransferService::FinishStop()
{
    if (!mStopDone)
        return;
    RemoveTimer(&mStopTimer);
    RemoveTimer(&mProgressTimer);
    for (auto& entry : mJobs) {
        Job* job = entry.second.get();
        FlushSent(job);
        const bool upload = job->request.kind == TransferKind::upload;
        const uint64_t left = job->request.entries.size() - job->succeeded - job->failed;
        Send(*job, Notification("TransferFailed", job->request.job, job->number)
                       .Add("reason", std::string("The Assistant was stopped before the job was done"))
                       .Add(upload ? "files_sent" : "files_received", static_cast<uint64_t>(job->succeeded))
                       .Add("files_failed", static_cast<uint64_t>(job->failed))
                       .Add("files_left", left));
    }
    mCancel = true;
    PartialFile::RemoveAllTemporary();
    if (!mStatus.Drain(kStatusDrainBound))
        AssistantLog(LogLevel::warning, "Some status events were not delivered before the end");
    const std::function<void()> done = std::move(mStopDone);
    mStopDone = nullptr;
    done();
}
