// The journal of one job: a file under $XDG_STATE_HOME/qiravel/jobs/ (folder 0700, file 0600, as it
// holds the request and so its credentials) from which a job cut by a crash is resumed at the next
// start. It begins with a header line (where the job's status goes, the request's length), the
// request as received and a line of what each source file was (size, modification time, inode);
// each later line records one change of one file's state. Records are written together (a task's
// ended files at once) and synced together (Flush), so that many small files cost one write per
// task and one sync per flush. Main thread only.
#pragma once

#include "StatusSender.h"

#include <cstdint>
#include <fcntl.h>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct TransferRequest;
class WorkerPool;

// What a source file was when its job was accepted; a change means the file is not the one asked for.
struct SourceIdentity {
    bool known = false;
    uint64_t size = 0;
    int64_t modifiedNs = 0;
    uint64_t inode = 0;

    // The same file as stat saw it, or not; a relative path is taken from the folder open as folderFd.
    static SourceIdentity Of(const std::string& path, int folderFd = AT_FDCWD);
    bool operator==(const SourceIdentity& other) const
    {
        return known == other.known && size == other.size && modifiedNs == other.modifiedNs && inode == other.inode;
    }
};

class JobJournal {
public:
    // $XDG_STATE_HOME/qiravel/jobs, made 0700 when missing.
    static std::string Folder();

    // Writes a new job's journal durably under a fresh name; null with a reason on failure.
    static std::unique_ptr<JobJournal> Create(std::string requestText, const StatusAddress& address,
                                              const TransferRequest& request, std::string* reason);
    // Reads a journal left by an earlier run; null with a reason when it is damaged.
    static std::unique_ptr<JobJournal> Load(const std::string& path, std::string* reason);
    ~JobJournal();
    JobJournal(const JobJournal&) = delete;
    JobJournal& operator=(const JobJournal&) = delete;

    const std::string& Path() const { return mPath; }
    const std::string& RequestText() const { return mRequestText; }
    const StatusAddress& Address() const { return mAddress; }
    SourceIdentity Source(size_t index) const;

    // State replayed from the records.
    bool Done(size_t index) const { return mDone.count(index) > 0; }
    bool Failed(size_t index) const { return mFailed.count(index) > 0; }
    std::string UploadId(size_t index) const;
    std::string PartialPath(size_t index) const;
    // The partial files of the files not yet settled, which the job goes on with.
    std::set<std::string> PartialPaths() const;

    // Records. Those of FileEnded wait for the next Write, so that a task's files cost one write;
    // they and those of PartStored are synced at the next flush, the others at once.
    void FileEnded(size_t index, bool ok);
    void UploadStarted(size_t index, const std::string& uploadId);
    void PartStored(size_t index, unsigned number, const std::string& etag);
    void PartialOpened(size_t index, const std::string& path);
    // Writes the records that wait, without a sync.
    void Write();
    // Writes and syncs the records not synced yet: in the pool when one is given, so that the
    // main loop never waits for the disk, else at once.
    void Flush(WorkerPool* pool = nullptr);
    // The job ended: the journal goes.
    void Remove();

private:
    JobJournal() = default;
    void Append(const std::string& record, bool now);
    bool Replay(const std::string& line);

    std::string mPath;
    int mFd = -1;
    std::string mRequestText;
    StatusAddress mAddress;
    std::vector<SourceIdentity> mSources;
    std::string mPending;  // records not written yet
    bool mUnsynced = false;
    std::set<size_t> mDone;
    std::set<size_t> mFailed;
    std::map<size_t, std::string> mUploadIds;
    std::map<size_t, std::string> mPartialPaths;
};
