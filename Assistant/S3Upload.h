// One file uploaded to an S3 bucket. A file up to 16 MiB goes in one signed PUT; a larger one in
// a multipart upload whose parts go in parallel. Every request holds one of the job's request
// slots while it runs, so a job never has more requests under way than its slots allow. Each
// body's MD5 and SHA-256 are computed in the worker pool before it is sent: the server checks
// both ("Content-MD5", "x-amz-content-sha256"), and the answers' ETags are checked against them.
// A part that fails for good ends the upload, which is then aborted on the server. Runs on the
// main thread; the HTTP thread and the pool hand their results back to it.
#pragma once

#include "FileProgress.h"
#include "HttpTransfers.h"
#include "RequestSlots.h"
#include "S3Location.h"
#include "WorkerPool.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// What S3 transfers use of the service that runs them.
struct S3Context {
    HttpTransfers* http = nullptr;
    WorkerPool* pool = nullptr;
    const std::atomic<bool>* cancel = nullptr;  // set when the Assistant stops
    std::weak_ptr<int> lifetime;                // expired once the service is gone
};

struct S3Object {
    std::shared_ptr<const S3Settings> settings;
    std::string bucket;
    std::string key;
};

// The reason of a failed S3 request: the server's error code and message when it sent them,
// with no credential in it.
std::string S3OutcomeReason(const HttpOutcome& outcome, const S3Settings& settings);

// What the job's journal keeps of a multipart upload, and the upload an earlier run began.
struct S3UploadJournal {
    std::string uploadId;  // when set, the upload goes on: the parts stored that match the file are kept
    std::function<void(const std::string& uploadId)> started;
    std::function<void(unsigned number, const std::string& etag)> partStored;
};

class S3Upload : public std::enable_shared_from_this<S3Upload> {
public:
    using Finished = std::function<void(bool ok, const std::string& reason)>;

    // Starts the upload; finished runs once, on the main thread, unless the service is gone.
    static void Start(const S3Context& context, std::shared_ptr<RequestSlots> slots, S3Object object,
                      std::string sourcePath, std::shared_ptr<FileProgress> progress, Finished finished,
                      S3UploadJournal journal = {});

    struct Digest {
        std::string md5;     // 16 bytes
        std::string sha256;  // hex
    };

private:
    S3Upload() = default;

    void Begin();
    void PutWhole(uint64_t size, const Digest& digest);
    void Initiate(uint64_t size);
    void ListStoredParts(unsigned marker);
    void SendParts();
    void SendPart(unsigned number);
    void PutPart(unsigned number, const Digest& digest);
    void PartEnded();
    void Complete();
    void CheckStoredETag(const std::string& expected);
    void Abort();
    void Finish(bool ok, const std::string& reason);
    void Fail(const std::string& reason);

    // Sends one signed request from within a slot; then runs done on the main thread.
    void Send(HttpTransfer transfer, const std::string& method, const S3Query& query, const std::string& payloadHash,
              std::vector<std::pair<std::string, std::string>> extra, std::function<void(HttpOutcome)> done);
    // Runs work in the pool, then done with its result on the main thread.
    void Digests(uint64_t offset, uint64_t length, std::function<void(bool, uint64_t, Digest, std::string)> done);
    bool Stopped() const { return mContext.cancel->load(); }
    // The job's slots are held weakly: queued starts hold the upload, which must not hold them.
    void Queue(std::function<void()> start);
    void Release();

    S3Context mContext;
    std::weak_ptr<RequestSlots> mSlots;
    S3Object mObject;
    std::string mSourcePath;
    std::shared_ptr<FileProgress> mProgress;
    Finished mFinished;

    uint64_t mSize = 0;
    uint64_t mPartSize = 0;
    unsigned mPartCount = 0;
    unsigned mPartsLeft = 0;
    std::string mUploadId;
    std::map<unsigned, std::string> mPartMd5;  // part number to the MD5 of its bytes
    S3UploadJournal mJournal;
    std::map<unsigned, std::string> mStoredETags;  // parts an earlier run stored, by number
    unsigned mPartsKept = 0;
    std::string mReason;                       // the first failure; set, it ends the upload
};
