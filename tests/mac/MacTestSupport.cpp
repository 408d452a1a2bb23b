#include "MacTestSupport.h"

#include <glib/gstdio.h>

#include <cstdlib>
#include <fstream>

TestSandbox::TestSandbox()
{
    char* path = g_dir_make_tmp("qv-mac-test-XXXXXX", nullptr);
    mPath = path;
    g_free(path);
    g_mkdir_with_parents((mPath + "/runtime").c_str(), 0700);
    g_mkdir_with_parents((mPath + "/data/applications").c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", (mPath + "/runtime").c_str(), 1);
    setenv("XDG_DATA_HOME", (mPath + "/data").c_str(), 1);
    setenv("XDG_DATA_DIRS", (mPath + "/data").c_str(), 1);
}

// Programs launched from the sandbox's desktop entries name it on their command line.
TestSandbox::~TestSandbox()
{
    const std::string command = "pkill -f '" + mPath + "'; rm -rf '" + mPath + "'";
    if (system(command.c_str()) != 0)
        g_warning("could not remove %s", mPath.c_str());
}

void TestSandbox::InstallAssistantEntry(const std::string& exec) const
{
    std::ofstream entry(mPath + "/data/applications/" + kAssistantBundleIdentifier + ".desktop");
    entry << "[Desktop Entry]\nType=Application\nName=Test Assistant\nExec=" << exec << "\n";
}

std::string TestAssistantPath() { return TEST_ASSISTANT_PATH; }
