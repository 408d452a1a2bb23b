// The local link's rules that need another user: run as root, skipped otherwise.
#include "FaultSession.h"

#include "Common/AssistantLink.h"
#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/Processes/Processes.h"
#include "tests/support/SystemLogCapture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const uid_t kOtherUser = 65534;

// A process that holds the lock of the serial number and listens at its port, as another user.
pid_t ServeAsOtherUser(const std::string& folder, const ProcessSerialNumber& psn)
{
    const std::string name = ProcessSerialNumberName(psn);
    const std::string lockPath = folder + "/." + name + ".lock";
    const std::string portPath = folder + "/" + name + ".sock";
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        // Only system calls from here on. The lock and the bound socket are made as root; the
        // socket listens, and so answers for, the other user.
        const int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        struct flock range = {};
        range.l_type = F_WRLCK;
        range.l_whence = SEEK_SET;
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, portPath.c_str(), sizeof address.sun_path - 1);
        const int port = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool serving = lock >= 0 && fcntl(lock, F_SETLK, &range) == 0 &&
                             bind(port, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                             setgid(kOtherUser) == 0 && setuid(kOtherUser) == 0 && listen(port, 4) == 0;
        const char verdict = serving ? 'y' : 'n';
        if (write(ready[1], &verdict, 1) != 1 || !serving)
            _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char verdict = 'n';
    if (pid > 0 && (read(ready[0], &verdict, 1) != 1 || verdict != 'y')) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(ready[0]);
    return verdict == 'y' ? pid : -1;
}
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
    const pid_t server = ServeAsOtherUser(folder, other);
    ASSERT_GT(server, 0);
    EXPECT_TRUE(IsProcessAlive(&other));

    AEDesc address;
    AppleEvent event;
    AppleEvent reply;
    AEInitializeDesc(&reply);
    ASSERT_EQ(AECreateDesc(typeProcessSerialNumber, &other, sizeof other, &address), noErr);
    ASSERT_EQ(AECreateAppleEvent(kAssistantEventClass, kStatusEventID, &address, kAutoGenerateReturnID, kAnyTransactionID, &event), noErr);
    EXPECT_EQ(AESendMessage(&event, &reply, kAENoReply, 60), procNotFound);
    AEDisposeDesc(&event);
    AEDisposeDesc(&address);
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    bool named = false;
    for (const std::string& line : log.lines)
        named = named || line.find("is served by uid " + std::to_string(kOtherUser)) != std::string::npos;
    EXPECT_TRUE(named);
}
