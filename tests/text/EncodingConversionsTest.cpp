#include "EncodingConversions.h"

#include <gtest/gtest.h>

TEST(SingleByte, SubstitutesQuestionMarkAboveByteRange)
{
    std::string out = "stale";
    EXPECT_TRUE(ConvertUNICODEtoANSI(L"\u00E9", out));
    EXPECT_EQ("\xE9", out);
    EXPECT_FALSE(ConvertUNICODEtoMacRoman(L"a\u20ACb", out, 'x'));
    EXPECT_EQ("a?b", out);

    std::wstring wide;
    ConvertANSItoUNICODE("\xFF\x80", wide);
    EXPECT_EQ(std::wstring(L"\u00FF\u0080"), wide);

    ConvertUTF8toANSI("caf\xC3\xA9 \xE2\x82\xAC", out);
    EXPECT_EQ("caf\xE9 ?", out);
    ConvertANSItoUTF8("\xE9", out);
    EXPECT_EQ("\xC3\xA9", out);
}

// The UTF-8 coder handles the BMP only and composes what it encodes; decoding stops at the first
// bad byte, keeping what came before it.
TEST(Utf8Coder, ThreeByteMaximumCompositionAndFirstBadByte)
{
    std::string utf8 = "stale";
    EXPECT_TRUE(ConvertUNICODEtoUTF8(L"\u007F\u00E9\u0800\u20AC", utf8));
    EXPECT_EQ("\x7F\xC3\xA9\xE0\xA0\x80\xE2\x82\xAC", utf8);
    ConvertUNICODEtoUTF8(L"e\u0301\U0001F600", utf8);  // U+1F600 keeps only its low 16 bits
    EXPECT_EQ("\xC3\xA9\xEF\x98\x80", utf8);
    EXPECT_EQ(std::wstring(L"\u00E9\uF600"), ComposeUnicodeW(L"e\u0301\U0001F600"));

    const auto decoded = [](const char* bytes, bool ok) {
        std::wstring wide = L"stale";
        EXPECT_EQ(ok, ConvertUTF8toUNICODE(bytes, wide)) << bytes;
        return wide;
    };
    EXPECT_EQ(std::wstring(L"\u00E9\u20AC"), decoded("\xC3\xA9\xE2\x82\xAC", true));
    EXPECT_EQ(std::wstring(), decoded("", true));
    EXPECT_EQ(std::wstring(L"abc"), decoded("abc\x80xyz", false));
    EXPECT_EQ(std::wstring(L"ab"), decoded("ab\xC3", false));
    EXPECT_EQ(std::wstring(L"a"), decoded("a\xC3z", false));
    // A four-byte lead is taken as a three-byte one; its fourth byte then ends the walk.
    EXPECT_EQ(std::wstring(1, wchar_t(0x07D8)), decoded("\xF0\x9F\x98\x80", false));
}

TEST(ComposeUTF8, ComposesValidTextAndLeavesTheRestAlone)
{
    EXPECT_EQ("\xC3\xA9", ComposeUTF8("e\xCC\x81"));
    const std::string invalid = "e\xCC\x81\xFF";
    EXPECT_EQ(invalid, ComposeUTF8(invalid));

    std::string longDecomposed;
    for (int i = 0; i < 1500; ++i)
        longDecomposed += "e\xCC\x81";
    const std::string composed = ComposeUTF8(longDecomposed);
    ASSERT_EQ(3000u, composed.size());
    EXPECT_EQ("\xC3\xA9", composed.substr(2998));
}
