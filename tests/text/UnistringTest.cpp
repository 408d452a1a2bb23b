#include "unistring.h"

#include <gtest/gtest.h>

TEST(Unistring, SupplementaryCharactersRoundTripIllFormedTextEmpties)
{
    unistring units;
    units.AssignWCharPtr(L"a\U0001F600");
    EXPECT_EQ(unistring({'a', 0xD83D, 0xDE00}), units);
    std::wstring wide = L"stale text";
    units.MakeWString(wide);
    EXPECT_EQ(std::wstring(L"a\U0001F600"), wide);

    // Filling from a platform string borrows it: the caller still owns and releases it.
    CFStringRef string = CFStringCreateWithCString(nullptr, "caf\xC3\xA9", kCFStringEncodingUTF8);
    units.AssignCFString(string);
    EXPECT_EQ(unistring({'c', 'a', 'f', 0xE9}), units);
    CFRelease(string);

    for (const wchar_t bad : {wchar_t(0xD800), wchar_t(0x110000)}) {
        const wchar_t text[] = {L'a', bad, 0};
        units = unistring({'x'});
        units.AssignWCharPtr(text);
        EXPECT_TRUE(units.empty());
    }
    string = nullptr;
    units.MakeCFString(string);
    ASSERT_NE(nullptr, string);
    EXPECT_EQ(0, CFStringGetLength(string));
    CFRelease(string);

    // A lone surrogate unit cannot become UTF-32: the wide text ends before it.
    unistring({'o', 'k', 0xDC00, 'x'}).MakeWString(wide);
    EXPECT_EQ(std::wstring(L"ok"), wide);
    units.MakeWString(wide);
    EXPECT_TRUE(wide.empty());
}

TEST(ScopedConverters, ComposeAndKeepDecodedPrefix)
{
    EXPECT_STREQ("", unicode_to_UTF8(nullptr).get_string());
    EXPECT_STREQ(L"ab", UTF8_to_unicode("ab\xBF" "cd").get_string());
    EXPECT_STREQ(L"", UTF8_to_unicode(nullptr).get_string());
}
