// The memory an event port's connections may hold in frames they are still receiving. Frames up to
// kLargeFrame draw on one shared budget of kSharedBytes: a connection reserves the whole of its
// frame once the frame's header is in and the budget has room, and then reads it to the end, so
// connections that hold the budget can always finish their frames and give it back. One
// connection at a time may instead hold a grant for a larger frame, up to the largest there is.
#pragma once

#include <cstddef>

class ReceiveBudget {
public:
    static const size_t kSharedBytes = 16u << 20;
    static const size_t kLargeFrame = 1u << 20;

    // What one connection holds against the budget.
    struct Share {
        size_t held = 0;
        bool wholeFrame = false;  // held covers the whole frame being received
    };
    enum class Answer { read, waitForGrant, waitForRoom };

    // Whether the connection may read more of the frame of frameSize bytes (header included; 0
    // while its header is not in) that it is receiving.
    Answer MayRead(Share* share, size_t frameSize);
    // Counts what the connection holds after a read: buffered bytes that begin a frame of frameSize
    // bytes; tookFrames when the read completed frames, which ends a reservation or a grant.
    void Account(Share* share, size_t buffered, size_t frameSize, bool tookFrames);
    // Gives back what a closing connection holds.
    void Release(Share* share);

    bool GrantFree() const { return !mGrantee; }
    bool HasRoom() const { return mShared < kSharedBytes; }

private:
    size_t mShared = 0;
    const Share* mGrantee = nullptr;
};
