// One accepted request while its files move: what was asked, where its status goes, how far it
// has come. Kept and changed on the main thread only.
#pragma once

#include "JobJournal.h"
#include "JobProgress.h"
#include "RequestSlots.h"
#include "StatusSender.h"
#include "TransferRequest.h"

#include <cstddef>
#include <future>
#include <memory>
#include <string>
#include <vector>

struct Job {
    unsigned number = 0;
    TransferRequest request;
    StatusAddress address;
    std::string root;    // destination folder, or base URL for HTTP and S3 uploads
    size_t next = 0;     // the next entry to start
    unsigned tasks = 0;  // copy groups and HTTP transfers under way
    unsigned succeeded = 0;
    unsigned failed = 0;
    JobProgress progress;
    std::vector<size_t> sentBatch;  // sent entries not yet reported
    std::shared_ptr<RequestSlots> slots;  // S3 jobs: their requests under way
    std::unique_ptr<JobJournal> journal;  // null when it could not be written
    std::shared_future<void> journalWritten;  // while the journal is written: ready once it is durable
    bool resumed = false;                 // taken up from the journal of an earlier run
    std::string resumeFailure;            // resumed: why the files left cannot move (credentials expired)

    bool Upload() const { return request.kind == TransferKind::upload; }
    // An upload to the outbox or a folder, copied by this machine's file systems.
    bool LocalUpload() const
    {
        return Upload() && request.target != UploadTarget::http && request.target != UploadTarget::s3;
    }
};
