#include "IpcTestEvents.h"

#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/EventDelivery/EventPort.h"
#include "Platform/EventDelivery/EventSender.h"
#include "Platform/EventDelivery/Frames.h"
#include "Platform/Processes/Processes.h"
#include "Platform/Workspace/Workspace.h"

#include "tests/appleevents/DescTestSupport.h"
#include "tests/support/MainLoop.h"
#include "tests/support/Bytes.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <glob.h>
#include <poll.h>
#include <sys/resource.h>
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
const XdgSandbox kSandbox("qv-ipc-test");

typedef std::tuple<AEKeyword, DescType, std::string> Parameter;
std::vector<std::vector<Parameter>> sReceived;
const std::thread::id kMainThread = std::this_thread::get_id();

// Keeps the parameters of each event, which must arrive on the main loop's thread.
OSErr RecordEvent(const AppleEvent* event, AppleEvent*, SRefCon)
{
    EXPECT_EQ(std::this_thread::get_id(), kMainThread);
    std::vector<Parameter> parameters;
    long count = 0;
    AECountItems(event, &count);
    for (long index = 1; index <= count; ++index) {
        AEKeyword key;
        AEDesc item;
        AEGetNthDesc(event, index, typeWildCard, &key, &item);
        parameters.emplace_back(key, item.descriptorType, DataOf(&item));
        AEDisposeDesc(&item);
    }
    sReceived.push_back(parameters);
    return noErr;
}

bool PeerListed(const char* bundle, ProcessSerialNumber* psn)
{
    for (const RunningApplication& application : WorkspaceLaunchedApplications()) {
        if (application.bundleIdentifier == bundle) {
            *psn = {application.processSerialNumberHigh, application.processSerialNumberLow};
            return true;
        }
    }
    return false;
}

// Starts ipc_peer with these arguments as a child that the caller reaps; its pid, or -1.
pid_t SpawnPeer(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv = {const_cast<char*>(IPC_PEER_PATH)};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    GPid pid = -1;
    return g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, nullptr)
               ? pid
               : -1;
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

// The frame of a test event whose text ends with tail.
std::string GoodFrame(const std::string& tail = "")
{
    AppleEvent event = MakeEvent(Self(), kThreeParameterEventID, tail);
    std::vector<char> frame;
    BuildEventFrame(&event, &frame);
    AEDisposeDesc(&event);
    return std::string(frame.begin(), frame.end());
}

std::string Frame(const std::string& payload, uint32_t length) { return Bytes(length) + payload; }

// A connection to the port at path, or -1.
int ConnectTo(const std::string& path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return fd;
    close(fd);
    return -1;
}

// A connection to this process's port that has sent bytes.
int ConnectAndSend(const std::string& bytes)
{
    const int fd = ConnectTo(OwnPortPath());
    EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    return fd;
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

// How many of the captured system-log lines hold text.
long LinesWith(const SystemLogCapture& log, const char* text)
{
    return std::count_if(log.lines.begin(), log.lines.end(),
                         [text](const std::string& line) { return line.find(text) != std::string::npos; });
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

// Sent from another thread of this process, an event still runs on the main loop's thread; a
// throwing handler and an event without a handler are dropped without harm.
TEST_F(IpcTest, EventsFromAnyThreadRunOnTheMainLoop)
{
    const auto throwing = [](const AppleEvent*, AppleEvent*, SRefCon) -> OSErr { throw std::runtime_error("no"); };
    ASSERT_EQ(AEInstallEventHandler(kTestEventClass, 'thro', throwing, nullptr, false), noErr);
    std::thread([] {
        for (AEEventID eventID : {AEEventID('thro'), AEEventID('none'), kThreeParameterEventID})
            EXPECT_EQ(SendEvent(Self(), eventID), noErr);
    }).join();
    EXPECT_TRUE(RunLoopUntil([] { return sReceived.size() == 1; }));
}

TEST_F(IpcTest, BadFramesCloseOnlyTheirConnection)
{
    // Corrupt after a good frame, empty, oversized, and cut short by the end of the stream.
    // A peer that connects and sends nothing holds up nobody.
    const int idle = ConnectTo(OwnPortPath());
    const std::string good = GoodFrame();
    std::vector<int> connections;
    for (const std::string& stream : {good + Frame("not a flattened event", 21), Frame("", 0), Frame("x", 0x80000000u),
                                      Frame("x", 0xFFFFFFFFu), Frame("truncated", 100)})
        connections.push_back(ConnectAndSend(stream));
    shutdown(connections.back(), SHUT_WR);
    for (int fd : connections) {
        EXPECT_TRUE(RunLoopUntil([fd] { return ClosedByPeer(fd); }));
        close(fd);
    }
    // The good frame ahead of the corrupt one arrived, and a new connection still gets in.
    const int fd = ConnectAndSend(good);
    EXPECT_TRUE(RunLoopUntil([] { return sReceived.size() == 2; }));
    close(fd);
    EXPECT_FALSE(ClosedByPeer(idle));
    close(idle);
}

// Frames larger than the port lets every connection hold go in one at a time, each whole, while
// small events pass; connections beyond the limit are closed with one log line.
TEST_F(IpcTest, PortBoundsWhatItHolds)
{
    // The largest event there is makes a frame; one byte more does not.
    const size_t bare = GoodFrame().size() - kFrameHeaderSize;
    for (const size_t extra : {0, 1}) {
        AppleEvent event = MakeEvent(Self(), kThreeParameterEventID, std::string(kMaxFramePayload - bare + extra, 'M'));
        std::vector<char> bytes;
        EXPECT_EQ(BuildEventFrame(&event, &bytes), extra ? OSErr(kEventTooLargeErr) : noErr);
        AEDisposeDesc(&event);
    }
    const std::string large[2] = {GoodFrame(std::string(8 << 20, 'L')), GoodFrame(std::string(8 << 20, 'L'))};
    int fds[2] = {ConnectTo(OwnPortPath()), ConnectTo(OwnPortPath())};
    size_t sent[2] = {0, 0};
    // Pushes what the socket takes without waiting, up to limit bytes of the frame; true when
    // that much is sent.
    const auto push = [&](int which, size_t limit) {
        limit = std::min(limit, large[which].size());
        for (ssize_t count = 1; count > 0 && sent[which] < limit; sent[which] += count > 0 ? count : 0)
            count = send(fds[which], large[which].data() + sent[which], limit - sent[which], MSG_DONTWAIT | MSG_NOSIGNAL);
        return sent[which] == limit;
    };
    const size_t all = large[0].size();
    EXPECT_TRUE(RunLoopUntil([&] { return push(0, all / 2); }));
    RunLoopUntil([] { return false; }, 50);
    push(1, all);
    const int small = ConnectAndSend(GoodFrame());
    EXPECT_TRUE(RunLoopUntil([&] { return sReceived.size() == 1; }));
    RunLoopUntil([&] { return push(1, all); }, 300);
    EXPECT_LT(sent[1], all / 4);  // the second large frame waits, unread, for the first
    EXPECT_TRUE(RunLoopUntil([&] { return push(0, all) && push(1, all) && sReceived.size() == 3; }));
    for (int fd : {fds[0], fds[1], small})
        close(fd);

    // Frames cut short on many connections share one budget, and their connections closing
    // mid-event give it back, so a later event still gets in.
    const std::string cut = Bytes(uint32_t(ReceiveBudget::kLargeFrame - kFrameHeaderSize)) +
                            std::string(ReceiveBudget::kLargeFrame - kFrameHeaderSize - 1, 'p');
    std::vector<std::pair<int, size_t>> cutShort(32);
    for (auto& [fd, count] : cutShort) {
        fd = ConnectTo(OwnPortPath());
        const int smallBuffer = 4096;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &smallBuffer, sizeof smallBuffer);
    }
    size_t taken = 0;
    RunLoopUntil([&] {
        for (auto& [fd, count] : cutShort) {
            const ssize_t more = send(fd, cut.data() + count, cut.size() - count, MSG_DONTWAIT | MSG_NOSIGNAL);
            count += more > 0 ? more : 0;
            taken += more > 0 ? more : 0;
        }
        return false;
    }, 1000);
    EXPECT_LT(taken, ReceiveBudget::kSharedBytes + ReceiveBudget::kLargeFrame * 2);
    for (const auto& entry : cutShort)
        close(entry.first);
    const int after = ConnectAndSend(GoodFrame());
    EXPECT_TRUE(RunLoopUntil([&] { return sReceived.size() == 4; }));
    close(after);
    RunLoopUntil([] { return false; }, 100);

    SystemLogCapture log;
    std::vector<int> connections;
    for (size_t i = 0; i <= EventPort::kMaxConnections + 1; ++i)
        connections.push_back(ConnectTo(OwnPortPath()));
    const auto refused = [&] { return std::count_if(connections.begin(), connections.end(), [](int fd) { return ClosedByPeer(fd); }); };
    EXPECT_TRUE(RunLoopUntil([&] { return refused() == 2; }));
    RunLoopUntil([] { return false; }, 50);
    EXPECT_EQ(refused(), 2);
    EXPECT_EQ(LinesWith(log, "refuses connections"), 1);
    for (int fd : connections)
        close(fd);
}

// Out of file descriptors, the port neither spins on its listening socket nor loses the waiting
// connection, which it accepts once descriptors are free again.
TEST_F(IpcTest, PortOutOfDescriptorsBacksOff)
{
    RunLoopUntil([] { return false; }, 100);  // let earlier connections close
    rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit lowered = {256, limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> spare;
    for (int fd; (fd = dup(0)) >= 0;)
        spare.push_back(fd);
    close(spare.back());
    spare.pop_back();
    SystemLogCapture log;
    const int waiting = ConnectTo(OwnPortPath());
    int dispatched = 0;
    for (int i = 0; i < 100; ++i)
        dispatched += g_main_context_iteration(nullptr, false);
    EXPECT_LT(dispatched, 10);
    for (int fd : spare)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &limit);
    const std::string good = GoodFrame();
    EXPECT_EQ(send(waiting, good.data(), good.size(), MSG_NOSIGNAL), static_cast<ssize_t>(good.size()));
    EXPECT_TRUE(RunLoopUntil([] { return sReceived.size() == 1; }));
    EXPECT_EQ(LinesWith(log, "cannot accept"), 1);
    close(waiting);
}

TEST_F(IpcTest, PeerOfAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    // Let the other user reach the socket, so that only the port's own check stands in its way.
    const std::string port = OwnPortPath(), frame = GoodFrame(), runtime = g_getenv("XDG_RUNTIME_DIR");
    const std::string folders[] = {kSandbox.Path(), runtime, runtime + "/qiravel"};
    for (const std::string& folder : folders)
        chmod(folder.c_str(), 0711);
    chmod(port.c_str(), 0666);
    const pid_t child = fork();
    if (child == 0) {
        // The port may refuse the connection before the frame is sent: the send's result says nothing.
        const int fd = setgid(65534) == 0 && setuid(65534) == 0 ? ConnectTo(port) : -1;
        if (fd >= 0)
            send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
        _exit(fd >= 0 && ClosedByPeer(fd, 3000) ? 0 : 1);
    }
    int status = -1;
    EXPECT_TRUE(RunLoopUntil([&] { return waitpid(child, &status, WNOHANG) == child; }));
    for (const std::string& folder : folders)
        chmod(folder.c_str(), 0700);
    EXPECT_EQ(status, 0);  // the child connected and saw the port close the connection
    EXPECT_TRUE(sReceived.empty());
}

TEST_F(IpcTest, LaunchedPeerOnceKilledIsNotFound)
{
    std::ofstream(kSandbox / "data/applications/" + kPeerBundle + ".desktop")
        << "[Desktop Entry]\nType=Application\nName=Peer\nExec=" IPC_PEER_PATH " serve " << kPeerBundle << "\n";
    ASSERT_TRUE(WorkspaceLaunchAppWithBundleIdentifier(kPeerBundle, kWorkspaceLaunchAsync));
    ProcessSerialNumber peer;
    ASSERT_TRUE(RunLoopUntil([&] { return PeerListed(kPeerBundle, &peer); }));

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
    EXPECT_FALSE(PeerListed(kPeerBundle, &peer));
    EXPECT_EQ(FilesOf(peer), 0u);
    // The launched program is not this process's child, so it leaves no zombie here.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

// A process that sends without a main loop, and two that send each other more than their sockets
// hold at the same time: everything arrives whole, in order, and the senders end normally, leaving
// no port file behind.
TEST_F(IpcTest, StreamsArriveWholeAndInOrder)
{
    struct Case {
        const char* mode;
        unsigned long count;
        size_t size;
    };
    for (const Case& test : {Case{"send", 1000, 0}, Case{"echo", 16, 1 << 20}}) {
        SCOPED_TRACE(test.mode);
        sReceived.clear();
        const pid_t pid = SpawnPeer({test.mode, ProcessSerialNumberName(Self()), std::to_string(test.count),
                                     std::to_string(test.size)});
        ASSERT_TRUE(RunLoopUntil([] { return !sReceived.empty(); }));
        // The parameters arrive in their order, with their types; the sender is the peer.
        ProcessSerialNumber peer;
        memcpy(&peer, std::get<2>(sReceived[0][1]).data(), sizeof peer);
        EXPECT_EQ(sReceived[0], (std::vector<Parameter>{{keyDirectObject, typeChar, TestText() + NumberedTail(0, test.size)},
                                                        {kHostKeyword, typeProcessSerialNumber, Bytes(peer)},
                                                        {kRefConKeyword, typeUInt32, Bytes(kTestRefCon)}}));
        EXPECT_NE(ProcessSerialNumberName(peer), ProcessSerialNumberName(Self()));
        // The echoing peer is answered from its first event on, while it is still sending its own.
        for (unsigned long index = 0; !strcmp(test.mode, "echo") && index < test.count; ++index)
            ASSERT_EQ(SendEvent(peer, kThreeParameterEventID, 600, NumberedTail(index, test.size)), noErr);
        EXPECT_TRUE(RunLoopUntil([&] { return sReceived.size() == test.count; }, 15000));
        for (size_t index = 0; index < sReceived.size(); ++index)
            ASSERT_EQ(NumberOf(std::get<2>(sReceived[index][0])), static_cast<long>(index));
        int status = -1;
        EXPECT_TRUE(RunLoopUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 15000));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(FilesOf(peer), 0u);
    }
}

// A receiver that takes nothing, because its loop is stuck in a handler or because it is stopped,
// never holds the sender: sends return at once and the sender's loop goes on. Its queue is bounded;
// once it made no progress for the time-out of the event at its head, it is dropped with one log
// line, and so is a queue whose target is killed.
TEST_F(IpcTest, ReceiverThatTakesNothingNeverHoldsTheSender)
{
    const std::string big(4 << 20, ' ');
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stopped" : "stalled in a handler");
        const std::string bundle = std::string(kPeerBundle) + (stop ? ".Stopped" : ".Stalled");
        const pid_t pid = SpawnPeer({"serve", bundle});
        ProcessSerialNumber peer;
        ASSERT_TRUE(RunLoopUntil([&] { return PeerListed(bundle.c_str(), &peer); }));
        if (stop)
            kill(pid, SIGSTOP);
        else
            ASSERT_EQ(SendEvent(peer, kStallEventID), noErr);

        SystemLogCapture log;
        const auto drops = [&log] { return LinesWith(log, "are dropped"); };
        sReceived.clear();
        const pid_t sender = SpawnPeer({"send", ProcessSerialNumberName(Self())});
        bool timerFired = false;
        const guint timer = g_timeout_add(
            1000, [](gpointer fired) { return *static_cast<bool*>(fired) = true, G_SOURCE_REMOVE; }, &timerFired);
        EXPECT_EQ(SendEvent(peer, kThreeParameterEventID, 30, big), noErr);
        g_main_context_iteration(nullptr, false);
        EXPECT_FALSE(timerFired);  // the send returned long before the timer was due

        OSErr error = noErr;
        size_t sent = 1;
        for (; sent < 64 && error == noErr; ++sent)
            error = SendEvent(peer, kThreeParameterEventID, 600, big);
        EXPECT_EQ(error, errAEBufferTooSmall);
        EXPECT_LE(sent * big.size(), EventSender::kMaxQueuedBytes + 3 * big.size());
        // The loop goes on: an event from another process arrives while the queue waits.
        EXPECT_TRUE(RunLoopUntil([] { return sReceived.size() == 1; }));
        waitpid(sender, nullptr, 0);
        // Events that keep coming do not put off giving up a queue that makes no progress.
        const guint feeder = g_timeout_add(20, [](gpointer target) -> gboolean {
            SendEvent(*static_cast<ProcessSerialNumber*>(target));
            return G_SOURCE_CONTINUE;
        }, &peer);
        EXPECT_TRUE(RunLoopUntil([&] { return drops() == 1; }));
        g_source_remove(feeder);
        EXPECT_EQ(LinesWith(log, "it took nothing for 0.5 s"), 1);
        EXPECT_TRUE(RunLoopUntil([&] { return timerFired; }, 3000));
        if (!timerFired)
            g_source_remove(timer);
        EXPECT_EQ(drops(), 1);

        // A new connection takes later events; killed, the peer loses them without harm.
        EXPECT_EQ(SendEvent(peer, kThreeParameterEventID, 600, big), noErr);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        EXPECT_TRUE(RunLoopUntil([&] { return drops() == 2; }));
    }
}
