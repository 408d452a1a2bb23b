#include "MacTestSupport.h"


#include <cstdlib>
#include <fstream>

TestSandbox::TestSandbox()
{
    g_mkdir_with_parents((mDir / "runtime").c_str(), 0700);
    g_mkdir_with_parents((mDir / "data/applications").c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", (mDir / "runtime").c_str(), 1);
    setenv("XDG_DATA_HOME", (mDir / "data").c_str(), 1);
    setenv("XDG_DATA_DIRS", (mDir / "data").c_str(), 1);
}

// Programs launched from the sandbox's desktop entries name it on their command line.
TestSandbox::~TestSandbox() { (void)!system(("pkill -f '" + mDir.Path() + "'").c_str()); }

void TestSandbox::InstallAssistantEntry(const std::string& exec) const
{
    std::ofstream entry(mDir / "data/applications/" + kAssistantBundleIdentifier + ".desktop");
    entry << "[Desktop Entry]\nType=Application\nName=Test Assistant\nExec=" << exec << "\n";
}

std::string TestAssistantPath() { return TEST_ASSISTANT_PATH; }
