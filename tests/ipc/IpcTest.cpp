#include "IpcTestEvents.h"

#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/EventDelivery/EventPort.h"
#include "Platform/Processes/Processes.h"
#include "Platform/SystemLog/SystemLog.h"
#include "Platform/Workspace/Workspace.h"

#include <gtest/gtest.h>

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
const char kPeerBundle[] = "com.example.IpcPeer";

// One private runtime and data folder per test process, set before any platform call and removed
// when the process exits.
struct SandboxFolder {
    std::string path;
    ~SandboxFolder()
    {
        if (system(("rm -rf '" + path + "'").c_str()) != 0)
            g_warning("could not remove %s", path.c_str());
    }
};

const std::string& Sandbox()
{
    static const SandboxFolder sandbox{[] {
        gchar* made = g_dir_make_tmp("qv-ipc-test-XXXXXX", nullptr);
        std::string folder = made;
        g_free(made);
        g_mkdir_with_parents((folder + "/runtime").c_str(), 0700);
        g_mkdir_with_parents((folder + "/data/applications").c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", (folder + "/runtime").c_str(), 1);
        setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
        setenv("XDG_DATA_DIRS", (folder + "/data").c_str(), 1);
        return folder;
    }()};
    return sandbox.path;
}

bool RunLoopUntil(const std::function<bool()>& done)
{
    const gint64 deadline = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
    while (!done()) {
        if (g_get_monotonic_time() > deadline)
            return false;
        g_main_context_iteration(nullptr, false);
        g_usleep(1000);
    }
    return true;
}

struct Parameter {
    AEKeyword key;
    DescType type;
    std::string bytes;
};
struct Received {
    std::thread::id thread;
    std::vector<Parameter> parameters;
};
std::vector<Received> sReceived;

OSErr RecordEvent(const AppleEvent* event, AppleEvent*, SRefCon)
{
    Received received{std::this_thread::get_id(), {}};
    AERecord record;
    long count = 0;
    if (AECoerceDesc(event, typeAERecord, &record) == noErr && AECountItems(&record, &count) == noErr) {
        for (long index = 1; index <= count; ++index) {
            Parameter parameter;
            AEDesc item;
            AEGetNthDesc(&record, index, typeWildCard, &parameter.key, &item);
            parameter.type = item.descriptorType;
            parameter.bytes.resize(static_cast<size_t>(AEGetDescDataSize(&item)));
            AEGetDescData(&item, parameter.bytes.data(), static_cast<Size>(parameter.bytes.size()));
            received.parameters.push_back(parameter);
            AEDisposeDesc(&item);
        }
    }
    AEDisposeDesc(&record);
    sReceived.push_back(received);
    return noErr;
}

OSErr Throw(const AppleEvent*, AppleEvent*, SRefCon) { throw std::runtime_error("handler failure"); }

OSErr Send(const ProcessSerialNumber& target, AEEventID eventID = kThreeParameterEventID, long ticks = 600,
           size_t extraText = 0)
{
    AppleEvent event = MakeEvent(target, eventID, extraText);
    AppleEvent reply;
    AEInitializeDesc(&reply);
    const OSErr error = AESendMessage(&event, &reply, kAENoReply, ticks);
    AEDisposeDesc(&event);
    return error;
}

ProcessSerialNumber Self()
{
    ProcessSerialNumber self;
    GetCurrentProcess(&self);
    return self;
}

int RunPeer(const std::string& arguments)
{
    const int status = system((std::string(IPC_PEER_PATH) + " " + arguments).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

std::string OwnPortPath()
{
    std::string path;
    EventPort::PathFor(Self(), &path);
    return path;
}

int ConnectTo(const std::string& path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
}

bool ClosedByPeer(int fd)
{
    pollfd entry = {fd, POLLIN, 0};
    char byte;
    return poll(&entry, 1, 0) == 1 && recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

std::vector<char> Frame(const std::string& payload, uint32_t length)
{
    std::string bytes(reinterpret_cast<const char*>(&length), sizeof length);
    bytes += payload;
    return std::vector<char>(bytes.begin(), bytes.end());
}

class IpcTest : public testing::Test {
protected:
    void SetUp() override
    {
        Sandbox();
        sReceived.clear();
        ASSERT_EQ(AEInstallEventHandler(kTestEventClass, kThreeParameterEventID, &RecordEvent, nullptr, false), noErr);
    }
};
}  // namespace

TEST_F(IpcTest, ParametersArriveInOrderOnTheMainThread)
{
    ASSERT_EQ(RunPeer("send " + ProcessSerialNumberName(Self())), 0);
    ASSERT_TRUE(RunLoopUntil([] { return sReceived.size() == 1; }));
    const std::vector<Parameter>& parameters = sReceived[0].parameters;
    ASSERT_EQ(parameters.size(), 3u);
    EXPECT_EQ(parameters[0].key, keyDirectObject);
    EXPECT_EQ(parameters[0].type, typeChar);
    EXPECT_EQ(parameters[0].bytes, TestText());
    EXPECT_EQ(parameters[1].key, kHostKeyword);
    EXPECT_EQ(parameters[1].type, typeProcessSerialNumber);
    ProcessSerialNumber sender;
    ASSERT_EQ(parameters[1].bytes.size(), sizeof sender);
    memcpy(&sender, parameters[1].bytes.data(), sizeof sender);
    EXPECT_NE(sender.lowLongOfPSN, Self().lowLongOfPSN);
    EXPECT_EQ(parameters[2].key, kRefConKeyword);
    EXPECT_EQ(parameters[2].type, typeUInt32);
    EXPECT_EQ(parameters[2].bytes, std::string(reinterpret_cast<const char*>(&kTestRefCon), 8));
    EXPECT_EQ(sReceived[0].thread, std::this_thread::get_id());

    // Sent from another thread of this process, the event still runs on the main loop's thread;
    // a throwing handler and an event without a handler are dropped without harm.
    ASSERT_EQ(AEInstallEventHandler(kTestEventClass, 'thro', &Throw, nullptr, false), noErr);
    std::thread([] {
        EXPECT_EQ(Send(Self(), 'thro'), noErr);
        EXPECT_EQ(Send(Self(), 'none'), noErr);
        EXPECT_EQ(Send(Self()), noErr);
    }).join();
    ASSERT_TRUE(RunLoopUntil([] { return sReceived.size() == 2; }));
    EXPECT_EQ(sReceived[1].thread, std::this_thread::get_id());
}

TEST_F(IpcTest, MissingOrDeadTargetsAnswerProcNotFound)
{
    ProcessSerialNumber init;
    ASSERT_EQ(GetProcessForPID(1, &init), noErr);
    EXPECT_EQ(Send(init), procNotFound);  // alive, but without a port
    EXPECT_EQ(Send({Self().highLongOfPSN + 1, Self().lowLongOfPSN}), procNotFound);

    // A peer that quits: the cached connection to it does not swallow the next event, and the port
    // file it leaves behind is removed.
    ASSERT_EQ(RunPeer(std::string("serve ") + kPeerBundle + " &"), 0);
    ProcessSerialNumber peer;
    ASSERT_TRUE(RunLoopUntil([&] { return PeerListed(&peer); }));
    std::string peerPort;
    ASSERT_TRUE(EventPort::PathFor(peer, &peerPort));
    EXPECT_EQ(Send(peer), noErr);
    ASSERT_EQ(Send(peer, kQuitEventID), noErr);
    ASSERT_TRUE(RunLoopUntil([&] { return !IsProcessAlive(&peer); }));
    EXPECT_EQ(Send(peer), procNotFound);
    EXPECT_FALSE(g_file_test(peerPort.c_str(), G_FILE_TEST_EXISTS));
    EXPECT_FALSE(PeerListed(&peer));
}

TEST_F(IpcTest, StalledPeerTimesOut)
{
    ASSERT_EQ(RunPeer(std::string("serve ") + kPeerBundle + " stall &"), 0);
    ProcessSerialNumber peer;
    ASSERT_TRUE(RunLoopUntil([&] { return PeerListed(&peer); }));
    OSErr error = noErr;
    for (int i = 0; i < 64 && error == noErr; ++i)
        error = Send(peer, kThreeParameterEventID, 6, 1 << 20);
    EXPECT_EQ(error, errAETimeout);
    kill(static_cast<pid_t>(peer.lowLongOfPSN), SIGKILL);
}

TEST_F(IpcTest, BadFramesCloseOnlyTheirConnection)
{
    AppleEvent event = MakeEvent(Self(), kThreeParameterEventID);
    std::vector<char> good;
    ASSERT_TRUE(BuildEventFrame(&event, &good));
    AEDisposeDesc(&event);
    std::vector<char> goodThenCorrupt = good;
    const std::vector<char> corrupt = Frame("not a flattened event", 21);
    goodThenCorrupt.insert(goodThenCorrupt.end(), corrupt.begin(), corrupt.end());
    const std::vector<std::vector<char>> streams = {
        goodThenCorrupt, Frame("", 0), Frame("x", 0xFFFFFFFFu), Frame("truncated", 100)};

    std::vector<int> connections;
    for (const std::vector<char>& stream : streams) {
        const int fd = ConnectTo(OwnPortPath());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, stream.data(), stream.size(), MSG_NOSIGNAL), static_cast<ssize_t>(stream.size()));
        connections.push_back(fd);
    }
    shutdown(connections.back(), SHUT_WR);
    for (int fd : connections) {
        EXPECT_TRUE(RunLoopUntil([fd] { return ClosedByPeer(fd); }));
        close(fd);
    }
    EXPECT_EQ(sReceived.size(), 1u);  // the good frame before the corrupt one

    const int fd = ConnectTo(OwnPortPath());
    ASSERT_EQ(send(fd, good.data(), good.size(), MSG_NOSIGNAL), static_cast<ssize_t>(good.size()));
    EXPECT_TRUE(RunLoopUntil([] { return sReceived.size() == 2; }));
    close(fd);
}

TEST_F(IpcTest, PeerOfAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    std::vector<std::string> lines;
    SystemLogSetObserver([](const char*, int, const char* text, void* context) {
        static_cast<std::vector<std::string>*>(context)->emplace_back(text);
    }, &lines);
    // Let the other user reach the socket, so that only the port's own check stands in its way.
    const std::string port = OwnPortPath();
    const std::string runtime = g_getenv("XDG_RUNTIME_DIR");
    chmod(Sandbox().c_str(), 0711);
    chmod(runtime.c_str(), 0711);
    chmod((runtime + "/qiravel").c_str(), 0711);
    chmod(port.c_str(), 0666);
    AppleEvent event = MakeEvent(Self(), kThreeParameterEventID);
    std::vector<char> frame;
    ASSERT_TRUE(BuildEventFrame(&event, &frame));
    AEDisposeDesc(&event);

    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        const int fd = ConnectTo(port);
        _exit(fd >= 0 && send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size())
                  ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const bool refusalLogged = RunLoopUntil([&] {
        return !lines.empty() && lines.back().find("refused a connection from uid 65534") != std::string::npos;
    });
    chmod(runtime.c_str(), 0700);
    chmod((runtime + "/qiravel").c_str(), 0700);
    SystemLogSetObserver(nullptr, nullptr);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(refusalLogged);
    EXPECT_TRUE(sReceived.empty());
}

TEST_F(IpcTest, LaunchedApplicationChecksInAndLeavesNoZombie)
{
    {
        std::ofstream entry(Sandbox() + "/data/applications/" + kPeerBundle + ".desktop");
        entry << "[Desktop Entry]\nType=Application\nName=Peer\nExec=" << IPC_PEER_PATH << " serve " << kPeerBundle
              << "\n";
    }
    EXPECT_FALSE(WorkspaceLaunchAppWithBundleIdentifier("com.example.Missing", kWorkspaceLaunchAsync));
    const UInt32 options = kWorkspaceLaunchAndHide | kWorkspaceLaunchAsync | kWorkspaceLaunchWithoutActivation;
    ASSERT_TRUE(WorkspaceLaunchAppWithBundleIdentifier(kPeerBundle, options));
    ProcessSerialNumber peer;
    ASSERT_TRUE(RunLoopUntil([&] { return PeerListed(&peer); }));
    EXPECT_TRUE(IsProcessAlive(&peer));
    ASSERT_EQ(Send(peer, kQuitEventID), noErr);
    ASSERT_TRUE(RunLoopUntil([&] { return !PeerListed(&peer); }));
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(Processes, SerialNumbersNameOneProcessLifetime)
{
    const ProcessSerialNumber self = Self();
    EXPECT_EQ(self.lowLongOfPSN, static_cast<UInt32>(getpid()));
    EXPECT_TRUE(IsProcessAlive(&self));
    const ProcessSerialNumber reused = {self.highLongOfPSN + 1, self.lowLongOfPSN};
    EXPECT_FALSE(IsProcessAlive(&reused));
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    ProcessSerialNumber childPsn;
    ASSERT_EQ(GetProcessForPID(child, &childPsn), noErr);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(IsProcessAlive(&childPsn));

    ProcessSerialNumber parsed;
    for (const char* bad : {"1-0", "01-2", "1-2x", "4294967296-1", "-1", "1--2", "", "+1-2"})
        EXPECT_FALSE(ParseProcessSerialNumberName(bad, &parsed)) << bad;
}

TEST(RuntimeFolder, RefusedUnlessPrivate)
{
    gchar* made = g_dir_make_tmp("qv-ipc-folder-XXXXXX", nullptr);
    const std::string base = made;
    g_free(made);
    setenv("XDG_RUNTIME_DIR", base.c_str(), 1);
    std::string folder;
    ASSERT_TRUE(GetProcessRuntimeFolder(&folder));
    EXPECT_EQ(folder, base + "/qiravel");
    struct stat status;
    ASSERT_EQ(stat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);

    chmod(folder.c_str(), 0755);
    EXPECT_FALSE(GetProcessRuntimeFolder(&folder));
    rmdir((base + "/qiravel").c_str());
    g_mkdir((base + "/elsewhere").c_str(), 0700);
    symlink((base + "/elsewhere").c_str(), (base + "/qiravel").c_str());
    EXPECT_FALSE(GetProcessRuntimeFolder(&folder));
    EXPECT_EQ(system(("rm -rf '" + base + "'").c_str()), 0);
}
