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

TEST(Utf8Encoder, ThreeByteMaximumAndComposition)
{
    std::string out;
    EXPECT_TRUE(ConvertUNICODEtoUTF8(L"\u007F\u00E9\u0800\u20AC", out));
    EXPECT_EQ("\x7F\xC3\xA9\xE0\xA0\x80\xE2\x82\xAC", out);
    // Above the BMP only the low 16 bits survive: U+1F600 comes out as U+F600.
    ConvertUNICODEtoUTF8(L"\U0001F600", out);
    EXPECT_EQ("\xEF\x98\x80", out);
    ConvertUNICODEtoUTF8(L"e\u0301", out);
    EXPECT_EQ("\xC3\xA9", out);
    EXPECT_TRUE(ConvertUNICODEtoUTF8(L"", out));
    EXPECT_EQ("", out);
}

TEST(Utf8Decoder, StopsAtFirstBadByteKeepingPrefix)
{
    std::wstring out;
    EXPECT_TRUE(ConvertUTF8toUNICODE("\xC3\xA9\xE2\x82\xAC", out));
    EXPECT_EQ(std::wstring(L"\u00E9\u20AC"), out);
    EXPECT_FALSE(ConvertUTF8toUNICODE("abc\x80xyz", out));
    EXPECT_EQ(std::wstring(L"abc"), out);
    EXPECT_FALSE(ConvertUTF8toUNICODE("ab\xC3", out));
    EXPECT_EQ(std::wstring(L"ab"), out);
    EXPECT_FALSE(ConvertUTF8toUNICODE("a\xC3z", out));
    EXPECT_EQ(std::wstring(L"a"), out);
    // A four-byte lead is taken as a three-byte one; its fourth byte then ends the walk.
    EXPECT_FALSE(ConvertUTF8toUNICODE("\xF0\x9F\x98\x80", out));
    EXPECT_EQ(std::wstring(1, wchar_t(0x07D8)), out);
    EXPECT_TRUE(ConvertUTF8toUNICODE("", out));
    EXPECT_TRUE(out.empty());
}

TEST(ComposeUTF8, ComposesValidTextAndLeavesTheRestAlone)
{
    EXPECT_EQ("\xC3\xA9", ComposeUTF8("e\xCC\x81"));
    EXPECT_EQ("plain", ComposeUTF8("plain"));
    EXPECT_EQ("", ComposeUTF8(""));
    const std::string invalid = "e\xCC\x81\xFF";
    EXPECT_EQ(invalid, ComposeUTF8(invalid));

    std::string longDecomposed;
    for (int i = 0; i < 1500; ++i)
        longDecomposed += "e\xCC\x81";
    const std::string composed = ComposeUTF8(longDecomposed);
    ASSERT_EQ(3000u, composed.size());
    EXPECT_EQ("\xC3\xA9", composed.substr(2998));
}

TEST(ComposeUnicodeW, ComposesThroughTheBmpCoder)
{
    EXPECT_EQ(std::wstring(L"\u00E9"), ComposeUnicodeW(L"e\u0301"));
    EXPECT_EQ(std::wstring(L"\uF600"), ComposeUnicodeW(L"\U0001F600"));
    EXPECT_EQ(std::wstring(), ComposeUnicodeW(L""));
}
