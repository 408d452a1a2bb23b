#include "SystemLog.h"

#include <errno.h>
#include <limits.h>
#include <paths.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <string>

static_assert(kSystemLogOptionPid == LOG_PID && kSystemLogFacilityUser == LOG_USER &&
                  kSystemLogPriorityDebug == LOG_DEBUG,
              "system-log constants must match syslog.h");

namespace {
SystemLogObserver sObserver = nullptr;
void* sObserverContext = nullptr;
const char* sSocketPath = _PATH_LOG;

// syslog() reports nothing, so the socket is tried first, the way the C library connects to it.
bool SystemLogTakesLines()
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (strlen(sSocketPath) >= sizeof address.sun_path)
        return false;
    strcpy(address.sun_path, sSocketPath);
    // Where there is no socket at all (in a sandbox, say), one look at the path settles it.
    struct stat file;
    if (stat(sSocketPath, &file) != 0 || !S_ISSOCK(file.st_mode))
        return false;
    for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
        const int socketFd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
        if (socketFd < 0)
            continue;
        const bool connected = connect(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        close(socketFd);
        if (connected)
            return true;
    }
    return false;
}

thread_local int tBatchDepth = 0;
thread_local std::string tBatched;
thread_local int tBatchTakesLines = -1;  // the socket's answer, asked once per batch

// getpid() is a system call; the number is kept, and forgotten in a forked child.
pid_t ProcessId()
{
    static pid_t sPid = 0;
    static const int registered = pthread_atfork(nullptr, nullptr, [] { sPid = 0; });
    (void)registered;
    if (sPid == 0)
        sPid = getpid();
    return sPid;
}

void WriteAll(const std::string& bytes)
{
    for (size_t written = 0; written < bytes.size();) {
        const ssize_t n = write(STDERR_FILENO, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        written += static_cast<size_t>(n);
    }
}

void FlushBatch()
{
    WriteAll(tBatched);
    tBatched.clear();
}

// Whole lines per write, their line breaks escaped, so that lines of several processes stay apart.
void WriteToStandardError(const char* identity, int options, const char* text)
{
    std::string line = identity ? identity : "";
    if (options & LOG_PID)
        line += "[" + std::to_string(ProcessId()) + "]";
    line += ": ";
    for (const char* c = text ? text : "";;) {
        const size_t plain = strcspn(c, "\r\n");
        line.append(c, plain);
        c += plain;
        if (!*c)
            break;
        line += *c++ == '\n' ? "\\n" : "\\r";
    }
    line += '\n';
    if (tBatchDepth == 0) {
        WriteAll(line);
        return;
    }
    if (tBatched.size() + line.size() > PIPE_BUF)
        FlushBatch();
    tBatched += line;
}
}  // namespace

void SystemLogWrite(const char* identity, int options, int facility, int priority, const char* text)
{
    bool takesLines;
    if (tBatchDepth == 0) {
        takesLines = SystemLogTakesLines();
    } else {
        if (tBatchTakesLines < 0)
            tBatchTakesLines = SystemLogTakesLines();
        takesLines = tBatchTakesLines;
    }
    if (takesLines) {
        openlog(identity, options, facility);
        syslog(priority, "%s", text);
        closelog();
    } else {
        WriteToStandardError(identity, options, text);
    }
    if (sObserver)
        sObserver(identity, priority, text, sObserverContext);
}

SystemLogBatch::SystemLogBatch() { ++tBatchDepth; }

SystemLogBatch::~SystemLogBatch()
{
    if (--tBatchDepth == 0) {
        FlushBatch();
        tBatchTakesLines = -1;
    }
}

void SystemLogSetObserver(SystemLogObserver observer, void* context)
{
    sObserver = observer;
    sObserverContext = context;
}

void SystemLogSetSocketPathForTesting(const char* path) { sSocketPath = path ? path : _PATH_LOG; }
