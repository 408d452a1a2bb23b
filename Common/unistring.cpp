// unistring over the CFString stand-in, and the scoped UTF-8 converters.
#include "unistring.h"

#include "EncodingConversions.h"

#include <cstdint>
#include <cwchar>

static_assert(sizeof(wchar_t) == 4, "wide text is UTF-32");

void unistring::AssignWString(std::wstring& text)
{
    AssignWCharPtr(text.c_str());
}

void unistring::AssignWCharPtr(const wchar_t* text)
{
    clear();
    if (!text)
        return;
    // The stand-in reads UTF-32 little-endian, the layout of wchar_t on the hosts we build for.
    const auto byteCount = static_cast<CFIndex>(wcslen(text) * sizeof(wchar_t));
    CFStringRef string =
        CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(text), byteCount, kCFStringEncodingUTF32LE, false);
    AssignCFString(string);
    if (string)
        CFRelease(string);
}

void unistring::AssignCFString(CFStringRef string)
{
    const CFIndex length = CFStringGetLength(string);
    assign(static_cast<size_t>(length), ' ');
    CFStringGetCharacters(string, CFRange{0, length}, reinterpret_cast<UniChar*>(&(*this)[0]));
}

void unistring::MakeCFString(CFStringRef& string) const
{
    string = CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(data()),
                                          static_cast<CFIndex>(size()));
}

void unistring::MakeWString(std::wstring& text) const
{
    CFStringRef string = nullptr;
    MakeCFString(string);
    const CFIndex length = CFStringGetLength(string);
    text.assign(static_cast<size_t>(length), L' ');
    CFIndex usedBytes = 0;
    CFStringGetBytes(string, CFRange{0, length}, kCFStringEncodingUTF32LE, 0, false,
                     reinterpret_cast<uint8_t*>(&text[0]), static_cast<CFIndex>(text.size() * sizeof(wchar_t)),
                     &usedBytes);
    text.resize(static_cast<size_t>(usedBytes) / sizeof(wchar_t));
    if (string)
        CFRelease(string);
}

unicode_to_UTF8::unicode_to_UTF8(const wchar_t* text)
{
    ConvertUNICODEtoUTF8(text, mText);
}

UTF8_to_unicode::UTF8_to_unicode(const char* text)
{
    ConvertUTF8toUNICODE(text, mText);
}
