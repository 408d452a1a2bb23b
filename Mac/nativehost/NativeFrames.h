// Native messaging frames: a 4-byte length in the machine's byte order, then that many bytes of
// UTF-8 JSON. The reader takes the byte stream in whatever pieces it arrives; the writer cuts a
// message too large for the browsers into "piece" frames that the extension joins again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kFrameHeaderBytes = 4;
// The largest frame the browsers send: a longer announced length means the stream is corrupt.
constexpr uint32_t kLargestIncomingFrame = 64u << 20;
// The largest message the browsers accept from a host; a longer one goes out in pieces.
constexpr size_t kLargestOutgoingMessage = 1u << 20;
// The most text of the message one piece carries; JSON escaping at most doubles it.
constexpr size_t kLargestPieceText = 256u << 10;

class NativeFrameReader {
public:
    enum Result { kFrame, kNeedMore, kTooLarge };

    void Append(const char* data, size_t size);
    // kFrame with the next whole frame's payload; kNeedMore while a frame is incomplete;
    // kTooLarge (for good) when the next frame announces more than kLargestIncomingFrame.
    Result Next(std::string* payload);
    // Bytes held of a frame not yet complete.
    size_t Pending() const { return mBuffer.size() - mStart; }
    // The length the incomplete frame announced, or 0 while its header is incomplete.
    uint32_t AnnouncedLength() const;

private:
    std::string mBuffer;
    size_t mStart = 0;
};

// The frames that carry one message's JSON text: a single frame when it fits the browsers' limit,
// else {"piece":"..."} frames of slices cut at character boundaries, the last with "last":true.
// The limits are parameters so that the fuzz target can cut small messages.
std::vector<std::string> FramesOfMessage(const std::string& json, size_t largestMessage = kLargestOutgoingMessage,
                                         size_t largestPiece = kLargestPieceText);
// One frame around the payload.
std::string Frame(const std::string& payload);
