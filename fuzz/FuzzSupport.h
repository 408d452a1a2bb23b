// Shared helpers of the fuzz targets: property checks that the fuzzer reports as crashes, splitting
// one input into several texts, and a private environment so that no target reaches a real
// Assistant, the system log or a desktop entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A broken property: says which where the sanitizers report (the runs close standard error),
// then traps so that libFuzzer saves the input.
#define FUZZ_CHECK(condition)                                                            \
    do {                                                                                 \
        if (!(condition))                                                                \
            FuzzPropertyFailed(__FILE__ ":" FUZZ_LINE_TEXT(__LINE__) ": " #condition); \
    } while (0)
#define FUZZ_LINE_TEXT(line) FUZZ_LINE_TEXT2(line)
#define FUZZ_LINE_TEXT2(line) #line
[[noreturn]] void FuzzPropertyFailed(const char* what);

// The input cut at every occurrence of separator (which is not kept); always at least one part.
std::vector<std::string> SplitInput(const uint8_t* data, size_t size, char separator);

// Points the runtime folder, the desktop-entry folders and the system-log socket at a fresh
// temporary folder, so that no real Assistant is found or launched and nothing reaches the
// system log. Returns that folder; call it once, before any platform call.
const std::string& UsePrivateEnvironment();

// A strict JSON parser's verdict: one JSON text and nothing else (whitespace aside).
// With utf8 set the strings must also be valid UTF-8.
bool IsStrictJson(const std::string& text, bool utf8);

// Whether bytes are well-formed UTF-8 (no overlong forms, surrogates or values above U+10FFFF).
bool IsValidUtf8(const std::string& bytes);
