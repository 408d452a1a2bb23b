// Sends status events to the processes that asked for jobs, from one thread per receiver and in
// the order they were queued, so that a slow receiver holds up neither the main loop nor the
// others. A receiver that is alive but reads nothing (stopped, or waiting on a dialog) loses
// nothing: its notifications wait, and once their number reaches a bound its jobs start no new
// files until it reads again. Only a process found gone loses its queue and gets nothing more; a
// job does not depend on anyone listening.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"

#include <chrono>
#include <functional>
#include <memory>
#include <cstdint>
#include <string>
#include <vector>

// Where a job's status goes: the requesting process and the refCon it sent, as it sent it.
struct StatusAddress {
    ProcessSerialNumber process = {0, 0};
    DescType refConType = typeUInt32;
    std::vector<uint8_t> refCon;
};

class StatusSender {
public:
    // Notifications waiting for one receiver beyond which its jobs start no new files.
    static const size_t kQueueBound = 256;

    // drained runs on the main thread when a receiver's queue that reached the bound has gone down
    // to half of it.
    explicit StatusSender(std::function<void()> drained = {});
    // Drops what is still queued and ends the threads; one stuck in a send is left to the exit.
    ~StatusSender();
    StatusSender(const StatusSender&) = delete;
    StatusSender& operator=(const StatusSender&) = delete;

    // Queues one notification text for the address; an address without a process is ignored. A
    // notification with a nonzero progressOf (a job number) replaces one of the same job that still
    // waits, so progress comes as the latest, while every other notification waits its turn.
    void Send(const StatusAddress& address, std::string notification, unsigned progressOf = 0);
    // Whether the receiver's queue is at its bound.
    bool Full(const StatusAddress& address);
    // Waits until everything queued was sent or given up, at most for the limit; true when done.
    bool Drain(std::chrono::milliseconds limit);

private:
    struct Shared;
    struct Receiver;
    static void Run(std::shared_ptr<Shared> shared, uint64_t key);

    std::shared_ptr<Shared> mShared;
};
