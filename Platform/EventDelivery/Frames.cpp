#include "Frames.h"

#include "EventDelivery.h"

#include <cstring>

namespace {
// An empty reader gives back a buffer grown by a large event.
const size_t kKeptBufferSize = 128 * 1024;
}  // namespace

OSErr BuildEventFrame(const AppleEvent* event, std::vector<char>* frame)
{
    const Size size = AESizeOfFlattenedDesc(event);
    if (size <= 0 || static_cast<size_t>(size) > kMaxFramePayload)
        return kEventTooLargeErr;
    frame->resize(kFrameHeaderSize + static_cast<size_t>(size));
    const uint32_t length = static_cast<uint32_t>(size);
    memcpy(frame->data(), &length, kFrameHeaderSize);
    Size written = 0;
    return AEFlattenDesc(event, frame->data() + kFrameHeaderSize, size, &written) == noErr && written == size
               ? noErr
               : paramErr;
}

char* FrameReader::Reserve(size_t minimum)
{
    if (mBegin == mEnd) {
        mBegin = mEnd = 0;
        if (mBuffer.size() > kKeptBufferSize)
            std::vector<char>().swap(mBuffer);
    }
    if (mBuffer.size() - mEnd < minimum) {
        if (mBegin > 0) {
            memmove(mBuffer.data(), mBuffer.data() + mBegin, mEnd - mBegin);
            mEnd -= mBegin;
            mBegin = 0;
        }
        // A large frame gets its exact size rather than the vector's usual doubling.
        if (mBuffer.size() - mEnd < minimum && PendingFrameSize() > minimum)
            mBuffer.reserve(mEnd + minimum);
        if (mBuffer.size() - mEnd < minimum)
            mBuffer.resize(mEnd + minimum);
    }
    return mBuffer.data() + mEnd;
}

size_t FrameReader::NextReadSize(size_t chunk) const
{
    const size_t pending = PendingFrameSize();
    return pending > chunk ? pending - Buffered() : chunk;
}

size_t FrameReader::PendingFrameSize() const
{
    if (mEnd - mBegin < kFrameHeaderSize)
        return 0;
    uint32_t length = 0;
    memcpy(&length, mBuffer.data() + mBegin, kFrameHeaderSize);
    return kFrameHeaderSize + length;
}

void FrameReader::Commit(size_t count) { mEnd += count; }

FrameReader::Status FrameReader::TakeFrames(const std::function<bool(const char*, size_t)>& take)
{
    while (mEnd - mBegin >= kFrameHeaderSize) {
        uint32_t length = 0;
        memcpy(&length, mBuffer.data() + mBegin, kFrameHeaderSize);
        if (length == 0 || length > kMaxFramePayload)
            return Status::corrupt;
        if (mEnd - mBegin - kFrameHeaderSize < length)
            break;
        if (!take(mBuffer.data() + mBegin + kFrameHeaderSize, length))
            return Status::corrupt;
        mBegin += kFrameHeaderSize + length;
    }
    return Status::ok;
}
