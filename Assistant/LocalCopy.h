// Copying a local file into a partial file through the kernel's copy path.
#pragma once

#include "FileProgress.h"
#include "PartialFile.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <vector>

// Opens a file for reading; refuses, with a readable reason, anything that is not a regular file
// (so a named pipe cannot hold a worker). A relative path is taken from the folder open as folderFd.
// Returns the descriptor, or -1.
int OpenSourceFile(const std::string& path, struct stat* info, std::string* reason, int folderFd = AT_FDCWD);

// Copies everything from the source descriptor's position to the destination's with
// copy_file_range, or through a large buffer where the two files cannot share the kernel's path
// (other file systems, special files). Size is the source's size when it was opened: a copy that
// reaches it ends there unless the file grew. Adds each chunk to done; stops between chunks once
// cancel is set. False with a readable reason on failure.
bool CopyContents(int from, int to, uint64_t size, std::atomic<uint64_t>* done, const std::atomic<bool>& cancel,
                  std::string* reason);

// One file of a group copy: what to copy where, and how it went.
struct CopyItem {
    std::string source;
    std::string folder;
    std::string name;
    FileProgress* progress = nullptr;
    bool ok = false;
    std::string finalPath;
    std::string reason;
};

// Copies the files one after the other into partial files of their folders, then makes them
// durable together: one sync of each file system written to, then every file named, then one
// more sync for the names. The syncs write the whole group out at once, in few large requests. So
// a group of small files costs two syncs instead of two per file (the cost of a `cp -r` and a
// `sync`), and still no file has its name before its data is on disk. A file that fails does so
// alone. Naming waits for beforeNaming, when given, to return.
void CopyFilesInto(std::vector<CopyItem>* items, const std::atomic<bool>& cancel,
                   const std::function<void()>& beforeNaming = nullptr);
