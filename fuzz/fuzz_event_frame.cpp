// Received event frames: the input is a byte stream as a connection delivers it, fed to the frame
// reader in pieces whose size the first byte sets. Each frame's payload that unflattens flattens
// back to the same bytes (also from a deep copy, and as a whole frame when it is an event), and
// every item of it survives the typed getters and the coercions that the event handlers use.
#include "FuzzSupport.h"

#include "Platform/AppleEvents/AppleEvents.h"
#include "Platform/EventDelivery/Frames.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
const DescType kCoercions[] = {typeWildCard, typeChar, typeUTF8Text, typeUInt32, typeSInt32, 'shor', 'doub',
                               typeAERecord, typeAEList, typeType};

std::vector<char> Flattened(const AEDesc* desc)
{
    const Size size = AESizeOfFlattenedDesc(desc);
    std::vector<char> bytes(static_cast<size_t>(size));
    Size written = 0;
    FUZZ_CHECK(size > 0 && AEFlattenDesc(desc, bytes.data(), size, &written) == noErr && written == size);
    return bytes;
}

// Reads every item of a list, record or event the way handlers do, coerced to each type.
void ReadItems(const AEDesc* desc)
{
    long count = 0;
    if (AECountItems(desc, &count) != noErr)
        return;
    for (long index = 1; index <= count; ++index) {
        AEKeyword keyword = 0;
        AEDesc item;
        FUZZ_CHECK(AEGetNthDesc(desc, index, typeWildCard, &keyword, &item) == noErr);
        for (const DescType type : kCoercions) {
            AEDesc coerced;
            if (AECoerceDesc(&item, type, &coerced) == noErr)
                AEDisposeDesc(&coerced);
            if (desc->descriptorType == typeAppleEvent) {
                DescType actualType = 0;
                Size actualSize = 0;
                char buffer[16];
                AEGetParamPtr(desc, keyword, type, &actualType, buffer, sizeof buffer, &actualSize);
            }
        }
        AEDisposeDesc(&item);
    }
}

bool TakePayload(const char* payload, size_t size)
{
    AEDesc desc;
    if (AEUnflattenDescFromBytes(payload, static_cast<Size>(size), &desc) != noErr) {
        FUZZ_CHECK(desc.descriptorType == typeNull && desc.dataHandle == nullptr);
        return false;
    }
    const std::vector<char> again = Flattened(&desc);
    FUZZ_CHECK(again.size() == size && memcmp(again.data(), payload, size) == 0);

    AEDesc copy;
    FUZZ_CHECK(AEDuplicateDesc(&desc, &copy) == noErr);
    FUZZ_CHECK(Flattened(&copy) == again);
    AEDisposeDesc(&copy);

    if (desc.descriptorType == typeAppleEvent) {
        std::vector<char> frame;
        FUZZ_CHECK(BuildEventFrame(&desc, &frame) == noErr);
        uint32_t length = 0;
        memcpy(&length, frame.data(), kFrameHeaderSize);
        FUZZ_CHECK(length == size && memcmp(frame.data() + kFrameHeaderSize, payload, size) == 0);
    }
    ReadItems(&desc);
    AEDisposeDesc(&desc);
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t piece = data[0] == 0 ? size : data[0];
    FrameReader reader;
    for (size_t at = 1; at < size;) {
        const size_t count = std::min(piece, size - at);
        memcpy(reader.Reserve(count), data + at, count);
        reader.Commit(count);
        at += count;
        // A refused payload is what the port treats as a corrupt stream: it stops reading.
        if (reader.TakeFrames([](const char* payload, size_t length) { return TakePayload(payload, length); }) ==
            FrameReader::Status::corrupt)
            break;
    }
    return 0;
}
