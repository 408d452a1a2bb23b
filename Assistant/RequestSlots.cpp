#include "RequestSlots.h"

void RequestSlots::Queue(std::function<void()> start)
{
    mWaiting.push_back(std::move(start));
    StartWaiting();
}

void RequestSlots::Release()
{
    if (mRunning > 0)
        --mRunning;
    StartWaiting();
}

void RequestSlots::StartWaiting()
{
    // A start that releases at once comes back here: the loop below goes on with it.
    if (mStarting)
        return;
    mStarting = true;
    while (mRunning < mLimit && !mWaiting.empty()) {
        std::function<void()> start = std::move(mWaiting.front());
        mWaiting.pop_front();
        ++mRunning;
        start();
    }
    mStarting = false;
}
