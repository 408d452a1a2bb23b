#include "unistring.h"

#include <gtest/gtest.h>

// Wide text becomes UTF-16 units and back, a character beyond the BMP as a surrogate pair; what the
// platform string refuses (its boundaries are tested there) leaves the unistring empty.
TEST(Unistring, WideTextRoundTripsAndRefusedTextLeavesItEmpty)
{
    const struct {
        std::wstring wide;
        unistring units;
    } cases[] = {
        {L"a\U0001F600", {'a', 0xD83D, 0xDE00}},
        {L"", {}},
        {std::wstring{L'a', wchar_t(0xD800)}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << (c.wide.empty() ? 0 : unsigned(c.wide.back())));
        unistring units = {'x'};
        units.AssignWCharPtr(c.wide.c_str());
        EXPECT_EQ(c.units, units);
        std::wstring wide = L"stale text";
        units.MakeWString(wide);
        EXPECT_EQ(c.units.empty() ? L"" : c.wide, wide);
    }

    // A lone surrogate unit cannot become UTF-32: the wide text ends before it.
    for (const unistring& lone : {unistring{'o', 'k', 0xDC00, 'x'}, unistring{'o', 'k', 0xDBFF},
                                  unistring{'o', 'k', 0xD800, 'x'}}) {
        std::wstring wide;
        lone.MakeWString(wide);
        EXPECT_EQ(std::wstring(L"ok"), wide);
    }

    // No units still make a platform string for the caller: an empty one.
    CFStringRef string = nullptr;
    unistring().MakeCFString(string);
    ASSERT_NE(nullptr, string);
    EXPECT_EQ(0, CFStringGetLength(string));
    CFRelease(string);
}
