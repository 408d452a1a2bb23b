#include "IpcTestEvents.h"

#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/EventDelivery/EventPort.h"
#include "Platform/Processes/Processes.h"
#include "Platform/Workspace/Workspace.h"

#include "tests/support/MainLoop.h"

#include <gtest/gtest.h>

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <glob.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {
const char kPeerBundle[] = "com.example.IpcPeer";

// One private runtime and data folder per test process, set before main and removed at exit.
const struct Sandbox {
    std::string path = std::string(g_get_tmp_dir()) + "/qv-ipc-test-XXXXXX";
    Sandbox()
    {
        g_mkdtemp(path.data());
        for (const char* folder : {"/runtime", "/data/applications"})
            g_mkdir_with_parents((path + folder).c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", (path + "/runtime").c_str(), 1);
        setenv("XDG_DATA_HOME", (path + "/data").c_str(), 1);
        setenv("XDG_DATA_DIRS", (path + "/data").c_str(), 1);
    }
    ~Sandbox() { std::error_code ignored; std::filesystem::remove_all(path, ignored); }
} kSandbox;

template <typename T>
std::string Bytes(const T& value)
{
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

ProcessSerialNumber Self()
{
    ProcessSerialNumber self;
    GetCurrentProcess(&self);
    return self;
}

typedef std::tuple<AEKeyword, DescType, std::string> Parameter;
std::vector<std::vector<Parameter>> sReceived;
const std::thread::id kMainThread = std::this_thread::get_id();

// Keeps the parameters of each event, which must arrive on the main loop's thread.
OSErr RecordEvent(const AppleEvent* event, AppleEvent*, SRefCon)
{
    EXPECT_EQ(std::this_thread::get_id(), kMainThread);
    std::vector<Parameter> parameters;
    AERecord record;
    long count = 0;
    if (AECoerceDesc(event, typeAERecord, &record) != noErr || AECountItems(&record, &count) != noErr)
        return errAECoercionFail;
    for (long index = 1; index <= count; ++index) {
        AEKeyword key;
        AEDesc item;
        AEGetNthDesc(&record, index, typeWildCard, &key, &item);
        std::string bytes(static_cast<size_t>(AEGetDescDataSize(&item)), '\0');
        AEGetDescData(&item, bytes.data(), static_cast<Size>(bytes.size()));
        parameters.emplace_back(key, item.descriptorType, bytes);
        AEDisposeDesc(&item);
    }
    AEDisposeDesc(&record);
    sReceived.push_back(parameters);
    return noErr;
}

bool PeerListed(ProcessSerialNumber* psn)
{
    for (const RunningApplication& application : WorkspaceLaunchedApplications()) {
        if (application.bundleIdentifier == kPeerBundle) {
            *psn = {application.processSerialNumberHigh, application.processSerialNumberLow};
            return true;
        }
    }
    return false;
}

// How many files in the runtime folder are named after the process.
size_t FilesOf(const ProcessSerialNumber& psn)
{
    glob_t found;
    glob((std::string(g_getenv("XDG_RUNTIME_DIR")) + "/qiravel/" + ProcessSerialNumberName(psn) + ".*").c_str(), 0,
         nullptr, &found);
    const size_t count = found.gl_pathc;
    globfree(&found);
    return count;
}

std::string OwnPortPath()
{
    std::string path;
    EventPort::PathFor(Self(), &path);
    return path;
}

std::string GoodFrame()
{
    AppleEvent event = MakeEvent(Self(), kThreeParameterEventID);
    std::vector<char> frame;
    BuildEventFrame(&event, &frame);
    AEDisposeDesc(&event);
    return std::string(frame.begin(), frame.end());
}

std::string Frame(const std::string& payload, uint32_t length) { return Bytes(length) + payload; }

// A connection to the port at path that has sent bytes, or -1.
int ConnectAndSend(const std::string& path, const std::string& bytes)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()))
        return fd;
    close(fd);
    return -1;
}

// Whether the other end closed the connection (unread data makes that a reset), waiting up to
// timeout ms.
bool ClosedByPeer(int fd, int timeout = 0)
{
    pollfd entry = {fd, POLLIN, 0};
    char byte;
    const ssize_t count = poll(&entry, 1, timeout) == 1 ? recv(fd, &byte, 1, MSG_DONTWAIT) : 1;
    return count == 0 || (count < 0 && errno == ECONNRESET);
}

class IpcTest : public testing::Test {
protected:
    void SetUp() override
    {
        sReceived.clear();
        ASSERT_EQ(AEInstallEventHandler(kTestEventClass, kThreeParameterEventID, &RecordEvent, nullptr, false), noErr);
    }
};
}  // namespace

TEST_F(IpcTest, ParametersArriveInOrderOnTheMainThread)
{
    ASSERT_EQ(system((IPC_PEER_PATH " send " + ProcessSerialNumberName(Self())).c_str()), 0);
    ASSERT_TRUE(RunLoopUntil([] { return sReceived.size() == 1; }));
    const std::vector<Parameter>& parameters = sReceived[0];
    ASSERT_EQ(parameters.size(), 3u);
    const std::string& sender = std::get<2>(parameters[1]);  // the peer's serial number
    EXPECT_EQ(parameters, (std::vector<Parameter>{{keyDirectObject, typeChar, TestText()},
                                                  {kHostKeyword, typeProcessSerialNumber, sender},
                                                  {kRefConKeyword, typeUInt32, Bytes(kTestRefCon)}}));
    EXPECT_EQ(sender.size(), sizeof(ProcessSerialNumber));
    EXPECT_NE(sender, Bytes(Self()));

    // Sent from another thread of this process, the event still runs on the main loop's thread; a
    // throwing handler and an event without a handler are dropped without harm.
    const auto throwing = [](const AppleEvent*, AppleEvent*, SRefCon) -> OSErr { throw std::runtime_error("no"); };
    ASSERT_EQ(AEInstallEventHandler(kTestEventClass, 'thro', throwing, nullptr, false), noErr);
    std::thread([] {
        for (AEEventID eventID : {AEEventID('thro'), AEEventID('none'), kThreeParameterEventID})
            EXPECT_EQ(SendEvent(Self(), eventID), noErr);
    }).join();
    EXPECT_TRUE(RunLoopUntil([] { return sReceived.size() == 2; }));
}

TEST_F(IpcTest, BadFramesCloseOnlyTheirConnection)
{
    // Corrupt after a good frame, empty, oversized, and cut short by the end of the stream.
    const std::string good = GoodFrame();
    std::vector<int> connections;
    for (const std::string& stream :
         {good + Frame("not a flattened event", 21), Frame("", 0), Frame("x", 0xFFFFFFFFu), Frame("truncated", 100)}) {
        connections.push_back(ConnectAndSend(OwnPortPath(), stream));
        ASSERT_GE(connections.back(), 0);
    }
    shutdown(connections.back(), SHUT_WR);
    for (int fd : connections) {
        EXPECT_TRUE(RunLoopUntil([fd] { return ClosedByPeer(fd); }));
        close(fd);
    }
    EXPECT_EQ(sReceived.size(), 1u);  // the good frame ahead of the corrupt one

    const int fd = ConnectAndSend(OwnPortPath(), good);
    EXPECT_TRUE(RunLoopUntil([] { return sReceived.size() == 2; }));
    close(fd);
}

TEST_F(IpcTest, PeerOfAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    // Let the other user reach the socket, so that only the port's own check stands in its way.
    const std::string port = OwnPortPath(), frame = GoodFrame(), runtime = g_getenv("XDG_RUNTIME_DIR");
    const std::string folders[] = {kSandbox.path, runtime, runtime + "/qiravel"};
    for (const std::string& folder : folders)
        chmod(folder.c_str(), 0711);
    chmod(port.c_str(), 0666);
    const pid_t child = fork();
    if (child == 0) {
        const int fd = setgid(65534) == 0 && setuid(65534) == 0 ? ConnectAndSend(port, frame) : -1;
        _exit(fd >= 0 && ClosedByPeer(fd, 3000) ? 0 : 1);
    }
    int status = -1;
    EXPECT_TRUE(RunLoopUntil([&] { return waitpid(child, &status, WNOHANG) == child; }));
    for (const std::string& folder : folders)
        chmod(folder.c_str(), 0700);
    EXPECT_EQ(status, 0);  // the child connected, sent its frame and saw the port close the connection
    EXPECT_TRUE(sReceived.empty());
}

TEST_F(IpcTest, LaunchedPeerThatStallsTimesOutAndOnceKilledIsNotFound)
{
    std::ofstream(kSandbox.path + "/data/applications/" + kPeerBundle + ".desktop")
        << "[Desktop Entry]\nType=Application\nName=Peer\nExec=" IPC_PEER_PATH " serve " << kPeerBundle << "\n";
    ASSERT_TRUE(WorkspaceLaunchAppWithBundleIdentifier(kPeerBundle, kWorkspaceLaunchAsync));
    ProcessSerialNumber peer;
    ASSERT_TRUE(RunLoopUntil([&] { return PeerListed(&peer); }));
    EXPECT_FALSE(WorkspaceLaunchAppWithBundleIdentifier("com.example.Missing", kWorkspaceLaunchAsync));

    // Stuck in a handler, the peer takes no more events; a time-out leaves later events unharmed.
    ASSERT_EQ(SendEvent(peer, kStallEventID), noErr);
    OSErr error = noErr;
    for (int i = 0; i < 64 && error == noErr; ++i)
        error = SendEvent(peer, kThreeParameterEventID, 6, 1 << 20);
    EXPECT_EQ(error, errAETimeout);
    EXPECT_EQ(SendEvent(peer), noErr);

    // Killed, it leaves its port and check-in behind. It, a process without a port, and a serial
    // number whose pid lives on in another process are not found at once, and the stale files go.
    EXPECT_EQ(FilesOf(peer), 2u);
    kill(static_cast<pid_t>(peer.lowLongOfPSN), SIGKILL);
    ASSERT_TRUE(RunLoopUntil([&] { return !IsProcessAlive(&peer); }));
    ProcessSerialNumber init;
    ASSERT_EQ(GetProcessForPID(1, &init), noErr);
    const ProcessSerialNumber reused = {Self().highLongOfPSN + 1, Self().lowLongOfPSN};
    for (const ProcessSerialNumber& target : {peer, init, reused})
        EXPECT_EQ(SendEvent(target), procNotFound);
    EXPECT_FALSE(PeerListed(&peer));
    EXPECT_EQ(FilesOf(peer), 0u);
    // The launched program is not this process's child, so it leaves no zombie here.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}
