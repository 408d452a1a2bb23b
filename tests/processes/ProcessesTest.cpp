#include "Platform/Processes/Processes.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <glib.h>
#include <glib/gstdio.h>

#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// One private runtime folder per test process, set before main and removed at exit.
const struct Sandbox : XdgSandbox {
    Sandbox() : XdgSandbox("qv-processes-test") { unsetenv("QIRAVEL_RUNTIME_DIR"); }
} kSandbox;

std::string Folder() { return kSandbox.Path() + "/runtime/qiravel"; }
std::string LockFile(const ProcessSerialNumber& psn) { return Folder() + "/." + ProcessSerialNumberName(psn) + ".lock"; }

ProcessSerialNumber Self()
{
    ProcessSerialNumber self = {0, 0};
    EXPECT_EQ(GetCurrentProcess(&self), noErr);
    return self;
}

bool operator==(const ProcessSerialNumber& a, const ProcessSerialNumber& b)
{
    return a.highLongOfPSN == b.highLongOfPSN && a.lowLongOfPSN == b.lowLongOfPSN;
}

template <typename T>
void Send(int fd, const T& value)
{
    (void)!write(fd, &value, sizeof value);
}

// Waits for a byte from the other end, or for its end.
void Wait(int fd)
{
    char byte;
    (void)!read(fd, &byte, 1);
}

// A forked process that runs body with a socket to the test, then exits.
struct Child {
    pid_t pid = -1;
    int fd = -1;

    explicit Child(const std::function<void(int test)>& body)
    {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            close(ends[0]);
            body(ends[1]);
            _exit(0);
        }
        close(ends[1]);
        fd = ends[0];
    }
    ~Child()
    {
        close(fd);
        if (pid > 0)
            waitpid(pid, nullptr, 0);
    }
    // The next value the child sent.
    template <typename T>
    T Get() const
    {
        T value{};
        EXPECT_EQ(read(fd, &value, sizeof value), static_cast<ssize_t>(sizeof value));
        return value;
    }
    void Go() const { Send(fd, 'g'); }
    // Lets the child end and waits until it has, without reaping it.
    void Finish() const
    {
        shutdown(fd, SHUT_WR);
        siginfo_t info;
        waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    }
};
}  // namespace

TEST(Processes, SerialNumberNamesOneLiveProcessAndParsesOnlyInItsOwnForm)
{
    const ProcessSerialNumber self = Self();
    ProcessSerialNumber byPid;
    ASSERT_EQ(GetProcessForPID(getpid(), &byPid), noErr);
    EXPECT_TRUE(byPid == self);

    // Another start time, no pid, or a process that never took a number: not alive.
    ProcessSerialNumber init;
    ASSERT_EQ(GetProcessForPID(1, &init), noErr);
    for (const ProcessSerialNumber& other : {ProcessSerialNumber{self.highLongOfPSN + 1, self.lowLongOfPSN},
                                             ProcessSerialNumber{self.highLongOfPSN, 0}, init})
        EXPECT_FALSE(IsProcessAlive(&other)) << ProcessSerialNumberName(other);
    EXPECT_FALSE(IsProcessAlive(nullptr));
    EXPECT_EQ(GetCurrentProcess(nullptr), paramErr);
    EXPECT_EQ(GetProcessForPID(0, &byPid), procNotFound);

    // A number's name parses back only in its own form.
    ProcessSerialNumber parsed;
    for (const char* bad : {"1-0", "01-2", "1-2x", "4294967296-1", "-1", "1--2", "", "+1-2"})
        EXPECT_FALSE(ParseProcessSerialNumberName(bad, &parsed)) << bad;
    ASSERT_TRUE(ParseProcessSerialNumberName("4294967295-7", &parsed));
    EXPECT_TRUE(parsed == (ProcessSerialNumber{4294967295u, 7}));
}

// A child takes its own number and sees its parent alive; once it has ended it counts as gone,
// even while a grandchild it forked (which inherited its descriptors) still runs.
TEST(Processes, ForkedChildrenHoldOnlyTheirOwnNumbers)
{
    const ProcessSerialNumber parent = Self();
    int grandchildGate[2];
    ASSERT_EQ(pipe(grandchildGate), 0);
    ProcessSerialNumber childPsn;
    {
        Child child([&](int test) {
            Send(test, Self());
            Send(test, static_cast<bool>(IsProcessAlive(&parent)));
            if (fork() == 0) {
                close(grandchildGate[1]);
                Wait(grandchildGate[0]);
                _exit(0);
            }
            Wait(test);
        });
        close(grandchildGate[0]);
        childPsn = child.Get<ProcessSerialNumber>();
        EXPECT_TRUE(child.Get<bool>());  // the parent is alive
        EXPECT_EQ(childPsn.lowLongOfPSN, static_cast<UInt32>(child.pid));
        child.Finish();
        EXPECT_FALSE(IsProcessAlive(&childPsn));
    }
    close(grandchildGate[1]);
    EXPECT_TRUE(IsProcessAlive(&parent));
}

// A process in another pid namespace may hold the number a newcomer would take (same namespace
// pid, same start tick): the newcomer takes another. Lock files of ended processes are cleared.
TEST(Processes, NumberHeldElsewhereIsNotShared)
{
    Self();
    const ProcessSerialNumber ended = {12345, 4242};
    g_file_set_contents(LockFile(ended).c_str(), "", 0, nullptr);

    Child child([](int test) {
        Wait(test);
        Send(test, Self());
        Wait(test);
    });
    ProcessSerialNumber natural;
    ASSERT_EQ(GetProcessForPID(child.pid, &natural), noErr);
    const std::string twinLock = LockFile(natural);
    Child twin([&](int test) {
        const int fd = open(twinLock.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        Send(test, fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0);
        Wait(test);
    });
    ASSERT_TRUE(twin.Get<bool>());  // the twin holds the lock
    child.Go();
    const ProcessSerialNumber taken = child.Get<ProcessSerialNumber>();
    EXPECT_EQ(taken.lowLongOfPSN, natural.lowLongOfPSN);
    EXPECT_NE(taken.highLongOfPSN, natural.highLongOfPSN);
    EXPECT_TRUE(IsProcessAlive(&taken));
    EXPECT_TRUE(IsProcessAlive(&natural));
    EXPECT_FALSE(g_file_test(LockFile(ended).c_str(), G_FILE_TEST_EXISTS));
    twin.Finish();
    EXPECT_FALSE(IsProcessAlive(&natural));
}

// A process that is pid 1 of its own pid namespace (as a sandboxed web process is pid 2 of its
// own) and this one see each other alive, and it counts as gone once it has ended.
TEST(Processes, LivenessCrossesPidNamespaces)
{
    const ProcessSerialNumber self = Self();
    Child child([&](int test) {
        const uid_t uid = geteuid();
        bool isolated = unshare(CLONE_NEWPID) == 0;
        if (!isolated && unshare(CLONE_NEWUSER | CLONE_NEWPID) == 0) {
            const std::string map = std::to_string(uid) + " " + std::to_string(uid) + " 1";
            isolated = g_file_set_contents("/proc/self/uid_map", map.c_str(), -1, nullptr);
        }
        Send(test, isolated);
        if (!isolated)
            return;
        const pid_t inner = fork();
        if (inner == 0) {
            Send(test, Self());
            Wait(test);
            Send(test, static_cast<bool>(IsProcessAlive(&self)));
            Wait(test);
            _exit(0);
        }
        waitpid(inner, nullptr, 0);
        Send(test, true);
    });
    if (!child.Get<bool>())
        GTEST_SKIP() << "no new pid namespace allowed here";
    const ProcessSerialNumber inner = child.Get<ProcessSerialNumber>();
    EXPECT_EQ(inner.lowLongOfPSN, 1u);
    EXPECT_TRUE(IsProcessAlive(&inner));
    child.Go();
    EXPECT_TRUE(child.Get<bool>());  // this process is alive seen from inside
    child.Go();
    child.Get<bool>();  // the inner process has ended
    EXPECT_FALSE(IsProcessAlive(&inner));
}

// The folder is the one a host names in QIRAVEL_RUNTIME_DIR, else "qiravel" in XDG_RUNTIME_DIR;
// either is made private, and refused once open to others or a symbolic link.
TEST(RuntimeFolder, RefusedUnlessPrivate)
{
    const std::string saved = g_getenv("XDG_RUNTIME_DIR");
    for (const std::string variable : {"XDG_RUNTIME_DIR", "QIRAVEL_RUNTIME_DIR"}) {
        std::string base = kSandbox.Path() + "/folder-XXXXXX";
        g_mkdtemp(&base[0]);
        const std::string expected = base + "/qiravel";
        setenv(variable.c_str(), variable == "XDG_RUNTIME_DIR" ? base.c_str() : expected.c_str(), 1);
        std::string folder;
        ASSERT_TRUE(GetProcessRuntimeFolder(&folder)) << variable;
        EXPECT_EQ(folder, expected);
        struct stat status;
        ASSERT_EQ(stat(folder.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0700u);
        chmod(expected.c_str(), 0755);
        EXPECT_FALSE(GetProcessRuntimeFolder(&folder)) << variable;
        rmdir(expected.c_str());
        g_mkdir((base + "/elsewhere").c_str(), 0700);
        symlink((base + "/elsewhere").c_str(), expected.c_str());
        EXPECT_FALSE(GetProcessRuntimeFolder(&folder)) << variable;
    }
    setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    unsetenv("QIRAVEL_RUNTIME_DIR");
}
