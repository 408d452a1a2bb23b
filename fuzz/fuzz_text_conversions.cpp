// The narrow/wide conversions. The first byte picks what the rest of the input is read as:
//   0  UTF-8 bytes for xwstring: valid UTF-8 survives narrow -> wide -> narrow byte for byte, and
//      any bytes give a narrow form that is valid UTF-8 once they have passed the wide form;
//   1  wide units (4 bytes each) for xwstring: any units give valid UTF-8, and Unicode scalar
//      values survive wide -> narrow -> wide;
//   2  UTF-8 bytes for the BMP coder: composed BMP text survives decode and encode byte for byte,
//      and single-byte text survives single-byte -> UTF-8 -> single-byte;
//   3  wide units for the BMP coder and unistring: units of the BMP that are no surrogates give
//      valid UTF-8; scalar values survive unistring's UTF-16 form.
#include "FuzzSupport.h"

#include "Common/EncodingConversions.h"
#include "Common/unistring.h"
#include "Common/xwstring.h"

#include <unicode/normalizer2.h>

#include <cstring>
#include <cwchar>

namespace {
std::wstring WideUnits(const uint8_t* data, size_t size)
{
    std::wstring units;
    for (size_t i = 0; i + sizeof(wchar_t) <= size; i += sizeof(wchar_t)) {
        wchar_t unit;
        memcpy(&unit, data + i, sizeof unit);
        if (unit == 0)
            break;
        units += unit;
    }
    return units;
}

bool IsScalarValue(wchar_t unit)
{
    const auto value = static_cast<int32_t>(unit);
    return value > 0 && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
}

bool IsComposed(const std::string& text)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    return U_SUCCESS(status) && nfc->isNormalizedUTF8(text, status) && U_SUCCESS(status);
}

void CheckXwstringNarrow(const std::string& bytes)
{
    const xwstring narrow(bytes.c_str());
    FUZZ_CHECK(strcmp(static_cast<const char*>(narrow), bytes.c_str()) == 0);
    const xwstring rebuilt(static_cast<const wchar_t*>(narrow));
    const std::string again = static_cast<const char*>(rebuilt);
    FUZZ_CHECK(IsValidUtf8(again));
    if (IsValidUtf8(bytes))
        FUZZ_CHECK(again == bytes);
    // A copy keeps both forms as they are.
    const xwstring copy(narrow);
    FUZZ_CHECK(strcmp(static_cast<const char*>(copy), bytes.c_str()) == 0);
    FUZZ_CHECK(wcscmp(static_cast<const wchar_t*>(copy), static_cast<const wchar_t*>(narrow)) == 0);
}

void CheckXwstringWide(const std::wstring& units)
{
    const xwstring wide(units.c_str());
    FUZZ_CHECK(wcscmp(static_cast<const wchar_t*>(wide), units.c_str()) == 0);
    const std::string narrow = static_cast<const char*>(wide);
    FUZZ_CHECK(IsValidUtf8(narrow));
    const xwstring decoded(narrow.c_str());
    bool scalars = true;
    for (const wchar_t unit : units)
        scalars = scalars && IsScalarValue(unit);
    if (scalars)
        FUZZ_CHECK(wcscmp(static_cast<const wchar_t*>(decoded), units.c_str()) == 0);
}

void CheckBmpCoder(const std::string& bytes)
{
    std::wstring wide;
    const bool decoded = ConvertUTF8toUNICODE(bytes.c_str(), wide);
    const bool bmpOnly = bytes.find_first_of("\xF0\xF1\xF2\xF3\xF4") == std::string::npos;
    if (IsValidUtf8(bytes) && bmpOnly) {
        FUZZ_CHECK(decoded);
        if (IsComposed(bytes)) {
            std::string encoded;
            ConvertUNICODEtoUTF8(wide.c_str(), encoded);
            FUZZ_CHECK(encoded == bytes);
        }
    }
    std::string utf8;
    ConvertANSItoUTF8(bytes.c_str(), utf8);
    FUZZ_CHECK(IsValidUtf8(utf8));
    std::string single;
    ConvertUTF8toANSI(utf8.c_str(), single);
    FUZZ_CHECK(single == bytes);
}

void CheckWideCoders(const std::wstring& units)
{
    bool bmp = true;
    bool scalars = true;
    for (const wchar_t unit : units) {
        bmp = bmp && IsScalarValue(unit) && unit <= 0xFFFF;
        scalars = scalars && IsScalarValue(unit);
    }
    std::string utf8;
    ConvertUNICODEtoUTF8(units.c_str(), utf8);
    if (bmp)
        FUZZ_CHECK(IsValidUtf8(utf8));
    ComposeUnicodeW(units);

    unistring utf16;
    utf16.AssignWCharPtr(units.c_str());
    std::wstring back;
    utf16.MakeWString(back);
    if (scalars)
        FUZZ_CHECK(back == units);
    else
        FUZZ_CHECK(utf16.empty());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string bytes(reinterpret_cast<const char*>(data + 1), strnlen(reinterpret_cast<const char*>(data + 1), size - 1));
    switch (data[0] & 3) {
    case 0:
        CheckXwstringNarrow(bytes);
        break;
    case 1:
        CheckXwstringWide(WideUnits(data + 1, size - 1));
        break;
    case 2:
        CheckBmpCoder(bytes);
        break;
    case 3:
        CheckWideCoders(WideUnits(data + 1, size - 1));
        break;
    }
    return 0;
}
