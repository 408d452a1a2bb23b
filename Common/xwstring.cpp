#include "xwstring.h"

#include "ListArena.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

// Malformed input never fails: an ill-formed UTF-8 sequence decodes to U+FFFD, and a wide code
// unit that is no Unicode scalar value (a surrogate, or above U+10FFFF) encodes as U+FFFD.
namespace {
const UChar32 kReplacement = 0xFFFD;

UChar32 ScalarOrReplacement(wchar_t unit)
{
    const UChar32 c = static_cast<UChar32>(unit);
    return c < 0 || c > 0x10FFFF || U_IS_SURROGATE(c) ? kReplacement : c;
}
}  // namespace

xwstring::xwstring() : mNarrow(nullptr), mWide(nullptr) {}

xwstring::xwstring(const char* text, int length) : mNarrow(nullptr), mWide(nullptr) { Copy(text, length); }

xwstring::xwstring(const wchar_t* text, int length) : mNarrow(nullptr), mWide(nullptr) { Copy(text, length); }

// A whole copy duplicates both forms as they stand: for well-formed text this equals re-encoding
// from the wide form, it costs no conversion, and it keeps the exact bytes of a malformed path.
xwstring::xwstring(const xwstring& other, int length) : mNarrow(nullptr), mWide(nullptr)
{
    if (length >= 0 || !other.mNarrow) {
        Copy(other.mWide, length);
        return;
    }
    const size_t narrowSize = std::strlen(other.mNarrow) + 1;
    const size_t wideSize = std::wcslen(other.mWide) + 1;
    Allocate(narrowSize, wideSize);
    std::memcpy(mNarrow, other.mNarrow, narrowSize);
    std::wmemcpy(mWide, other.mWide, wideSize);
}

xwstring::xwstring(xwstring&& other) noexcept : mNarrow(other.mNarrow), mWide(other.mWide)
{
    other.mNarrow = nullptr;
    other.mWide = nullptr;
}

xwstring::~xwstring() { Clear(); }

xwstring& xwstring::operator=(const char* text)
{
    Copy(text, -1);
    return *this;
}

xwstring& xwstring::operator=(const wchar_t* text)
{
    Copy(text, -1);
    return *this;
}

void xwstring::Copy(const char* text, int length)
{
    Clear();
    if (!text)
        return;
    const size_t n = std::strlen(text);
    const size_t count = length < 0 ? n : std::min(n, static_cast<size_t>(length));
    Allocate(count + 1, count + 1);
    std::memcpy(mNarrow, text, count);
    mNarrow[count] = '\0';
    const int converted = ConvertToUnicode(mNarrow, static_cast<long>(count), mWide, static_cast<long>(count + 1));
    mWide[converted - 1] = L'\0';
}

void xwstring::Copy(const wchar_t* text, int length)
{
    Clear();
    if (!text)
        return;
    const size_t n = std::wcslen(text);
    const size_t count = length < 0 ? n : std::min(n, static_cast<size_t>(length));
    size_t size = count + 1;
    const size_t needed = static_cast<size_t>(ConvertFromUnicode(text, static_cast<long>(count), nullptr, 0));
    if (needed > size)
        size = needed;
    Allocate(size, size);
    const int encoded = ConvertFromUnicode(text, static_cast<long>(count), mNarrow, static_cast<long>(size));
    mNarrow[encoded - 1] = '\0';
    std::wmemcpy(mWide, text, count);
    mWide[count] = L'\0';
}

int xwstring::length() const
{
    if (mNarrow)
        return static_cast<int>(std::strlen(mNarrow));
    if (mWide)
        return static_cast<int>(std::wcslen(mWide));
    return -1;
}

// Both forms live in one block, the wide form first for its alignment. The block is not cleared:
// every writer ends what it wrote with a terminator, and nothing reads past that.
void xwstring::Allocate(size_t narrowSize, size_t wideSize)
{
    const size_t narrowUnits = (narrowSize + sizeof(wchar_t) - 1) / sizeof(wchar_t);
    mWide = static_cast<wchar_t*>(ListArenaAllocate((wideSize + narrowUnits) * sizeof(wchar_t)));
    mNarrow = reinterpret_cast<char*>(mWide + wideSize);
}

void xwstring::Clear()
{
    ListArenaFree(mWide);
    mNarrow = nullptr;
    mWide = nullptr;
}

void xwstring::ClearMemory(void* buffer, long size) { std::memset(buffer, 0, static_cast<size_t>(size)); }

int xwstring::ConvertToUnicode(const char* source, long sourceLength, wchar_t* output, long outputLimit)
{
    if (sourceLength < 0)
        sourceLength = static_cast<long>(std::strlen(source));
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(source);
    long at = 0;
    long written = 0;
    while (at < sourceLength && written < outputLimit) {
        // Paths are mostly ASCII: a run of it needs no decoding.
        if (bytes[at] < 0x80) {
            output[written++] = static_cast<wchar_t>(bytes[at++]);
            continue;
        }
        UChar32 c;
        U8_NEXT(bytes, at, sourceLength, c);
        output[written++] = static_cast<wchar_t>(c < 0 ? kReplacement : c);
    }
    return static_cast<int>(written + 1);
}

int xwstring::ConvertFromUnicode(const wchar_t* source, long sourceLength, char* output, long outputLimit)
{
    if (sourceLength < 0)
        sourceLength = static_cast<long>(std::wcslen(source));
    const bool measuring = !output && outputLimit == 0;
    long used = 0;
    for (long i = 0; i < sourceLength; ++i) {
        if (static_cast<uint32_t>(source[i]) < 0x80) {
            if (!measuring) {
                if (used >= outputLimit)
                    break;
                output[used] = static_cast<char>(source[i]);
            }
            ++used;
            continue;
        }
        const UChar32 c = ScalarOrReplacement(source[i]);
        const long bytes = U8_LENGTH(c);
        if (measuring) {
            used += bytes;
            continue;
        }
        if (used + bytes > outputLimit)
            break;
        U8_APPEND_UNSAFE(reinterpret_cast<uint8_t*>(output), used, c);
    }
    return static_cast<int>(used + 1);
}
