// Text in 16-bit code units (UTF-16) with bridges to wide text and to platform strings, and
// scoped converters between wide text and UTF-8 that hold their result while they live.
#pragma once

#include "Platform/CFString/CFString.h"

#include <string>

class unistring : public std::basic_string<unsigned short> {
public:
    using std::basic_string<unsigned short>::basic_string;

    void AssignWString(std::wstring& text);
    // Wide text that is not valid UTF-32 (a surrogate, a value above 0x10FFFF) leaves the string empty.
    void AssignWCharPtr(const wchar_t* text);
    // Borrows the platform string; a null one leaves the string empty.
    void AssignCFString(CFStringRef string);
    // The created string belongs to the caller, who releases it.
    void MakeCFString(CFStringRef& string) const;
    // Ends the text at the first lone surrogate, which UTF-32 cannot hold.
    void MakeWString(std::wstring& text) const;
};

// Wide text to composed UTF-8, through the BMP-only coder of EncodingConversions.
class unicode_to_UTF8 {
public:
    explicit unicode_to_UTF8(const wchar_t* text);
    const char* get_string() const { return mText.c_str(); }

private:
    std::string mText;
};

// UTF-8 to wide text; malformed input keeps the text decoded before the fault.
class UTF8_to_unicode {
public:
    explicit UTF8_to_unicode(const char* text);
    const wchar_t* get_string() const { return mText.c_str(); }

private:
    std::wstring mText;
};
