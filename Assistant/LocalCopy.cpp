#include "LocalCopy.h"

#include "OpenFolders.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <memory>
#include <unistd.h>

namespace {
// Chunks are large for speed and small enough that a cancel or a progress report is not held up
// for long.
const size_t kKernelChunk = 16u << 20;
const size_t kBufferSize = 1u << 20;

const char kStopped[] = "The Assistant was stopped before the file was complete";

std::string WriteFailure(int error) { return std::string("Could not write the file: ") + g_strerror(error); }

bool CopyThroughBuffer(int from, int to, std::atomic<uint64_t>* done, const std::atomic<bool>& cancel,
                       std::string* reason)
{
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    for (;;) {
        if (cancel.load()) {
            *reason = kStopped;
            return false;
        }
        const ssize_t count = read(from, buffer.get(), kBufferSize);
        if (count == 0)
            return true;
        if (count < 0) {
            if (errno == EINTR)
                continue;
            *reason = std::string("Could not read the file: ") + g_strerror(errno);
            return false;
        }
        for (ssize_t written = 0; written < count;) {
            const ssize_t step = write(to, buffer.get() + written, static_cast<size_t>(count - written));
            if (step < 0 && errno == EINTR)
                continue;
            if (step <= 0) {
                *reason = WriteFailure(step < 0 ? errno : ENOSPC);
                return false;
            }
            written += step;
        }
        done->fetch_add(static_cast<uint64_t>(count));
    }
}
}  // namespace

int OpenSourceFile(const std::string& path, struct stat* info, std::string* reason, int folderFd)
{
    // Non-blocking, so that opening a named pipe does not wait for a writer.
    const int fd = openat(folderFd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *reason = std::string("Could not read the file: ") + g_strerror(errno);
        return -1;
    }
    if (fstat(fd, info) != 0 || !S_ISREG(info->st_mode)) {
        *reason = "The file is not a regular file";
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, 0);  // blocking again: O_NONBLOCK was its only status flag
    return fd;
}

bool CopyContents(int from, int to, uint64_t size, std::atomic<uint64_t>* done, const std::atomic<bool>& cancel,
                  std::string* reason)
{
    for (uint64_t copied = 0;;) {
        if (cancel.load()) {
            *reason = kStopped;
            return false;
        }
        const ssize_t count = copy_file_range(from, nullptr, to, nullptr, kKernelChunk, 0);
        if (count == 0)
            return true;
        if (count > 0) {
            done->fetch_add(static_cast<uint64_t>(count));
            copied += static_cast<uint64_t>(count);
            // A short chunk that reaches the size is the end: no call to hear so.
            if (copied == size && static_cast<size_t>(count) < kKernelChunk)
                return true;
            continue;
        }
        if (errno == EINTR)
            continue;
        // Both offsets moved only by what was copied, so the buffer copy goes on from there.
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF)
            return CopyThroughBuffer(from, to, done, cancel, reason);
        *reason = std::string("Could not copy the file: ") + g_strerror(errno);
        return false;
    }
}

void CopyFilesInto(std::vector<CopyItem>* items, const std::atomic<bool>& cancel,
                   const std::function<void()>& beforeNaming)
{
    OpenFolders sourceFolders(true);
    OpenFolders folders(false);  // outlives the partial files, which hold their folders' descriptors
    std::vector<std::unique_ptr<PartialFile>> files(items->size());
    std::map<dev_t, std::string> fileSystems;  // written to, with one folder of each
    std::vector<dev_t> devices(items->size());
    for (size_t i = 0; i < items->size(); ++i) {
        CopyItem& item = (*items)[i];
        if (cancel.load()) {
            item.reason = kStopped;
            continue;
        }
        // Sources are absolute paths, each opened by its name in its folder.
        const size_t slash = item.source.rfind('/');
        const int sourceFolder = sourceFolders.Get(slash ? item.source.substr(0, slash) : "/", false, &item.reason);
        struct stat info;
        const int from =
            sourceFolder < 0 ? -1 : OpenSourceFile(item.source.substr(slash + 1), &info, &item.reason, sourceFolder);
        if (from < 0)
            continue;
        item.progress->total = static_cast<uint64_t>(info.st_size);
        dev_t device = 0;
        const int folder = folders.Get(item.folder, true, &item.reason, &device);
        if (folder >= 0)
            files[i] = PartialFile::CreateUnnamed(folder, item.folder, item.name, info.st_mode & 0777, &item.reason);
        const bool copied = files[i] && CopyContents(from, files[i]->Fd(), static_cast<uint64_t>(info.st_size),
                                                     &item.progress->done, cancel, &item.reason);
        close(from);
        if (copied) {
            devices[i] = device;
            fileSystems.emplace(device, item.folder);
        } else {
            files[i].reset();
        }
    }
    // A lone file is synced by itself. A group is made durable at once, by syncing each file
    // system it was written to: before any of its files is named, and again for the names.
    const bool group = std::count_if(files.begin(), files.end(), [](const auto& file) { return file != nullptr; }) > 1;
    std::map<dev_t, std::string> unsynced;  // the reason, for the file systems that failed
    for (const auto& fileSystem : fileSystems) {
        std::string reason;
        if (group && !PartialFile::SyncFileSystem(fileSystem.second, &reason))
            unsynced[fileSystem.first] = reason;
    }
    if (beforeNaming)
        beforeNaming();
    const auto durability = group ? PartialFile::Durability::byCaller : PartialFile::Durability::byCommit;
    for (size_t i = 0; i < items->size(); ++i) {
        CopyItem& item = (*items)[i];
        const auto failed = unsynced.find(devices[i]);
        if (files[i] && failed != unsynced.end())
            item.reason = failed->second;
        else if (files[i])
            item.ok = files[i]->Commit(&item.finalPath, &item.reason, durability);
    }
    std::string ignored;
    for (const auto& fileSystem : fileSystems) {
        if (group && !unsynced.count(fileSystem.first))
            PartialFile::SyncFileSystem(fileSystem.second, &ignored);
    }
}
