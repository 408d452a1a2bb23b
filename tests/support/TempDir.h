// Private temporary folders for tests.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <string>

// A fresh folder under /tmp, removed with all it holds (unreadable items included) when it goes.
class TempDir {
public:
    explicit TempDir(const char* prefix = "qv-test") : mPath(std::string("/tmp/") + prefix + "-XXXXXX")
    {
        if (!mkdtemp(&mPath[0]))
            abort();
    }
    ~TempDir()
    {
        const std::string command = "chmod -R u+rwx '" + mPath + "' && rm -rf '" + mPath + "'";
        (void)!system(command.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return mPath; }
    std::string operator/(const std::string& relative) const { return mPath + "/" + relative; }

private:
    std::string mPath;
};

// A TempDir that holds this process's runtime folder and the desktop entries it launches from.
class XdgSandbox : public TempDir {
public:
    explicit XdgSandbox(const char* prefix) : TempDir(prefix)
    {
        for (const char* folder : {"runtime", "data", "data/applications"})
            mkdir((*this / folder).c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", (*this / "runtime").c_str(), 1);
        setenv("XDG_DATA_HOME", (*this / "data").c_str(), 1);
        setenv("XDG_DATA_DIRS", (*this / "data").c_str(), 1);
    }
};
