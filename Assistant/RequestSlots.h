// At most a given number of requests of one job at once: requests wait in the order they were
// queued until a slot is free. Main thread only.
#pragma once

#include <deque>
#include <functional>

class RequestSlots {
public:
    explicit RequestSlots(unsigned limit) : mLimit(limit ? limit : 1) {}

    // Runs start once a slot is free; whatever it starts must call Release once when it ends.
    void Queue(std::function<void()> start);
    void Release();

private:
    void StartWaiting();

    const unsigned mLimit;
    unsigned mRunning = 0;
    bool mStarting = false;
    std::deque<std::function<void()>> mWaiting;
};
