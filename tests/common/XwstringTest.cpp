#include "xwstring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>

TEST(Xwstring, NoValueEmptyAndTextAreDistinct)
{
    xwstring none, fromNull(static_cast<const char*>(nullptr)), copyOfNone(none), reset("abc");
    reset = static_cast<const char*>(nullptr);
    xwstring* absent[] = {&none, &fromNull, &copyOfNone, &reset};
    for (size_t i = 0; i < 4; ++i) {
        xwstring& text = *absent[i];
        EXPECT_EQ(static_cast<const char*>(text), nullptr) << i;
        EXPECT_EQ(static_cast<wchar_t*>(text), nullptr) << i;
        EXPECT_EQ(text.length(), -1) << i;
    }

    xwstring empty("");
    ASSERT_NE(static_cast<const char*>(empty), nullptr);
    ASSERT_NE(static_cast<wchar_t*>(empty), nullptr);
    EXPECT_EQ(empty.length(), 0);
}

// Both forms hold the same text; length() counts bytes of the narrow form. Limits count bytes for
// narrow text and characters for wide text.
TEST(Xwstring, BothFormsHoldTheSameText)
{
    const wchar_t grinning[] = {0x1F600, 0}, mixed[] = {L'a', 0x00E9, 0x1F600, L'z', 0};
    const struct {
        xwstring text;
        std::string narrow;
        std::wstring wide;
    } cases[] = {
        {xwstring("\xC3\xA9"), "\xC3\xA9", L"\u00E9"},
        {xwstring(grinning), "\xF0\x9F\x98\x80", grinning},
        {xwstring("abcdef", 3), "abc", L"abc"},
        {xwstring(mixed, 3), "a\xC3\xA9\xF0\x9F\x98\x80", std::wstring(mixed, 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<const char*>(c.text), c.narrow);
        EXPECT_EQ(static_cast<const wchar_t*>(c.text), c.wide) << c.narrow;
        EXPECT_EQ(c.text.length(), static_cast<int>(c.narrow.size())) << c.narrow;
    }
}

TEST(Xwstring, CopiesOwnTheirBuffers)
{
    auto* source = new xwstring("/Users/\xC3\xA9t\xC3\xA9/file.txt");
    xwstring copy(*source);
    EXPECT_NE(static_cast<const char*>(copy), static_cast<const char*>(*source));
    delete source;
    EXPECT_STREQ(static_cast<const char*>(copy), "/Users/\xC3\xA9t\xC3\xA9/file.txt");
    EXPECT_EQ(std::wcslen(copy), 19u);

    xwstring limitedCopy(copy, 3), emptyCopy(copy, 0);
    EXPECT_STREQ(static_cast<const char*>(limitedCopy), "/Us");
    EXPECT_STREQ(static_cast<const char*>(emptyCopy), "");
}

TEST(Xwstring, MalformedTextNeverFails)
{
    // Ill-formed UTF-8 decodes to U+FFFD; the narrow form keeps the bytes as given.
    xwstring stray("ab\x80z");
    EXPECT_STREQ(static_cast<const char*>(stray), "ab\x80z");
    EXPECT_STREQ(static_cast<wchar_t*>(stray), L"ab\uFFFDz");
    xwstring cutInside("\xC3\xA9\xC3", -1);
    EXPECT_EQ(static_cast<wchar_t*>(cutInside)[1], L'\uFFFD');

    const wchar_t bad[] = {L'a', 0xD800, 0x110000, 0};
    xwstring wide(bad);
    EXPECT_STREQ(static_cast<const char*>(wide), "a\xEF\xBF\xBD\xEF\xBF\xBD");

    wchar_t out[8] = {};
    EXPECT_EQ(xwstring::ConvertToUnicode("\xC3\xA9xyz", -1, out, 2), 3);  // stops at the limit
    EXPECT_STREQ(out, L"\u00E9x");
}
