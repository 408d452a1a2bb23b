// The local link's rules that need another user: run as root, skipped otherwise.
#include "FaultSession.h"

#include "Platform/Processes/Processes.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

// A runtime folder that belongs to another user is refused, even when it is closed to everyone
// else; given back to this user it is taken again.
TEST(LocalLink, RuntimeFolderOfAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the folder to another user";
    Sandbox sandbox;
    std::string folder;
    ASSERT_TRUE(GetProcessRuntimeFolder(&folder));
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    std::string refused;
    EXPECT_FALSE(GetProcessRuntimeFolder(&refused));
    EXPECT_TRUE(refused.empty());
    ASSERT_EQ(chown(folder.c_str(), geteuid(), getegid()), 0);
    EXPECT_TRUE(GetProcessRuntimeFolder(&refused));
}
