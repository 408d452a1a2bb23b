// The local link's rules that need another user: run as root, skipped otherwise.
#include "FaultSession.h"

#include "Platform/Processes/Processes.h"
#include "tests/support/SystemLogCapture.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {
const uid_t kOtherUser = 65534;
}  // namespace

// A runtime folder that belongs to another user is refused, even when it is closed to everyone
// else; given back to this user it is taken again.
TEST(LocalLink, RuntimeFolderOfAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the folder to another user";
    Sandbox sandbox;
    std::string folder;
    ASSERT_TRUE(GetProcessRuntimeFolder(&folder));
    ASSERT_EQ(chown(folder.c_str(), kOtherUser, kOtherUser), 0);
    std::string refused;
    EXPECT_FALSE(GetProcessRuntimeFolder(&refused));
    EXPECT_TRUE(refused.empty());
    ASSERT_EQ(chown(folder.c_str(), geteuid(), getegid()), 0);
    EXPECT_TRUE(GetProcessRuntimeFolder(&refused));
}

// A live serial number whose port is served by another user gets no event: the sender checks
// who listens before it writes.
TEST(LocalLink, PortServedByAnotherUserGetsNoEvent)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    Sandbox sandbox;
    SystemLogCapture log;
    std::string folder;
    ASSERT_TRUE(GetProcessRuntimeFolder(&folder));
    const ProcessSerialNumber other = {7, 424242};
    LockHolder server(sandbox, other, kOtherUser);
    ASSERT_TRUE(server.Holding());
    EXPECT_TRUE(IsProcessAlive(&other));
    EXPECT_EQ(SendStatus(other, 1, "{}"), procNotFound);
    server.Release();
    bool named = false;
    for (const std::string& line : log.lines)
        named = named || line.find("is served by uid " + std::to_string(kOtherUser)) != std::string::npos;
    EXPECT_TRUE(named);
}
