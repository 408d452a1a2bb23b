#include "EncodingConversions.h"
#include "unistring.h"

#include <gtest/gtest.h>

namespace {
std::wstring Units(std::initializer_list<wchar_t> units) { return std::wstring(units); }
}  // namespace

// Each case sits on one side of a boundary of the single-byte range (U+00FF/U+0100) or of the
// signed comparison behind it.
TEST(SingleByte, ByteRangeBoundaries)
{
    const struct {
        std::wstring wide;
        std::string bytes;
        bool fitted;
    } narrowed[] = {
        {L"\u00E9", "\xE9", true}, {L"\u00FF", "\xFF", true}, {L"\u0100", "?", false}, {L"a\u20ACb", "a?b", false},
        {L"\u007F\u0080", "\x7F\x80", true}, {Units({wchar_t(-1)}), "\xFF", true},  // negative counts as small
        {L"", "", true},
    };
    for (const auto& c : narrowed) {
        std::string out = "stale";
        EXPECT_EQ(c.fitted, ConvertUNICODEtoANSI(c.wide.c_str(), out)) << c.bytes;
        EXPECT_EQ(c.bytes, out);
        out = "stale";
        EXPECT_EQ(c.fitted, ConvertUNICODEtoMacRoman(c.wide.c_str(), out, 'x')) << c.bytes;
        EXPECT_EQ(c.bytes, out);
    }

    const struct {
        const char* bytes;
        std::wstring wide;
        std::string utf8;
    } widened[] = {{"\x7F", L"\u007F", "\x7F"}, {"\x80", L"\u0080", "\xC2\x80"}, {"\xE9", L"\u00E9", "\xC3\xA9"},
                   {"\xFF", L"\u00FF", "\xC3\xBF"}};
    for (const auto& c : widened) {
        std::wstring wide = L"stale";
        ConvertANSItoUNICODE(c.bytes, wide);
        EXPECT_EQ(c.wide, wide) << c.utf8;
        wide = L"stale";
        ConvertMacRomantoUNICODE(c.bytes, wide);
        EXPECT_EQ(c.wide, wide) << c.utf8;
        std::string utf8 = "stale";
        ConvertANSItoUTF8(c.bytes, utf8);
        EXPECT_EQ(c.utf8, utf8);
        std::string back = "stale";
        ConvertUTF8toANSI(c.utf8.c_str(), back);
        EXPECT_EQ(std::string(c.bytes), back);
    }
    std::string out;
    ConvertUTF8toANSI("caf\xC3\xA9 \xC4\x80\xE2\x82\xAC", out);
    EXPECT_EQ("caf\xE9 ??", out);
}

// The UTF-8 encoder writes the BMP in at most three bytes, keeps only the low 16 bits of larger
// values, and composes what it encodes. Each case sits on one side of a length boundary.
TEST(Utf8Coder, EncodesAtEachLengthBoundaryAndComposesValidText)
{
    const struct {
        std::wstring wide;
        std::string utf8;
    } cases[] = {
        {L"\u007F", "\x7F"},           {L"\u0080", "\xC2\x80"},         {L"\u07FF", "\xDF\xBF"},
        {L"\u0800", "\xE0\xA0\x80"},   {L"\uFFFF", "\xEF\xBF\xBF"},     {L"\U00010000", "\xE0\x80\x80"},
        {L"\U0010FFFF", "\xEF\xBF\xBF"}, {Units({0x110000}), "\xE0\x80\x80"}, {Units({0xD800}), "\xED\xA0\x80"},
        {Units({0xDFFF}), "\xED\xBF\xBF"}, {Units({wchar_t(-1)}), "\xFF"},  {L"", ""},
        {L"\u00E9\u20AC", "\xC3\xA9\xE2\x82\xAC"}, {L"e\u0301\U0001F600", "\xC3\xA9\xEF\x98\x80"},
    };
    for (const auto& c : cases) {
        std::string utf8 = "stale";
        EXPECT_TRUE(ConvertUNICODEtoUTF8(c.wide.c_str(), utf8));
        EXPECT_EQ(c.utf8, utf8) << std::hex << (c.wide.empty() ? 0 : c.wide[0]);
    }
    EXPECT_EQ(std::wstring(L"\u00E9\uF600"), ComposeUnicodeW(L"e\u0301\U0001F600"));
    EXPECT_STREQ("\xC3\xA9", unicode_to_UTF8(L"e\u0301").get_string());  // the scoped converter
    EXPECT_STREQ("", unicode_to_UTF8(nullptr).get_string());

    // Composition leaves text that is not UTF-8 alone, and composes long text to its end.
    const std::string invalid = "e\xCC\x81\xFF";
    EXPECT_EQ(invalid, ComposeUTF8(invalid));
    std::string longDecomposed;
    for (int i = 0; i < 1500; ++i)
        longDecomposed += "e\xCC\x81";
    const std::string composed = ComposeUTF8(longDecomposed);
    ASSERT_EQ(3000u, composed.size());
    EXPECT_EQ("\xC3\xA9", composed.substr(2998));
}

// Decoding stops at the first bad byte and keeps what came before it. The lead byte decides the
// length (0xC0 and 0xE0 start the two- and three-byte forms), a following byte needs only its top
// bit, and a four-byte lead is taken as a three-byte one whose fourth byte then ends the walk.
TEST(Utf8Coder, DecodesAtEachLeadBoundaryAndStopsAtTheFirstBadByte)
{
    const struct {
        const char* utf8;
        std::wstring wide;
        bool ok;
    } cases[] = {
        {"\x7F", L"\u007F", true},          {"\x80", L"", false},
        {"a\xBF", L"a", false},              {"\xC0\xBF", L"?", true},  // overlong forms are taken as they come
        {"\xC1\xBF", L"\u007F", true},      {"\xC2\x80", L"\u0080", true},
        {"\xDF\xBF", L"\u07FF", true},      {"\xE0\xA0\x80", L"\u0800", true},
        {"\xEF\xBF\xBF", L"\uFFFF", true},  {"\xED\xA0\x80", Units({0xD800}), true},
        {"\xFF\xBF\xBF", L"\uFFFF", true},  {"\xF0\x90\x80\x80", L"\u0400", false},
        {"\xF4\x8F\xBF\xBF", L"\u43FF", false}, {"\xC3\xC0", L"\u00C0", true},
        {"\xC3\x7F", L"", false},          {"\xE2\x82\x7F", L"", false},
        {"ab\xC3", L"ab", false},           {"x\xE2\x82", L"x", false},
        {"x\xE2\x82\xAC", L"x\u20AC", true}, {"abc\x80xyz", L"abc", false},
        {"a\xC3z", L"a", false},            {"", L"", true},
    };
    for (const auto& c : cases) {
        std::wstring wide = L"stale";
        EXPECT_EQ(c.ok, ConvertUTF8toUNICODE(c.utf8, wide)) << c.utf8;
        EXPECT_EQ(c.wide, wide) << c.utf8;
    }
    EXPECT_STREQ(L"ab", UTF8_to_unicode("ab\xBF" "cd").get_string());  // the scoped converter
    EXPECT_STREQ(L"", UTF8_to_unicode(nullptr).get_string());
}
