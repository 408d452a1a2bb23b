// Cutting UTF-8 text at a byte limit without leaving half a character at the end.
#pragma once

#include <cstddef>

// The length of the longest prefix of text[0..length) that does not end inside a multi-byte
// sequence: a lead byte whose sequence is cut short is dropped with its continuation bytes.
inline size_t CompleteUTF8PrefixLength(const char* text, size_t length)
{
    size_t start = length;
    size_t continuations = 0;
    while (start > 0 && continuations < 3 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
        --start;
        ++continuations;
    }
    if (start == 0)
        return length;
    const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    size_t needed = 0;
    if ((lead & 0xE0) == 0xC0)
        needed = 1;
    else if ((lead & 0xF0) == 0xE0)
        needed = 2;
    else if ((lead & 0xF8) == 0xF0)
        needed = 3;
    else
        return length;  // ASCII or a stray byte: nothing was cut.
    return continuations < needed ? start - 1 : length;
}
