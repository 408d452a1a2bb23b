// Byte accounting of one job: a counter for each file moving now, written by the thread that moves
// it, and the bytes of the files that arrived. Read on the main thread.
#pragma once

#include "FileProgress.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

class JobProgress {
public:
    // What a progress report shows.
    struct Report {
        uint64_t done = 0;
        uint64_t total = 0;
        bool moving = false;  // when a file is moving, the first of them:
        size_t file = 0;
        uint64_t fileDone = 0;
        uint64_t fileTotal = 0;
    };

    // Uploads know their total from the upload list; without it the total is learnt as files
    // move (downloads).
    void SetTotal(uint64_t bytes)
    {
        mTotal = bytes;
        mTotalKnown = true;
    }
    // 0 while not known.
    uint64_t Total() const { return mTotal; }

    // The counter of the file at this index, from its start to its end.
    std::shared_ptr<FileProgress> Begin(size_t index);
    // Ends the file's accounting; its bytes count as done only when it arrived. False when the
    // file was not moving. Fills the bytes it moved.
    bool End(size_t index, bool arrived, uint64_t* bytes);

    size_t Moving() const { return mMoving.size(); }
    // The bytes of the files that arrived.
    uint64_t Arrived() const { return mArrived; }

    // False when no byte moved since the last report taken.
    bool TakeReport(Report* report);

private:
    bool mTotalKnown = false;
    uint64_t mTotal = 0;
    uint64_t mArrived = 0;
    uint64_t mReported = 0;
    std::map<size_t, std::shared_ptr<FileProgress>> mMoving;
};
