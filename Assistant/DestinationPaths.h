// Where the files of a request go: relative folders checked so that they stay inside the
// destination, file names taken from paths and URLs, numbered names for taken ones, and upload
// URLs built from a base URL.
#pragma once

#include <string>

// Checks a "/"-separated relative folder from a request and writes it without empty and "."
// segments ("a//b/./" gives "a/b"). Refuses an absolute path and any ".." segment, with a reason.
bool NormalizeRelativeFolder(const std::string& relative, std::string* normalized, std::string* reason);

// False with a reason when a segment of the normalized folder, or the name, begins with "." (a
// hidden file or folder, like the ones that programs run at login read).
bool IsVisiblePath(const std::string& folder, const std::string& name, std::string* reason);

// The last component of a file path; false when the path names no file ("", "/", "dir/", "..").
bool FileNameOfPath(const std::string& path, std::string* name);

// The decoded last segment of a URL's path; false with a reason when it names no usable file.
bool FileNameOfUrl(const std::string& url, std::string* name, std::string* reason);

// "name (n).ext" for the n-th file of a name (n of 2 and more); a name without an extension, or
// one that starts with its only dot, gets " (n)" at its end.
std::string NumberedName(const std::string& name, unsigned number);

// The base URL with the relative folder and the file name appended as percent-encoded path
// segments; the base's query is kept. Empty when the base is not an absolute URL.
std::string JoinUrl(const std::string& base, const std::string& relativeFolder, const std::string& name);

// A URL as logs and pages are shown it: without its user name and password. Other texts, such
// as paths, are returned as they are.
std::string ShownUrl(const std::string& url);

// "folder/relative" without a doubled "/"; the relative part may be empty.
std::string JoinPath(const std::string& folder, const std::string& relative);
