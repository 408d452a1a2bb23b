#include "OpenFolders.h"

#include <glib.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int OpenFolders::Get(const std::string& path, bool make, std::string* reason)
{
    const auto found = mFds.find(path);
    if (found != mFds.end())
        return found->second;
    if (mOnlyTheLast)
        CloseAll();
    int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && make && g_mkdir_with_parents(path.c_str(), 0777) == 0)
        fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *reason = make ? "Could not create the folder \"" + path + "\": " + g_strerror(errno)
                       : std::string("Could not read the file: ") + g_strerror(errno);
        return -1;
    }
    mFds.emplace(path, fd);
    return fd;
}

void OpenFolders::CloseAll()
{
    for (const auto& folder : mFds)
        close(folder.second);
    mFds.clear();
}
