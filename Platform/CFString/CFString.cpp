// Reference-counted immutable UTF-16 strings; ICU does the UTF-8 and UTF-32 transcoding.
#include "Platform/CFString/CFString.h"

#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstring>
#include <vector>

struct __CFString {
    long refCount;
    std::vector<UniChar> units;
};

namespace {

CFStringRef NewString(std::vector<UniChar>&& units)
{
    return new __CFString{1, std::move(units)};
}

// ICU's UChar is char16_t; our UniChar is uint16_t of the same size and representation.
UChar* AsUChar(UniChar* units)
{
    return reinterpret_cast<UChar*>(units);
}

// Runs an ICU transcoder to UTF-16 twice, to measure and to fill; ill-formed input gives null.
template <typename Transcode>
CFStringRef CreateTranscoded(Transcode transcode)
{
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    transcode(nullptr, 0, &length, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return nullptr;
    std::vector<UniChar> units(static_cast<size_t>(length));
    status = U_ZERO_ERROR;
    transcode(AsUChar(units.data()), length, nullptr, &status);
    return U_SUCCESS(status) ? NewString(std::move(units)) : nullptr;
}

CFStringRef CreateFromUTF8(const uint8_t* bytes, CFIndex numBytes)
{
    if (numBytes > INT32_MAX)
        return nullptr;
    return CreateTranscoded([&](UChar* dest, int32_t capacity, int32_t* length, UErrorCode* status) {
        u_strFromUTF8(dest, capacity, length, reinterpret_cast<const char*>(bytes), static_cast<int32_t>(numBytes),
                      status);
    });
}

CFStringRef CreateFromUTF32LE(const uint8_t* bytes, CFIndex numBytes)
{
    if (numBytes % 4 != 0 || numBytes / 4 > INT32_MAX)
        return nullptr;
    std::vector<UChar32> chars(static_cast<size_t>(numBytes / 4));
    for (size_t i = 0; i < chars.size(); ++i) {
        const uint8_t* b = bytes + 4 * i;
        chars[i] = static_cast<UChar32>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
    }
    return CreateTranscoded([&](UChar* dest, int32_t capacity, int32_t* length, UErrorCode* status) {
        u_strFromUTF32(dest, capacity, length, chars.data(), static_cast<int32_t>(chars.size()), status);
    });
}

// Clips a range to the string so that out-of-range requests copy or convert only what exists.
CFRange ClipRange(CFStringRef string, CFRange range)
{
    const CFIndex length = CFStringGetLength(string);
    const CFIndex start = range.location < 0 ? 0 : (range.location > length ? length : range.location);
    const CFIndex available = length - start;
    const CFIndex count = range.length < 0 ? 0 : (range.length > available ? available : range.length);
    return CFRange{start, count};
}

// Encodes one code point; returns the bytes it takes (written only when they fit), 0 if the
// encoding is not supported.
CFIndex EncodeChar(UChar32 c, CFStringEncoding encoding, uint8_t* out, CFIndex room)
{
    if (encoding == kCFStringEncodingUTF8) {
        const CFIndex size = U8_LENGTH(c);
        if (out && size <= room) {
            int32_t offset = 0;
            U8_APPEND_UNSAFE(out, offset, c);
        }
        return size;
    }
    if (encoding == kCFStringEncodingUTF32LE) {
        if (out && room >= 4) {
            for (int i = 0; i < 4; ++i)
                out[i] = static_cast<uint8_t>(static_cast<uint32_t>(c) >> (8 * i));
        }
        return 4;
    }
    return 0;
}

}  // namespace

CFStringRef CFStringCreateWithCharacters(const void*, const UniChar* chars, CFIndex numChars)
{
    if (numChars < 0 || (!chars && numChars > 0))
        return nullptr;
    return NewString(std::vector<UniChar>(chars, chars + numChars));
}

CFStringRef CFStringCreateWithBytes(const void*, const uint8_t* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    bool)
{
    if (numBytes < 0 || (!bytes && numBytes > 0))
        return nullptr;
    if (encoding == kCFStringEncodingUTF8)
        return CreateFromUTF8(bytes, numBytes);
    if (encoding == kCFStringEncodingUTF32LE)
        return CreateFromUTF32LE(bytes, numBytes);
    return nullptr;
}

CFStringRef CFStringCreateWithCString(const void* allocator, const char* text, CFStringEncoding encoding)
{
    if (!text)
        return nullptr;
    return CFStringCreateWithBytes(allocator, reinterpret_cast<const uint8_t*>(text),
                                   static_cast<CFIndex>(strlen(text)), encoding, false);
}

CFIndex CFStringGetLength(CFStringRef string)
{
    return string ? static_cast<CFIndex>(string->units.size()) : 0;
}

void CFStringGetCharacters(CFStringRef string, CFRange range, UniChar* buffer)
{
    if (!string || !buffer)
        return;
    const CFRange clipped = ClipRange(string, range);
    if (clipped.length > 0)
        std::memcpy(buffer, string->units.data() + clipped.location, sizeof(UniChar) * clipped.length);
}

CFIndex CFStringGetBytes(CFStringRef string, CFRange range, CFStringEncoding encoding, uint8_t lossByte, bool,
                         uint8_t* buffer, CFIndex maxBufLen, CFIndex* usedBufLen)
{
    CFIndex used = 0;
    CFIndex index = 0;
    if (string) {
        const CFRange clipped = ClipRange(string, range);
        const UniChar* units = string->units.data() + clipped.location;
        while (index < clipped.length) {
            CFIndex next = index;
            UChar32 c;
            U16_NEXT(units, next, clipped.length, c);
            // A lone surrogate has no encoding: it becomes the loss byte, or ends the export.
            if (U_IS_SURROGATE(c)) {
                if (lossByte == 0)
                    break;
                c = lossByte;
            }
            const CFIndex room = buffer ? maxBufLen - used : 0;
            const CFIndex size = EncodeChar(c, encoding, buffer ? buffer + used : nullptr, room);
            if (size == 0 || (buffer && size > room))
                break;
            used += size;
            index = next;
        }
    }
    if (usedBufLen)
        *usedBufLen = used;
    return index;
}

bool CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize, CFStringEncoding encoding)
{
    if (!string || !buffer || bufferSize < 1)
        return false;
    const CFIndex length = CFStringGetLength(string);
    CFIndex used = 0;
    const CFIndex converted = CFStringGetBytes(string, CFRange{0, length}, encoding, 0, false,
                                               reinterpret_cast<uint8_t*>(buffer), bufferSize - 1, &used);
    if (converted != length)
        return false;
    buffer[used] = '\0';
    return true;
}

CFTypeRef CFRetain(CFTypeRef object)
{
    if (object)
        ++static_cast<__CFString*>(const_cast<void*>(object))->refCount;
    return object;
}

void CFRelease(CFTypeRef object)
{
    auto* string = static_cast<__CFString*>(const_cast<void*>(object));
    if (string && --string->refCount == 0)
        delete string;
}
