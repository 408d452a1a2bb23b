// A private temporary folder for a test.
#pragma once

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
