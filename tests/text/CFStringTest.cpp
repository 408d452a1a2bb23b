#include "Platform/CFString/CFString.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {
CFStringRef FromUTF8(const char* bytes)
{
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(bytes), CFIndex(strlen(bytes)),
                                   kCFStringEncodingUTF8, false);
}

CFStringRef FromUTF32(char32_t c)
{
    const uint8_t bytes[] = {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), uint8_t(c >> 24)};
    return CFStringCreateWithBytes(nullptr, bytes, 4, kCFStringEncodingUTF32LE, false);
}
}  // namespace

// Input on the far side of the last boundaries is refused. Each code point that converts sits on
// one side of a boundary of UTF-8 length or of UTF-16 length; an export with exactly the room the
// character needs converts it, and one byte less converts nothing.
TEST(CFString, CodePointsAtEachBoundaryConvertAndIllFormedInputIsRefused)
{
    // Surrogates, values past U+10FFFF and overlong forms, next to their well-formed neighbours.
    for (const char* bad : {"ab\x80", "\xC3", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xC0\x80",
                            "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF"})
        EXPECT_EQ(nullptr, FromUTF8(bad)) << bad;
    for (const char32_t bad : {char32_t(0xD800), char32_t(0xDFFF), char32_t(0x110000), char32_t(0xFFFFFFFF)})
        EXPECT_EQ(nullptr, FromUTF32(bad)) << std::hex << bad;
    const uint8_t tooLarge[] = {0x00, 0x00, 0x11, 0};
    EXPECT_EQ(nullptr, CFStringCreateWithBytes(nullptr, tooLarge, 3, kCFStringEncodingUTF32LE, false));
    EXPECT_EQ(nullptr, CFStringCreateWithBytes(nullptr, tooLarge, 4, 0x0600, false));
    EXPECT_EQ(nullptr, CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8));

    const struct {
        char32_t c;
        const char* utf8;
        CFIndex units;
    } cases[] = {{0x7F, "\x7F", 1},           {0x80, "\xC2\x80", 1},        {0x7FF, "\xDF\xBF", 1},
                 {0x800, "\xE0\xA0\x80", 1},   {0xD7FF, "\xED\x9F\xBF", 1}, {0xE000, "\xEE\x80\x80", 1},
                 {0xFFFF, "\xEF\xBF\xBF", 1},  {0x10000, "\xF0\x90\x80\x80", 2},
                 {0x10FFFF, "\xF4\x8F\xBF\xBF", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.c);
        CFStringRef string = FromUTF32(c.c);
        ASSERT_NE(nullptr, string);
        EXPECT_EQ(c.units, CFStringGetLength(string));
        const CFIndex size = CFIndex(strlen(c.utf8));
        uint8_t out[8] = {};
        CFIndex used = -1;
        EXPECT_EQ(c.units, CFStringGetBytes(string, CFRange{0, c.units}, kCFStringEncodingUTF8, 0, false, out, size, &used));
        EXPECT_EQ(size, used);
        EXPECT_EQ(0, memcmp(c.utf8, out, size_t(size)));
        EXPECT_EQ(0, CFStringGetBytes(string, CFRange{0, c.units}, kCFStringEncodingUTF8, 0, false, out, size - 1, &used));
        CFRelease(string);

        string = FromUTF8(c.utf8);
        ASSERT_NE(nullptr, string);
        EXPECT_EQ(c.units, CFStringGetBytes(string, CFRange{0, c.units}, kCFStringEncodingUTF32LE, 0, false, out, 4, &used));
        EXPECT_EQ(c.c, char32_t(out[0] | out[1] << 8 | out[2] << 16 | uint32_t(out[3]) << 24));
        CFRelease(string);
    }
}

TEST(CFString, ExportsStopWhereTheBufferIsFullAndMarkALoneSurrogate)
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

    // A lone surrogate becomes the loss byte; without one it ends the export (see the unistring tests).
    const UniChar lone[] = {'a', 0xDC00, 'b'};
    string = CFStringCreateWithCharacters(nullptr, lone, 3);
    EXPECT_EQ(3, CFStringGetBytes(string, CFRange{0, 3}, kCFStringEncodingUTF8, '?', false, buffer, 4, &used));
    EXPECT_EQ(0, memcmp("a?b", buffer, 3));
    CFRelease(string);
}
