#include "JobProgress.h"

#include <algorithm>

std::shared_ptr<FileProgress> JobProgress::Begin(size_t index)
{
    return mMoving[index] = std::make_shared<FileProgress>();
}

bool JobProgress::End(size_t index, bool arrived, uint64_t* bytes)
{
    const auto moving = mMoving.find(index);
    if (moving == mMoving.end())
        return false;
    *bytes = moving->second->done;
    if (arrived)
        mArrived += *bytes;
    mMoving.erase(moving);
    return true;
}

bool JobProgress::TakeReport(Report* report)
{
    uint64_t done = mArrived;
    uint64_t total = mTotalKnown ? mTotal : mArrived;
    for (const auto& moving : mMoving) {
        done += moving.second->done;
        if (!mTotalKnown)
            total += std::max<uint64_t>(moving.second->total, moving.second->done);
    }
    if (done == mReported)
        return false;
    mReported = done;
    *report = Report();
    report->done = done;
    report->total = std::max(total, done);
    if (!mMoving.empty()) {
        const auto& first = *mMoving.begin();
        report->moving = true;
        report->file = first.first;
        report->fileDone = first.second->done;
        report->fileTotal = first.second->total;
    }
    return true;
}
