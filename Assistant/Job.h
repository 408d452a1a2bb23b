// One accepted request while its files move: what was asked, where its status goes, how far it
// has come. Kept and changed on the main thread only.
#pragma once

#include "JobProgress.h"
#include "StatusSender.h"
#include "TransferRequest.h"

#include <cstddef>
#include <string>
#include <vector>

struct Job {
    unsigned number = 0;
    TransferRequest request;
    StatusAddress address;
    std::string root;    // destination folder, or base URL for HTTP uploads
    size_t next = 0;     // the next entry to start
    unsigned tasks = 0;  // copy groups and HTTP transfers under way
    unsigned succeeded = 0;
    unsigned failed = 0;
    JobProgress progress;
    std::vector<size_t> sentBatch;  // sent entries not yet reported

    bool Upload() const { return request.kind == TransferKind::upload; }
};
