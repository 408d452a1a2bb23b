#include "SystemLog.h"

#include <errno.h>
#include <paths.h>
#include <sys/socket.h>
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

// One write per line, its line breaks escaped, so that lines of several processes stay apart.
void WriteToStandardError(const char* identity, int options, const char* text)
{
    std::string line = identity ? identity : "";
    if (options & LOG_PID)
        line += "[" + std::to_string(getpid()) + "]";
    line += ": ";
    for (const char* c = text ? text : ""; *c; ++c) {
        if (*c == '\n')
            line += "\\n";
        else if (*c == '\r')
            line += "\\r";
        else
            line += *c;
    }
    line += '\n';
    for (size_t written = 0; written < line.size();) {
        const ssize_t n = write(STDERR_FILENO, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        written += static_cast<size_t>(n);
    }
}
}  // namespace

void SystemLogWrite(const char* identity, int options, int facility, int priority, const char* text)
{
    if (SystemLogTakesLines()) {
        openlog(identity, options, facility);
        syslog(priority, "%s", text);
        closelog();
    } else {
        WriteToStandardError(identity, options, text);
    }
    if (sObserver)
        sObserver(identity, priority, text, sObserverContext);
}

void SystemLogSetObserver(SystemLogObserver observer, void* context)
{
    sObserver = observer;
    sObserverContext = context;
}

void SystemLogSetSocketPathForTesting(const char* path) { sSocketPath = path ? path : _PATH_LOG; }
