#include "PartialFile.h"

#include "DestinationPaths.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const unsigned kMostNumberedNames = 9999;

std::mutex sMutex;
std::set<std::string> sTemporaryPaths;  // guarded by sMutex

std::string Failure(const char* what, const std::string& path, int error)
{
    return std::string(what) + " \"" + path + "\": " + g_strerror(error);
}

// Links the temporary file under the candidate name unless that name exists: errno EEXIST when it
// does. Folders that cannot rename without replacing fall back to a hard link, and those without
// hard links to a check before the rename.
bool LinkWithoutReplacing(const std::string& from, const std::string& to)
{
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return false;
    if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return true;
    }
    if (errno != EPERM && errno != EOPNOTSUPP)
        return false;
    if (access(to.c_str(), F_OK) == 0) {
        errno = EEXIST;
        return false;
    }
    return rename(from.c_str(), to.c_str()) == 0;
}
}  // namespace

void PartialFile::SyncFolder(const std::string& folder)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

std::unique_ptr<PartialFile> PartialFile::Create(const std::string& folder, const std::string& name, mode_t mode,
                                                 std::string* reason)
{
    // The open applies the umask to the mode; the leading dot hides the file from folder walks.
    gchar* path = g_build_filename(folder.c_str(), ".qiravel-XXXXXX.part", nullptr);
    const size_t templateStart = strlen(path) - strlen("XXXXXX.part");
    std::lock_guard<std::mutex> lock(sMutex);
    int fd = g_mkstemp_full(path, O_RDWR | O_CLOEXEC, static_cast<int>(mode));
    // The folder is made only when missing, which spares a look at each of its parents per file.
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        if (g_mkdir_with_parents(folder.c_str(), 0777) != 0) {
            *reason = Failure("Could not create the folder", folder, errno);
            g_free(path);
            return nullptr;
        }
        memcpy(path + templateStart, "XXXXXX", 6);
        fd = g_mkstemp_full(path, O_RDWR | O_CLOEXEC, static_cast<int>(mode));
    }
    if (fd < 0) {
        *reason = Failure("Could not create a file in", folder, errno);
        g_free(path);
        return nullptr;
    }
    std::unique_ptr<PartialFile> file(new PartialFile(folder, name, path, fd));
    g_free(path);
    sTemporaryPaths.insert(file->mTemporaryPath);
    return file;
}

std::unique_ptr<PartialFile> PartialFile::Adopt(const std::string& temporaryPath, const std::string& folder,
                                                const std::string& name, uint64_t* length)
{
    gchar* base = g_path_get_basename(temporaryPath.c_str());
    gchar* expected = g_build_filename(folder.c_str(), base, nullptr);
    const bool ours = temporaryPath == expected && g_str_has_prefix(base, ".qiravel-") && g_str_has_suffix(base, ".part") &&
                      strlen(base) == strlen(".qiravel-XXXXXX.part");
    g_free(expected);
    g_free(base);
    const int fd = ours ? open(temporaryPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW) : -1;
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || lseek(fd, 0, SEEK_END) < 0) {
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    *length = static_cast<uint64_t>(info.st_size);
    std::lock_guard<std::mutex> lock(sMutex);
    sTemporaryPaths.insert(temporaryPath);
    return std::unique_ptr<PartialFile>(new PartialFile(folder, name, temporaryPath, fd));
}

PartialFile::PartialFile(std::string folder, std::string name, std::string temporaryPath, int fd)
    : mFolder(std::move(folder)), mName(std::move(name)), mTemporaryPath(std::move(temporaryPath)), mFd(fd)
{
}

PartialFile::~PartialFile() { Discard(); }

void PartialFile::Discard()
{
    if (mFd >= 0) {
        close(mFd);
        mFd = -1;
    }
    std::lock_guard<std::mutex> lock(sMutex);
    if (sTemporaryPaths.erase(mTemporaryPath))
        unlink(mTemporaryPath.c_str());
}

void PartialFile::StartWriteBack()
{
    if (mFd >= 0)
        sync_file_range(mFd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool PartialFile::Commit(std::string* finalPath, std::string* reason, FolderSync folderSync)
{
    const std::string target = JoinPath(mFolder, mName);
    const int fd = mFd;
    mFd = -1;
    if (fsync(fd) != 0 || close(fd) != 0) {
        *reason = Failure("Could not write", target, errno);
        Discard();
        return false;
    }
    if (!LinkUnderFreeName(finalPath, reason)) {
        Discard();
        return false;
    }
    if (folderSync == FolderSync::now)
        SyncFolder(mFolder);
    return true;
}

bool PartialFile::LinkUnderFreeName(std::string* finalPath, std::string* reason)
{
    std::lock_guard<std::mutex> lock(sMutex);
    if (!sTemporaryPaths.count(mTemporaryPath)) {
        *reason = "The file was removed before it was complete";
        return false;
    }
    for (unsigned number = 1; number <= kMostNumberedNames; ++number) {
        const std::string candidate = JoinPath(mFolder, number == 1 ? mName : NumberedName(mName, number));
        if (LinkWithoutReplacing(mTemporaryPath, candidate)) {
            sTemporaryPaths.erase(mTemporaryPath);
            *finalPath = candidate;
            return true;
        }
        if (errno != EEXIST) {
            *reason = Failure("Could not name the file", candidate, errno);
            return false;
        }
    }
    *reason = "Too many files are named like \"" + JoinPath(mFolder, mName) + "\"";
    return false;
}

void PartialFile::RemoveAllTemporary()
{
    std::lock_guard<std::mutex> lock(sMutex);
    for (const std::string& path : sTemporaryPaths)
        unlink(path.c_str());
    sTemporaryPaths.clear();
}
