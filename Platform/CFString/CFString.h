// Stand-in for the small part of CoreFoundation's string and object API that the client uses:
// immutable strings of UTF-16 code units, reference counted, released with CFRelease.
#pragma once

#include <cstdint>

typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
typedef long CFIndex;
typedef uint16_t UniChar;
typedef uint32_t CFStringEncoding;

struct CFRange {
    CFIndex location;
    CFIndex length;
};

enum : CFStringEncoding {
    kCFStringEncodingUTF8 = 0x08000100,
    kCFStringEncodingUTF32LE = 0x1C000100,
};

// Creation; every created string is owned by the caller. Text that is not well-formed in the given
// encoding yields null.
CFStringRef CFStringCreateWithCharacters(const void* allocator, const UniChar* chars, CFIndex numChars);
CFStringRef CFStringCreateWithBytes(const void* allocator, const uint8_t* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, bool isExternalRepresentation);
CFStringRef CFStringCreateWithCString(const void* allocator, const char* text, CFStringEncoding encoding);

// Length in UTF-16 code units, and a copy of a range of them.
CFIndex CFStringGetLength(CFStringRef string);
void CFStringGetCharacters(CFStringRef string, CFRange range, UniChar* buffer);

// Export of a range in an encoding; returns the number of characters converted and, through
// usedBufLen, the bytes written (or needed, when buffer is null).
CFIndex CFStringGetBytes(CFStringRef string, CFRange range, CFStringEncoding encoding, uint8_t lossByte,
                         bool isExternalRepresentation, uint8_t* buffer, CFIndex maxBufLen, CFIndex* usedBufLen);
// NUL-terminated export; false when the text and its NUL do not fit.
bool CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);

CFTypeRef CFRetain(CFTypeRef object);
void CFRelease(CFTypeRef object);
