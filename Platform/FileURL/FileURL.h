// File URLs: the POSIX path a "file:" URL names.
#pragma once

#include <string>

// Whether text is a well-formed absolute URL.
bool IsURL(const char* text);
// The path of a file URL (percent escapes decoded); false for text that is no file URL.
bool FileURLToPath(const char* url, std::string& path);
