// The sending end of event delivery: one cached connection per target process, so a stream of
// events costs one write each. A cached connection that its target closed is replaced, and the event
// sent again on a new one.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

class EventSender {
public:
    static EventSender& Shared();

    // Writes one frame to the target's port.
    //   procNotFound  the target is gone or has no port
    //   errAETimeout  the frame could not be written before the deadline
    OSErr Send(const ProcessSerialNumber& target, const std::vector<char>& frame,
               std::chrono::steady_clock::time_point deadline);

private:
    struct Link {
        std::mutex mutex;
        int fd = -1;
    };

    std::shared_ptr<Link> LinkFor(uint64_t key);
    void Forget(uint64_t key);

    std::mutex mMutex;
    pid_t mOwner = 0;  // connections inherited across fork are not used
    std::unordered_map<uint64_t, std::shared_ptr<Link>> mLinks;
};
