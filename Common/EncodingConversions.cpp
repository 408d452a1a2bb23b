// The hand-written single-byte and UTF-8 coders, and NFC composition through ICU.
#include "EncodingConversions.h"

#include <unicode/normalizer2.h>
#include <unicode/bytestream.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstring>

namespace {

bool IsASCII(const std::string& text)
{
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

bool IsValidUTF8(const std::string& text)
{
    if (text.size() > INT32_MAX)
        return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t offset = 0;
    while (offset < length) {
        UChar32 c;
        U8_NEXT(bytes, offset, length, c);
        if (c < 0)
            return false;
    }
    return true;
}

bool IsContinuation(unsigned char byte)
{
    return (byte & 0x80) != 0;
}

}  // namespace

bool ConvertUNICODEtoANSI(const wchar_t* input, std::string& output)
{
    output.clear();
    bool allFitted = true;
    for (const wchar_t* p = input; p && *p; ++p) {
        const auto value = static_cast<int32_t>(*p);
        if (value > 255) {
            output += '?';
            allFitted = false;
        } else {
            output += static_cast<char>(value & 0xFF);
        }
    }
    return allFitted;
}

void ConvertANSItoUNICODE(const char* input, std::wstring& output)
{
    output.clear();
    for (const char* p = input; p && *p; ++p)
        output += static_cast<wchar_t>(static_cast<unsigned char>(*p));
}

bool ConvertUNICODEtoMacRoman(const wchar_t* input, std::string& output, char)
{
    return ConvertUNICODEtoANSI(input, output);
}

void ConvertMacRomantoUNICODE(const char* input, std::wstring& output)
{
    ConvertANSItoUNICODE(input, output);
}

bool ConvertUNICODEtoUTF8(const wchar_t* input, std::string& output)
{
    output.clear();
    for (const wchar_t* p = input; p && *p; ++p) {
        // Negative values count as ASCII, and bits above 15 are dropped: the coder knows the BMP only.
        const auto value = static_cast<int32_t>(*p);
        if (value <= 0x7F) {
            output += static_cast<char>(value & 0xFF);
        } else if (value <= 0x7FF) {
            output += static_cast<char>(0xC0 + ((value >> 6) & 0x1F));
            output += static_cast<char>(0x80 + (value & 0x3F));
        } else {
            output += static_cast<char>(0xE0 + ((value >> 12) & 0x0F));
            output += static_cast<char>(0x80 + ((value >> 6) & 0x3F));
            output += static_cast<char>(0x80 + (value & 0x3F));
        }
    }
    output = ComposeUTF8(std::move(output));
    return true;
}

bool ConvertUTF8toUNICODE(const char* input, std::wstring& output)
{
    output.clear();
    if (!input)
        return true;
    const auto* bytes = reinterpret_cast<const unsigned char*>(input);
    const size_t length = strlen(input);
    size_t i = 0;
    while (i < length) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            output += static_cast<wchar_t>(lead);
            i += 1;
        } else if (lead >= 0xE0) {
            // Four-byte leads are read as three-byte leads too; their fourth byte then stops the walk.
            if (i + 2 >= length || !IsContinuation(bytes[i + 1]) || !IsContinuation(bytes[i + 2]))
                return false;
            output += static_cast<wchar_t>(((lead & 0x0F) << 12) | ((bytes[i + 1] & 0x3F) << 6) | (bytes[i + 2] & 0x3F));
            i += 3;
        } else if (lead >= 0xC0) {
            if (i + 1 >= length || !IsContinuation(bytes[i + 1]))
                return false;
            output += static_cast<wchar_t>(((lead & 0x1F) << 6) | (bytes[i + 1] & 0x3F));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

void ConvertANSItoUTF8(const char* input, std::string& output)
{
    std::wstring wide;
    ConvertANSItoUNICODE(input, wide);
    ConvertUNICODEtoUTF8(wide.c_str(), output);
}

void ConvertUTF8toANSI(const char* input, std::string& output)
{
    std::wstring wide;
    ConvertUTF8toUNICODE(input, wide);
    ConvertUNICODEtoANSI(wide.c_str(), output);
}

std::string ComposeUTF8(std::string text)
{
    // Runs once per added file name: ASCII and already-composed text leave at once.
    if (IsASCII(text) || !IsValidUTF8(text))
        return text;
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || nfc->isNormalizedUTF8(text, status) || U_FAILURE(status))
        return text;
    std::string composed;
    icu::StringByteSink<std::string> sink(&composed, static_cast<int32_t>(text.size()));
    nfc->normalizeUTF8(0, text, sink, nullptr, status);
    return U_SUCCESS(status) ? composed : text;
}

std::wstring ComposeUnicodeW(std::wstring text)
{
    std::string utf8;
    ConvertUNICODEtoUTF8(text.c_str(), utf8);
    std::wstring wide;
    ConvertUTF8toUNICODE(utf8.c_str(), wide);
    return wide.c_str();  // up to a decoded NUL (a code unit of 0x10000, or an overlong form), as ever
}

wchar_t ConvertToSpecialUnicode(wchar_t character, bool)
{
    return character;
}

wchar_t ConvertFromSpecialUnicode(wchar_t character, bool)
{
    return character;
}

std::wstring ConvertFromSpecialUnicode(std::wstring text, wchar_t)
{
    return text;
}
