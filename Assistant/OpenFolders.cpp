#include "OpenFolders.h"

#include <glib.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int OpenFolders::Get(const std::string& path, bool make, std::string* reason, dev_t* device)
{
    const auto found = mFolders.find(path);
    if (found != mFolders.end()) {
        if (device)
            *device = found->second.device;
        return found->second.fd;
    }
    if (mOnlyTheLast)
        CloseAll();
    int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && make && g_mkdir_with_parents(path.c_str(), 0777) == 0)
        fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) != 0) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        *reason = make ? "Could not create the folder \"" + path + "\": " + g_strerror(errno)
                       : std::string("Could not read the file: ") + g_strerror(errno);
        return -1;
    }
    mFolders.emplace(path, Folder{fd, info.st_dev});
    if (device)
        *device = info.st_dev;
    return fd;
}

void OpenFolders::CloseAll()
{
    for (const auto& folder : mFolders)
        close(folder.second.fd);
    mFolders.clear();
}
