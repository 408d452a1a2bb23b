// Sends status events ("Laso"/"assS") to the processes that asked for jobs, from a thread of its
// own and in the order they were queued, so that a slow receiver never holds up the main loop.
// A process found gone gets nothing more; a job does not depend on anyone listening.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Where a job's status goes: the requesting process and the refCon it sent, as it sent it.
struct StatusAddress {
    ProcessSerialNumber process = {0, 0};
    DescType refConType = typeUInt32;
    std::vector<uint8_t> refCon;
};

class StatusSender {
public:
    StatusSender();
    // Drops what is still queued and ends the thread.
    ~StatusSender();
    StatusSender(const StatusSender&) = delete;
    StatusSender& operator=(const StatusSender&) = delete;

    // Queues one notification text for the address; an address without a process is ignored.
    void Send(const StatusAddress& address, std::string notification);
    // Waits until everything queued was sent or given up, at most for the limit; true when done.
    bool Drain(std::chrono::milliseconds limit);

private:
    struct Message {
        StatusAddress address;
        std::string text;
    };

    void Run();
    void Deliver(const Message& message);

    std::mutex mMutex;
    std::condition_variable mWake;
    std::condition_variable mDrained;
    std::deque<Message> mQueue;
    bool mSending = false;
    bool mEnding = false;
    std::set<uint64_t> mGone;  // sender thread only
    std::thread mThread;
};
