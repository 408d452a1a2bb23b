// The Assistant's jobs: each accepted request becomes a job whose files move a few at a time
// (local copies in a pool of worker threads, HTTP through one libcurl thread), while the main loop
// keeps the jobs' state, reports their status to the requesting process and stays free to accept
// more requests. Everything here runs on the main thread.
#pragma once

#include "CopyGroups.h"
#include "HttpTransfers.h"
#include "Job.h"
#include "JobReports.h"
#include "StatusSender.h"
#include "StopPhase.h"
#include "WorkerPool.h"

#include <glib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct ServiceSettings {
    std::string outbox;                          // where uploads without "upload_url" go
    unsigned parallel = 4;                       // copy groups or HTTP files of one job at once
    std::chrono::milliseconds progressInterval{250};
    std::chrono::milliseconds stopGrace{3000};   // running files may finish in this time
    std::chrono::milliseconds cancelBound{2000}; // then they are cancelled, and waited for this long
    HttpTransfers::Settings http;
};

class TransferService {
public:
    explicit TransferService(ServiceSettings settings);
    ~TransferService();
    TransferService(const TransferService&) = delete;
    TransferService& operator=(const TransferService&) = delete;

    // One request: its text and where its status goes. Every request is answered, at the least
    // with "TransferFailed".
    void Accept(const char* text, size_t length, const StatusAddress& address);
    // Takes up a job an earlier run left unfinished, from its journal.
    void Resume(std::unique_ptr<JobJournal> journal);

    bool HasJobs() const { return !mJobs.empty(); }
    // Called each time the last job has ended.
    void SetIdleCallback(std::function<void()> idle) { mIdle = std::move(idle); }

    // Starts no more files, gives running ones the grace period, then cancels them; reports the
    // jobs left as failed, removes temporary files, and calls done once the status events have
    // gone out (or after a bound). Settled() then says whether every transfer thread is idle.
    void Stop(std::function<void()> done);
    bool Settled() const { return MovingFiles() == 0; }

private:
    struct FileResult {
        size_t index = 0;
        bool ok = false;
        std::string finalPath;
        std::string reason;
    };
    typedef std::function<void(std::vector<FileResult>)> TaskCompletion;

    bool Prepare(Job* job, std::string* reason);
    void Pump(Job* job);
    void StartCopiesEarly(Job* job);
    bool StillToMove(Job* job, size_t index);
    void StartTask(Job* job, size_t index);
    void CopyInBackground(Job* job, const std::vector<size_t>& indices, const std::vector<std::string>& sources);
    void SendHttp(Job* job, size_t index);
    void SendS3(Job* job, size_t index);
    void TaskDone(unsigned jobNumber, const std::vector<FileResult>& results);
    void FileDone(Job* job, const FileResult& result);
    void FileFailed(Job* job, size_t index, const std::string& reason);
    void FlushSent(Job* job);
    void FinishIfDone(Job* job);
    void PumpAll();
    TaskCompletion Completion(const Job& job);
    // Applies a change to the job's journal on the main thread while the job lasts; safe from any thread.
    std::function<void(std::function<void(JobJournal&)>)> JournalOf(const Job& job);
    size_t MovingFiles() const;
    void CancelMoving();
    void FinishStop();
    void RemoveProgressTimer();

    static gboolean OnProgressTimer(gpointer data);

    const ServiceSettings mSettings;
    const size_t mMostGroupedFiles = MostGroupedFiles(mSettings.parallel);
    std::shared_ptr<int> mLifetime = std::make_shared<int>(0);  // closures check it before they run
    StatusSender mStatus;
    JobReports mReports{&mStatus};
    std::map<unsigned, std::unique_ptr<Job>> mJobs;
    unsigned mLastJob = 0;
    guint mProgressTimer = 0;
    StopPhase mStop;
    std::function<void()> mStopDone;
    std::function<void()> mIdle;
    std::atomic<bool> mCancel{false};
    // Declared last, so that their threads end before the jobs they report to are gone; the
    // HTTP thread hands finished downloads to the pool, so it ends first.
    WorkerPool mPool;
    HttpTransfers mHttp;
};
