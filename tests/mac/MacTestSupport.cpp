#include "MacTestSupport.h"

#include <cstdlib>
#include <fstream>

// Programs launched from the sandbox's desktop entries name it on their command line.
TestSandbox::~TestSandbox() { (void)!system(("pkill -f '" + Path() + "'").c_str()); }

void TestSandbox::InstallAssistantEntry(const std::string& exec) const
{
    std::ofstream entry(*this / "data/applications/" + kAssistantBundleIdentifier + ".desktop");
    entry << "[Desktop Entry]\nType=Application\nName=Test Assistant\nExec=" << exec << "\n";
}
