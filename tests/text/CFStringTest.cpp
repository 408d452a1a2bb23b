#include "Platform/CFString/CFString.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {
CFStringRef FromUTF8(const char* bytes)
{
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(bytes), CFIndex(strlen(bytes)),
                                   kCFStringEncodingUTF8, false);
}
}  // namespace

TEST(CFString, RefusesIllFormedInput)
{
    for (const char* bad : {"ab\x80", "\xC3", "\xED\xA0\x80" /* encoded surrogate */})
        EXPECT_EQ(nullptr, FromUTF8(bad));
    const uint8_t surrogate[] = {0x00, 0xD8, 0, 0}, tooLarge[] = {0x00, 0x00, 0x11, 0};
    EXPECT_EQ(nullptr, CFStringCreateWithBytes(nullptr, surrogate, 4, kCFStringEncodingUTF32LE, false));
    EXPECT_EQ(nullptr, CFStringCreateWithBytes(nullptr, tooLarge, 4, kCFStringEncodingUTF32LE, false));
    EXPECT_EQ(nullptr, CFStringCreateWithBytes(nullptr, tooLarge, 3, kCFStringEncodingUTF32LE, false));
    EXPECT_EQ(nullptr, CFStringCreateWithBytes(nullptr, tooLarge, 4, 0x0600, false));
    EXPECT_EQ(nullptr, CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8));
}

TEST(CFString, ExportsStopWhereTheBufferIsFullOrAtALoneSurrogate)
{
    CFStringRef string = FromUTF8("a\xC3\xA9\xF0\x9F\x98\x80");
    ASSERT_NE(nullptr, string);

    CFIndex used = -1;
    EXPECT_EQ(4, CFStringGetBytes(string, CFRange{0, 4}, kCFStringEncodingUTF8, 0, false, nullptr, 0, &used));
    EXPECT_EQ(7, used);
    uint8_t buffer[8] = {};
    // The four-byte character does not fit in six bytes, so only its two predecessors are converted.
    EXPECT_EQ(2, CFStringGetBytes(string, CFRange{0, 4}, kCFStringEncodingUTF8, 0, false, buffer, 6, &used));
    EXPECT_EQ(3, used);

    char text[8];
    EXPECT_FALSE(CFStringGetCString(string, text, 7, kCFStringEncodingUTF8));
    EXPECT_TRUE(CFStringGetCString(string, text, 8, kCFStringEncodingUTF8));
    EXPECT_STREQ("a\xC3\xA9\xF0\x9F\x98\x80", text);

    UniChar units[3] = {0, 0, 'b'};
    CFStringGetCharacters(string, CFRange{2, 5}, units);  // clipped to the string's end
    EXPECT_EQ(0xD83D, units[0]);
    EXPECT_EQ(0xDE00, units[1]);
    EXPECT_EQ('b', units[2]);

    EXPECT_EQ(string, CFRetain(string));
    CFRelease(string);
    EXPECT_EQ(4, CFStringGetLength(string));
    CFRelease(string);

    const UniChar lone[] = {'a', 0xDC00, 'b'};
    string = CFStringCreateWithCharacters(nullptr, lone, 3);
    EXPECT_EQ(1, CFStringGetBytes(string, CFRange{0, 3}, kCFStringEncodingUTF8, 0, false, buffer, 4, &used));
    EXPECT_EQ(1, used);
    EXPECT_EQ(3, CFStringGetBytes(string, CFRange{0, 3}, kCFStringEncodingUTF8, '?', false, buffer, 4, &used));
    EXPECT_EQ(0, memcmp("a?b", buffer, 3));
    CFRelease(string);
}
