#include "PartialFile.h"

#include "DestinationPaths.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const unsigned kMostNumberedNames = 9999;

std::mutex sMutex;
// Guarded by sMutex: the files whose temporary file exists, and the record of their paths.
std::set<const PartialFile*> sTemporaryFiles;
int sRecord = -1;
// Guarded by sMutex: the files an earlier run left that were spared for their jobs and not adopted.
std::set<std::string> sSpared;
// Files without a name commit under a shared hold; RemoveAllTemporary counts up under a sole one,
// so that no file made before it is named after it.
std::shared_mutex sNaming;
unsigned sGeneration = 0;

// Called with the mutex held to list a path in the record.
void Listed(const std::string& path)
{
    if (sRecord < 0)
        return;
    const std::string line = path + "\n";
    static_cast<void>(!write(sRecord, line.data(), line.size()));
}

// Called with the mutex held when a file leaves the list: an empty list empties the record but for
// the spared files. A record that cannot be written to only lists more than it needs to, or less;
// neither stops a file.
void Forgotten()
{
    if (!sTemporaryFiles.empty() || sRecord < 0)
        return;
    static_cast<void>(!ftruncate(sRecord, 0));
    for (const std::string& path : sSpared)
        Listed(path);
}

bool IsTemporaryName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return name.size() == strlen(".qiravel-XXXXXX.part") && name.compare(0, 9, ".qiravel-") == 0 &&
           name.compare(name.size() - 5, 5, ".part") == 0;
}

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

// Gives an open file without a name the name in the folder. Linking the descriptor itself needs a
// privilege or a recent kernel; its link under /proc serves everywhere else.
bool LinkOpenFile(int fd, int folderFd, const std::string& name)
{
    static std::atomic<bool> sDescriptorRefused{false};
    if (!sDescriptorRefused.load(std::memory_order_relaxed)) {
        if (linkat(fd, "", folderFd, name.c_str(), AT_EMPTY_PATH) == 0)
            return true;
        if (errno != ENOENT && errno != EPERM)
            return false;
        sDescriptorRefused = true;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, self.c_str(), folderFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
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

bool PartialFile::SyncFileSystem(const std::string& folder, std::string* reason)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && syncfs(fd) == 0;
    if (!synced)
        *reason = Failure("Could not write to", folder, errno);
    if (fd >= 0)
        close(fd);
    return synced;
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
    sTemporaryFiles.insert(file.get());
    Listed(file->mTemporaryPath);
    return file;
}

std::unique_ptr<PartialFile> PartialFile::CreateUnnamed(int folderFd, const std::string& folder,
                                                        const std::string& name, mode_t mode, std::string* reason)
{
    const int fd = openat(folderFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    // File systems without unnamed files get a named one.
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
        return Create(folder, name, mode, reason);
    if (fd < 0) {
        *reason = Failure("Could not create a file in", folder, errno);
        return nullptr;
    }
    std::unique_ptr<PartialFile> file(new PartialFile(folder, name, "", fd));
    file->mFolderFd = folderFd;
    std::shared_lock<std::shared_mutex> naming(sNaming);
    file->mGeneration = sGeneration;
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
    std::unique_ptr<PartialFile> file(new PartialFile(folder, name, temporaryPath, fd));
    std::lock_guard<std::mutex> lock(sMutex);
    sTemporaryFiles.insert(file.get());
    // A spared file is listed already; it now leaves the record with this run's own files.
    if (sSpared.erase(temporaryPath) == 0)
        Listed(temporaryPath);
    return file;
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
    if (mTemporaryPath.empty())
        return;
    std::lock_guard<std::mutex> lock(sMutex);
    if (sTemporaryFiles.erase(this)) {
        unlink(mTemporaryPath.c_str());
        Forgotten();
    }
}

bool PartialFile::Commit(std::string* finalPath, std::string* reason, Durability durability)
{
    if (mTemporaryPath.empty())
        return CommitUnnamed(finalPath, reason, durability);
    const std::string target = JoinPath(mFolder, mName);
    const int fd = mFd;
    mFd = -1;
    int error = durability == Durability::byCommit && fsync(fd) != 0 ? errno : 0;
    if (close(fd) != 0 && !error)
        error = errno;
    if (error) {
        *reason = Failure("Could not write", target, error);
        Discard();
        return false;
    }
    if (!LinkUnderFreeName(finalPath, reason)) {
        Discard();
        return false;
    }
    if (durability == Durability::byCommit)
        SyncFolder(mFolder);
    return true;
}

// The file gets its name while it is open: closing an unnamed file would free it.
bool PartialFile::CommitUnnamed(std::string* finalPath, std::string* reason, Durability durability)
{
    const std::string target = JoinPath(mFolder, mName);
    if (durability == Durability::byCommit && fsync(mFd) != 0) {
        *reason = Failure("Could not write", target, errno);
        Discard();
        return false;
    }
    std::shared_lock<std::shared_mutex> naming(sNaming);
    if (mGeneration != sGeneration) {
        *reason = "The file was removed before it was complete";
        Discard();
        return false;
    }
    for (unsigned number = 1; number <= kMostNumberedNames; ++number) {
        const std::string candidate = number == 1 ? mName : NumberedName(mName, number);
        if (LinkOpenFile(mFd, mFolderFd, candidate)) {
            naming.unlock();
            // The data was synced before the name was given, so closing cannot lose any of it.
            close(mFd);
            mFd = -1;
            *finalPath = JoinPath(mFolder, candidate);
            if (durability == Durability::byCommit)
                SyncFolder(mFolder);
            return true;
        }
        if (errno != EEXIST) {
            *reason = Failure("Could not name the file", JoinPath(mFolder, candidate), errno);
            Discard();
            return false;
        }
    }
    *reason = "Too many files are named like \"" + target + "\"";
    Discard();
    return false;
}

bool PartialFile::LinkUnderFreeName(std::string* finalPath, std::string* reason)
{
    std::lock_guard<std::mutex> lock(sMutex);
    if (!sTemporaryFiles.count(this)) {
        *reason = "The file was removed before it was complete";
        return false;
    }
    for (unsigned number = 1; number <= kMostNumberedNames; ++number) {
        const std::string candidate = JoinPath(mFolder, number == 1 ? mName : NumberedName(mName, number));
        if (LinkWithoutReplacing(mTemporaryPath, candidate)) {
            sTemporaryFiles.erase(this);
            Forgotten();
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
    std::unique_lock<std::shared_mutex> naming(sNaming);
    ++sGeneration;
    std::lock_guard<std::mutex> lock(sMutex);
    for (const PartialFile* file : sTemporaryFiles)
        unlink(file->mTemporaryPath.c_str());
    sTemporaryFiles.clear();
    Forgotten();
}

void PartialFile::KeepRecord(const std::string& path, const std::set<std::string>& spared)
{
    gchar* folder = g_path_get_dirname(path.c_str());
    g_mkdir_with_parents(folder, 0700);
    g_free(folder);
    gchar* text = nullptr;
    if (g_file_get_contents(path.c_str(), &text, nullptr, nullptr)) {
        gchar** lines = g_strsplit(text, "\n", -1);
        // Only names that this class makes are removed, whatever else the record may hold.
        for (gchar** line = lines; *line; ++line) {
            if (**line == '/' && IsTemporaryName(*line) && !spared.count(*line))
                unlink(*line);
        }
        g_strfreev(lines);
        g_free(text);
    }
    std::lock_guard<std::mutex> lock(sMutex);
    sRecord = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    sSpared = spared;
    for (const std::string& kept : sSpared)
        Listed(kept);
}
