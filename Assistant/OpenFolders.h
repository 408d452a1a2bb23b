// Folders opened once for a run of files, so that each file is reached by its name alone instead of
// a walk of its whole path: all of them, or only the last one asked for (files that come folder by
// folder).
#pragma once

#include <map>
#include <string>
#include <sys/types.h>

class OpenFolders {
public:
    explicit OpenFolders(bool onlyTheLast) : mOnlyTheLast(onlyTheLast) {}
    OpenFolders(const OpenFolders&) = delete;
    OpenFolders& operator=(const OpenFolders&) = delete;
    ~OpenFolders() { CloseAll(); }

    // The folder's descriptor (O_PATH), the folder and its parents made first when missing if
    // asked; -1 with a reason when it cannot be had. Device, when given, gets its file system's.
    int Get(const std::string& path, bool make, std::string* reason, dev_t* device = nullptr);

private:
    void CloseAll();

    const bool mOnlyTheLast;
    struct Folder {
        int fd;
        dev_t device;
    };
    std::map<std::string, Folder> mFolders;
};
