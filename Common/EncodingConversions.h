// Conversions between wide text (UTF-32 wchar_t), single-byte text (code point = byte value) and
// UTF-8, and composition to Unicode Normalization Form C. The UTF-8 coder covers the Basic
// Multilingual Plane only, in sequences of at most three bytes. Every converter empties its output
// first; null inputs read as empty text.
#pragma once

#include <string>

// Characters above 255 become "?"; true when none did.
bool ConvertUNICODEtoANSI(const wchar_t* input, std::string& output);
void ConvertANSItoUNICODE(const char* input, std::wstring& output);
bool ConvertUNICODEtoMacRoman(const wchar_t* input, std::string& output, char unused);
void ConvertMacRomantoUNICODE(const char* input, std::wstring& output);

// Encodes the low 16 bits of each code unit, then composes; always true.
bool ConvertUNICODEtoUTF8(const wchar_t* input, std::string& output);
// Decodes up to the first malformed byte, keeping what came before it; true when all decoded.
bool ConvertUTF8toUNICODE(const char* input, std::wstring& output);
void ConvertANSItoUTF8(const char* input, std::string& output);
void ConvertUTF8toANSI(const char* input, std::string& output);

// NFC of UTF-8 text; text that is not valid UTF-8 is returned unchanged.
std::string ComposeUTF8(std::string text);
// NFC of wide text, by way of the UTF-8 coder above (so limited to the BMP).
std::wstring ComposeUnicodeW(std::wstring text);

// No mapping is applied: the arguments other than the text are ignored.
wchar_t ConvertToSpecialUnicode(wchar_t character, bool flag);
wchar_t ConvertFromSpecialUnicode(wchar_t character, bool flag);
std::wstring ConvertFromSpecialUnicode(std::wstring text, wchar_t character);
