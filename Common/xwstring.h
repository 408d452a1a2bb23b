// The core's string type: every text is held twice, as owned UTF-8 and as owned UTF-32 (wchar_t),
// or not at all. Both forms are rebuilt together on every change.
#pragma once

#include <cstddef>

class xwstring {
public:
    xwstring();
    xwstring(const char* text, int length = -1);
    xwstring(const wchar_t* text, int length = -1);
    xwstring(const xwstring& other, int length = -1);
    xwstring(xwstring&& other) noexcept;
    virtual ~xwstring();

    xwstring& operator=(const xwstring&) = delete;
    xwstring& operator=(const char* text);
    xwstring& operator=(const wchar_t* text);

    virtual void Copy(const char* text, int length);
    virtual void Copy(const wchar_t* text, int length);

    operator char*() { return mNarrow; }
    operator const char*() const { return mNarrow; }
    operator wchar_t*() { return mWide; }
    operator const wchar_t*() const { return mWide; }

    // Bytes of the narrow form, else code units of the wide form, else -1 (no value).
    int length() const;
    void Clear();

    static void ClearMemory(void* buffer, long size);
    // UTF-8 to UTF-32: returns the number of characters written plus 1.
    static int ConvertToUnicode(const char* source, long sourceLength, wchar_t* output, long outputLimit);
    // UTF-32 to UTF-8: returns the bytes written (or, with a null output and limit 0, needed) plus 1.
    static int ConvertFromUnicode(const wchar_t* source, long sourceLength, char* output, long outputLimit);

private:
    void Allocate(size_t narrowSize, size_t wideSize);

    char* mNarrow;
    wchar_t* mWide;
};
