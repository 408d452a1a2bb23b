#include "NativeFrames.h"

#include <json-c/json.h>

#include <algorithm>
#include <cstring>

namespace {
uint32_t ReadLength(const char* bytes)
{
    uint32_t length = 0;
    memcpy(&length, bytes, sizeof length);
    return length;
}

bool IsContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

std::string PieceMessage(const std::string& slice, bool last)
{
    json_object* piece = json_object_new_object();
    json_object_object_add(piece, "piece", json_object_new_string_len(slice.data(), static_cast<int>(slice.size())));
    if (last)
        json_object_object_add(piece, "last", json_object_new_boolean(true));
    std::string text = json_object_to_json_string_ext(piece, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    json_object_put(piece);
    return text;
}
}  // namespace

void NativeFrameReader::Append(const char* data, size_t size)
{
    // Drop what earlier frames used before the buffer grows again.
    if (mStart > 0 && mStart * 2 >= mBuffer.size()) {
        mBuffer.erase(0, mStart);
        mStart = 0;
    }
    mBuffer.append(data, size);
}

uint32_t NativeFrameReader::AnnouncedLength() const
{
    return Pending() >= kFrameHeaderBytes ? ReadLength(mBuffer.data() + mStart) : 0;
}

NativeFrameReader::Result NativeFrameReader::Next(std::string* payload)
{
    if (Pending() < kFrameHeaderBytes)
        return kNeedMore;
    const uint32_t length = AnnouncedLength();
    if (length > kLargestIncomingFrame)
        return kTooLarge;
    if (Pending() - kFrameHeaderBytes < length)
        return kNeedMore;
    payload->assign(mBuffer, mStart + kFrameHeaderBytes, length);
    mStart += kFrameHeaderBytes + length;
    if (mStart == mBuffer.size()) {
        mBuffer.clear();
        mStart = 0;
    }
    return kFrame;
}

std::string Frame(const std::string& payload)
{
    const uint32_t length = static_cast<uint32_t>(payload.size());
    std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
    return frame + payload;
}

std::vector<std::string> FramesOfMessage(const std::string& json, size_t largestMessage, size_t largestPiece)
{
    if (json.size() <= largestMessage)
        return {Frame(json)};
    std::vector<std::string> frames;
    for (size_t start = 0; start < json.size();) {
        // A character is at most 4 bytes: the cut moves back over at most 3 continuation bytes.
        const size_t limit = std::min(start + largestPiece, json.size());
        size_t end = limit;
        while (end < json.size() && limit - end < 3 && IsContinuationByte(json[end]))
            --end;
        frames.push_back(Frame(PieceMessage(json.substr(start, end - start), end == json.size())));
        start = end;
    }
    return frames;
}
