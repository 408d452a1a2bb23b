// Copying a local file into a partial file through the kernel's copy path.
#pragma once

#include "FileProgress.h"
#include "PartialFile.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/stat.h>

// Opens a file for reading; refuses, with a readable reason, anything that is not a regular file
// (so a named pipe cannot hold a worker). Returns the descriptor, or -1.
int OpenSourceFile(const std::string& path, struct stat* info, std::string* reason);

// Copies everything from the source descriptor's position to the destination's with
// copy_file_range, or through a large buffer where the two files cannot share the kernel's path
// (other file systems, special files). Adds each chunk to done; stops between chunks once cancel
// is set. False with a readable reason on failure.
bool CopyContents(int from, int to, std::atomic<uint64_t>* done, const std::atomic<bool>& cancel,
                  std::string* reason);

// The whole copy of one file: source opened, copied into a partial file of the destination folder
// and committed under the first free name. Fills the final path or the reason.
bool CopyFileInto(const std::string& source, const std::string& folder, const std::string& name,
                  FileProgress* progress, const std::atomic<bool>& cancel, std::string* finalPath,
                  std::string* reason);
