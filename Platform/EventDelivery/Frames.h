// Length-prefixed frames: a 32-bit length in native byte order (both ends share the machine), then
// that many bytes of one flattened event.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

const size_t kFrameHeaderSize = sizeof(uint32_t);
const size_t kMaxFramePayload = kAEMaxFlattenedSize;

// Writes the flattened event after a frame header into frame; kEventTooLargeErr when it cannot be
// flattened within the limits of the flattened form.
OSErr BuildEventFrame(const AppleEvent* event, std::vector<char>* frame);

// Cuts a byte stream into frames. A header announcing 0 or more than kMaxFramePayload bytes makes
// the stream corrupt.
class FrameReader {
public:
    enum class Status { ok, corrupt };

    // Room for at least minimum more bytes, to be filled and then confirmed with Commit.
    char* Reserve(size_t minimum);
    void Commit(size_t count);
    // Hands each complete frame's payload to take, in order, stopping at the first it refuses.
    Status TakeFrames(const std::function<bool(const char* payload, size_t size)>& take);
    bool HasPartialFrame() const { return mEnd > mBegin; }
    // Bytes held, and the whole size (header included) of the frame they begin, once its header is in.
    size_t Buffered() const { return mEnd - mBegin; }
    size_t PendingFrameSize() const;
    // How much to read next: chunk, or the rest of a pending frame larger than that, so that a large
    // frame is read into a buffer of its exact size.
    size_t NextReadSize(size_t chunk) const;

private:
    std::vector<char> mBuffer;
    size_t mBegin = 0;
    size_t mEnd = 0;
};
