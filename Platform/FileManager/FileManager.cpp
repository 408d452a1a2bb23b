// The File Manager over POSIX: stat for look-ups, one open folder descriptor per iterator.
#include "FileManager.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

struct FSIterator {
    DIR* folder;
};

namespace {
// The File Manager's numbers where one fits, else the negated errno.
OSStatus StatusFromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return fnfErr;
    case EACCES:
    case EPERM:
        return afpAccessDenied;
    case EIO:
        return ioErr;
    case ENAMETOOLONG:
        return bdNamErr;
    default:
        return error > 0 ? -error : ioErr;
    }
}

void FillCatalogInfo(const struct stat& status, FSCatalogInfo* info)
{
    info->finderFlags = 0;
    info->dataLogicalSize = S_ISDIR(status.st_mode) ? 0 : static_cast<uint64_t>(status.st_size);
    info->rsrcLogicalSize = 0;
    info->isFolder = S_ISDIR(status.st_mode);
    info->device = status.st_dev;
    info->inode = status.st_ino;
}

OSStatus WrapFolderDescriptor(int descriptor, FSIterator** iterator)
{
    if (descriptor < 0)
        return StatusFromErrno(errno);
    DIR* folder = fdopendir(descriptor);
    if (!folder) {
        const int error = errno;
        close(descriptor);
        return StatusFromErrno(error);
    }
    *iterator = new FSIterator{folder};
    return 0;
}

bool IsSelfOrParent(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}
}  // namespace

OSStatus FSPathGetCatalogInfo(const char* path, FSCatalogInfo* info)
{
    if (!path || !*path || !info)
        return kFSParamErr;
    struct stat status;
    if (stat(path, &status) != 0)
        return StatusFromErrno(errno);
    FillCatalogInfo(status, info);
    return 0;
}

OSStatus FSPathMakeFullPath(const char* path, char* buffer, size_t bufferSize)
{
    if (!path || !*path || !buffer)
        return kFSParamErr;
    char* fullPath = realpath(path, nullptr);
    if (!fullPath)
        return StatusFromErrno(errno);
    const size_t length = strlen(fullPath);
    const bool fits = length < bufferSize;
    if (fits)
        memcpy(buffer, fullPath, length + 1);
    free(fullPath);
    return fits ? 0 : bdNamErr;
}

OSStatus FSOpenIterator(const char* folderPath, FSIterator** iterator)
{
    if (!folderPath || !*folderPath || !iterator)
        return kFSParamErr;
    return WrapFolderDescriptor(open(folderPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC), iterator);
}

OSStatus FSOpenChildIterator(FSIterator* parent, const char* name, FSIterator** iterator)
{
    if (!parent || !name || !*name || !iterator)
        return kFSParamErr;
    return WrapFolderDescriptor(openat(dirfd(parent->folder), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC), iterator);
}

OSStatus FSGetNextChildName(FSIterator* iterator, const char** name)
{
    if (!iterator || !name)
        return kFSParamErr;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(iterator->folder);
        if (!entry)
            return errno ? StatusFromErrno(errno) : errFSNoMoreItems;
        if (!IsSelfOrParent(entry->d_name)) {
            *name = entry->d_name;
            return 0;
        }
    }
}

OSStatus FSGetChildCatalogInfo(FSIterator* iterator, const char* name, FSCatalogInfo* info)
{
    if (!iterator || !name || !*name || !info)
        return kFSParamErr;
    struct stat status;
    if (fstatat(dirfd(iterator->folder), name, &status, 0) != 0)
        return StatusFromErrno(errno);
    FillCatalogInfo(status, info);
    return 0;
}

void FSCloseIterator(FSIterator* iterator)
{
    if (!iterator)
        return;
    closedir(iterator->folder);
    delete iterator;
}
