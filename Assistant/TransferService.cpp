#include "TransferService.h"

#include "AssistantLog.h"
#include "DestinationPaths.h"
#include "JobResume.h"
#include "LocalAccess.h"
#include "LocalCopy.h"
#include "MainThread.h"
#include "PartialFile.h"
#include "S3Download.h"
#include "S3Upload.h"

#include <algorithm>
#include <cerrno>
#include <future>

namespace {
const size_t kMostEntriesPerFileSent = 1000;
const auto kStatusDrainBound = std::chrono::milliseconds(1000);

std::string LastComponent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
}  // namespace

TransferService::TransferService(ServiceSettings settings)
    : mSettings(std::move(settings)),
      mStatus([this, lifetime = std::weak_ptr<int>(mLifetime)] {
          if (!lifetime.expired())
              PumpAll();
      }),
      mStop(mSettings.stopGrace, mSettings.cancelBound),
      mPool(mSettings.parallel),
      mHttp(mSettings.http)
{
}

TransferService::~TransferService() { RemoveProgressTimer(); }

void TransferService::RemoveProgressTimer()
{
    if (mProgressTimer)
        g_source_remove(mProgressTimer);
    mProgressTimer = 0;
}

void TransferService::Accept(const char* text, size_t length, const StatusAddress& address)
{
    auto job = std::make_unique<Job>();
    job->number = ++mLastJob;
    job->address = address;
    std::string reason;
    bool ok = ParseTransferRequest(text, length, &job->request, &reason);
    if (ok && mStop.Stopping()) {
        ok = false;
        reason = "The Assistant is quitting";
    }
    if (ok)
        ok = CheckLocalAccess(&job->request, *mSettings.http.config(), mSettings.outbox, &reason) &&
             Prepare(job.get(), &reason);
    if (!ok) {
        mReports.Refused(*job, reason);
        if (mJobs.empty() && mIdle && !mStop.Stopping())
            mIdle();
        return;
    }
    Job* started = job.get();
    mJobs[job->number] = std::move(job);
    // The first copies start while the journal is written, and name no file before it is durable.
    std::promise<void> journalWritten;
    started->journalWritten = journalWritten.get_future().share();
    StartCopiesEarly(started);
    started->journal = JobJournal::Create(std::string(text, length), address, started->request, &reason);
    journalWritten.set_value();
    started->journalWritten = {};
    if (!started->journal)
        AssistantLog(LogLevel::warning, "Job " + std::to_string(started->number) + " cannot be resumed after a crash: " + reason);
    mReports.Started(*started);
    if (!mProgressTimer)
        mProgressTimer = g_timeout_add(static_cast<guint>(mSettings.progressInterval.count()), &OnProgressTimer, this);
    Pump(started);
}

void TransferService::Resume(std::unique_ptr<JobJournal> journal)
{
    auto job = std::make_unique<Job>();
    job->number = ++mLastJob;
    job->address = journal->Address();
    job->resumed = true;
    const std::string text = SetExpiredCredentialsAside(journal->RequestText(), &job->resumeFailure);
    std::string reason;
    // The settings may have narrowed what pages may reach since the job began.
    if (!ParseTransferRequest(text.data(), text.size(), &job->request, &reason) ||
        !CheckLocalAccess(&job->request, *mSettings.http.config(), mSettings.outbox, &reason) || !Prepare(job.get(), &reason)) {
        AssistantLog(LogLevel::warning, "The job in \"" + journal->Path() + "\" cannot be resumed: " + reason);
        mReports.Refused(*job, reason);
        journal->Remove();
        return;
    }
    const size_t count = job->request.entries.size();
    for (size_t index = 0; index < count; ++index) {
        job->succeeded += journal->Done(index);
        job->failed += journal->Failed(index);
    }
    AssistantLog(LogLevel::info, "Job " + std::to_string(job->number) + " resumed from \"" + journal->Path() + "\": " +
                                     std::to_string(count - job->succeeded - job->failed) + " of " + std::to_string(count) +
                                     " files left");
    job->journal = std::move(journal);
    Job* resumed = job.get();
    mJobs[job->number] = std::move(job);
    if (!mProgressTimer)
        mProgressTimer = g_timeout_add(static_cast<guint>(mSettings.progressInterval.count()), &OnProgressTimer, this);
    Pump(resumed);
}

// Finds the job's destination and makes sure a local one exists.
bool TransferService::Prepare(Job* job, std::string* reason)
{
    const TransferRequest& request = job->request;
    const bool local = !job->Upload() || job->LocalUpload();
    job->root = request.target == UploadTarget::outbox ? mSettings.outbox : request.destination;
    if (local && g_mkdir_with_parents(job->root.c_str(), 0777) != 0) {
        *reason = "Could not create the folder \"" + job->root + "\": " + g_strerror(errno);
        return false;
    }
    if (request.s3)
        job->slots = std::make_shared<RequestSlots>(mSettings.parallel);
    if (job->Upload()) {
        uint64_t total = 0;
        for (const TransferEntry& entry : request.entries)
            total += static_cast<uint64_t>(entry.size);
        job->progress.SetTotal(total);
    }
    return true;
}

void TransferService::Pump(Job* job)
{
    const size_t count = job->request.entries.size();
    // A receiver that has not read its queue down holds up the job's next files, not its status.
    while (!mStop.Stopping() && job->tasks < mSettings.parallel && job->next < count && !mStatus.Full(job->address)) {
        const size_t index = job->next++;
        const TransferEntry& entry = job->request.entries[index];
        if (!StillToMove(job, index))
            continue;
        if (entry.problem.empty())
            StartTask(job, index);
        else
            FileFailed(job, index, entry.problem);
    }
    FinishIfDone(job);
}

// Starts a new job's first local copies before anything about it is reported: no other kind of
// transfer, and no entry with a problem, which the job reports.
void TransferService::StartCopiesEarly(Job* job)
{
    const std::vector<TransferEntry>& entries = job->request.entries;
    if (!job->LocalUpload())
        return;
    while (job->tasks < mSettings.parallel && job->next < entries.size() && entries[job->next].problem.empty())
        StartTask(job, job->next++);
}

void TransferService::PumpAll()
{
    std::vector<unsigned> numbers;
    for (const auto& job : mJobs)
        numbers.push_back(job.first);
    for (const unsigned number : numbers) {
        const auto found = mJobs.find(number);
        if (found != mJobs.end())
            Pump(found->second.get());
    }
}

// A resumed job skips the files settled before it was cut, and fails those changed since it began.
bool TransferService::StillToMove(Job* job, size_t index)
{
    if (!job->resumed)
        return true;
    if (job->journal->Done(index) || job->journal->Failed(index))
        return false;
    const TransferEntry& entry = job->request.entries[index];
    if (!job->resumeFailure.empty() && entry.problem.empty()) {
        FileFailed(job, index, job->resumeFailure);
        return false;
    }
    const std::string change = job->Upload() && entry.problem.empty() ? SourceChange(job->journal->Source(index), entry.source) : "";
    if (change.empty())
        return true;
    FileFailed(job, index, change);
    return false;
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
    if (job->Upload() && job->request.target == UploadTarget::http)
        return SendHttp(job, index);
    if (job->Upload() && job->request.target == UploadTarget::s3)
        return SendS3(job, index);
    if (!job->Upload()) {
        gchar* localPath = g_filename_from_uri(entries[index].source.c_str(), nullptr, nullptr);
        if (localPath)
            CopyInBackground(job, {index}, {localPath});
        else
            SendHttp(job, index);
        g_free(localPath);
        return;
    }
    std::vector<size_t> group = TakeCopyGroup(entries, index, &job->next, mMostGroupedFiles);
    if (job->resumed)
        group.erase(std::remove_if(group.begin() + 1, group.end(), [&](size_t member) { return !StillToMove(job, member); }),
                    group.end());
    std::vector<std::string> sources;
    for (const size_t member : group)
        sources.push_back(entries[member].source);
    CopyInBackground(job, group, sources);
}

void TransferService::CopyInBackground(Job* job, const std::vector<size_t>& indices,
                                       const std::vector<std::string>& sources)
{
    std::vector<CopyItem> items(indices.size());
    std::vector<std::shared_ptr<FileProgress>> progress(indices.size());
    for (size_t i = 0; i < indices.size(); ++i) {
        const TransferEntry& entry = job->request.entries[indices[i]];
        progress[i] = job->progress.Begin(indices[i]);
        items[i].source = sources[i];
        items[i].folder = JoinPath(job->root, entry.folder);
        items[i].name = entry.name;
        items[i].progress = progress[i].get();
    }
    const TaskCompletion completion = Completion(*job);
    const std::atomic<bool>* cancel = &mCancel;
    const std::shared_future<void> journalWritten = job->journalWritten;
    mPool.Submit([items, progress, indices, completion, cancel, journalWritten]() mutable {
        CopyFilesInto(&items, *cancel, [&journalWritten] {
            if (journalWritten.valid())
                journalWritten.wait();
        });
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
    transfer.progress = job->progress.Begin(index);
    const TaskCompletion completion = Completion(*job);
    if (job->Upload()) {
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
        if (job->journal) {
            transfer.resumePath = job->journal->PartialPath(index);
            const auto journal = JournalOf(*job);
            transfer.partialOpened = [journal, index](const std::string& path) {
                journal([index, path](JobJournal& kept) { kept.PartialOpened(index, path); });
            };
        }
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
        if (!entry.bucket.empty())
            SignS3Download({job->request.s3, entry.bucket, entry.key}, &transfer);
    }
    mHttp.Start(std::move(transfer));
}

void TransferService::SendS3(Job* job, size_t index)
{
    const TransferEntry& entry = job->request.entries[index];
    const S3Context context{&mHttp, &mPool, &mCancel, mLifetime};
    const TaskCompletion completion = Completion(*job);
    const std::string url = "s3://" + entry.bucket + "/" + entry.key;
    S3UploadJournal kept;
    if (job->journal) {
        const auto journal = JournalOf(*job);
        kept.uploadId = job->journal->UploadId(index);
        kept.started = [journal, index](const std::string& id) {
            journal([index, id](JobJournal& at) { at.UploadStarted(index, id); });
        };
        kept.partStored = [journal, index](unsigned number, const std::string& etag) {
            journal([index, number, etag](JobJournal& at) { at.PartStored(index, number, etag); });
        };
    }
    S3Upload::Start(context, job->slots, {job->request.s3, entry.bucket, entry.key}, entry.source,
                    job->progress.Begin(index), [completion, index, url](bool ok, const std::string& reason) {
                        completion({{index, ok, url, reason}});
                    }, std::move(kept));
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
    if (job->journal)
        job->journal->Write();
    Pump(job);
    if (MovingFiles() == 0)
        mStop.NothingMoving();
}

void TransferService::FileDone(Job* job, const FileResult& result)
{
    uint64_t bytes = 0;
    if (!job->progress.End(result.index, result.ok, &bytes))
        return;
    const TransferEntry& entry = job->request.entries[result.index];
    if (result.ok && job->journal)
        job->journal->FileEnded(result.index, true);
    if (!result.ok && mCancel) {
        // Cancelled by a stop: the file counts among those left, which the stop reports.
    } else if (!result.ok) {
        FileFailed(job, result.index, result.reason);
    } else if (job->Upload()) {
        ++job->succeeded;
        if (job->request.target != UploadTarget::http && LastComponent(result.finalPath) != entry.name)
            mReports.SentAs(*job, result.index, result.finalPath);
        job->sentBatch.push_back(result.index);
        if (job->sentBatch.size() >= kMostEntriesPerFileSent)
            FlushSent(job);
    } else {
        ++job->succeeded;
        mReports.Received(*job, result.index, result.finalPath, bytes);
    }
}

void TransferService::FileFailed(Job* job, size_t index, const std::string& reason)
{
    FlushSent(job);
    if (job->journal)
        job->journal->FileEnded(index, false);
    ++job->failed;
    mReports.FileFailed(*job, index, reason);
}

void TransferService::FlushSent(Job* job)
{
    if (job->sentBatch.empty())
        return;
    mReports.Sent(*job);
    job->sentBatch.clear();
}

void TransferService::FinishIfDone(Job* job)
{
    if (job->succeeded + job->failed < job->request.entries.size())
        return;
    FlushSent(job);
    mReports.Complete(*job);
    if (job->journal)
        job->journal->Remove();
    mJobs.erase(job->number);
    if (mJobs.empty()) {
        RemoveProgressTimer();
        if (mIdle && !mStop.Stopping())
            mIdle();
    }
}

gboolean TransferService::OnProgressTimer(gpointer data)
{
    auto* service = static_cast<TransferService*>(data);
    for (auto& entry : service->mJobs) {
        Job* job = entry.second.get();
        service->FlushSent(job);
        if (job->journal)
            job->journal->Flush(&service->mPool);
        JobProgress::Report report;
        if (job->progress.TakeReport(&report))
            service->mReports.Progress(*job, report);
    }
    return G_SOURCE_CONTINUE;
}

std::function<void(std::function<void(JobJournal&)>)> TransferService::JournalOf(const Job& job)
{
    const std::weak_ptr<int> lifetime = mLifetime;
    const unsigned number = job.number;
    return [this, lifetime, number](std::function<void(JobJournal&)> change) {
        RunOnMainThread([this, lifetime, number, change] {
            if (lifetime.expired())
                return;
            const auto found = mJobs.find(number);
            if (found != mJobs.end() && found->second->journal)
                change(*found->second->journal);
        });
    };
}

size_t TransferService::MovingFiles() const
{
    size_t count = 0;
    for (const auto& job : mJobs)
        count += job.second->progress.Moving();
    return count;
}

void TransferService::Stop(std::function<void()> done)
{
    if (mStop.Stopping())
        return;
    mStopDone = std::move(done);
    AssistantLog(LogLevel::info, "Stopping with " + std::to_string(mJobs.size()) + " jobs, " +
                                     std::to_string(MovingFiles()) + " files moving");
    mStop.Begin(MovingFiles() > 0, [this] { CancelMoving(); }, [this] { FinishStop(); });
}

void TransferService::CancelMoving()
{
    AssistantLog(LogLevel::info, "Cancelling " + std::to_string(MovingFiles()) + " files still moving");
    mCancel = true;
    mHttp.CancelAll();
}

// The last step of a stop: the jobs left are reported as failed, temporary files go, and the
// caller hears of the end once the status events have gone out (or after a bound).
void TransferService::FinishStop()
{
    RemoveProgressTimer();
    for (auto& entry : mJobs) {
        FlushSent(entry.second.get());
        if (entry.second->journal)
            entry.second->journal->Flush();  // kept: the job goes on at the next start
        mReports.Stopped(*entry.second);
    }
    mCancel = true;
    PartialFile::RemoveAllTemporary();
    if (!mStatus.Drain(kStatusDrainBound))
        AssistantLog(LogLevel::warning, "Some status events were not delivered before the end");
    const std::function<void()> done = std::move(mStopDone);
    mStopDone = nullptr;
    done();
}
