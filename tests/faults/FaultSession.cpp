#include "FaultSession.h"

#include "Common/AssistantLink.h"
#include "Platform/Processes/Processes.h"
#include "tests/support/Bytes.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

std::string RuntimeFolder(const Sandbox& sandbox) { return sandbox.Path("runtime/qiravel"); }

LockHolder::LockHolder(const Sandbox& sandbox, const ProcessSerialNumber& psn, uid_t listenAs)
{
    const std::string lockPath = RuntimeFolder(sandbox) + "/." + ProcessSerialNumberName(psn) + ".lock";
    const std::string portPath = RuntimeFolder(sandbox) + "/" + ProcessSerialNumberName(psn) + ".sock";
    int ready[2];
    if (pipe(ready) != 0)
        return;
    mPid = fork();
    if (mPid == 0) {
        // Only system calls from here on: the test process may run other threads. The lock and the
        // bound port are made before the user changes; the port listens, and so answers, as that user.
        const int fd = open(lockPath.c_str(), O_RDWR | O_CLOEXEC | (listenAs ? O_CREAT : 0), 0600);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        bool holding = fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0;
        if (holding && listenAs) {
            sockaddr_un address = {};
            address.sun_family = AF_UNIX;
            strncpy(address.sun_path, portPath.c_str(), sizeof address.sun_path - 1);
            const int port = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            holding = bind(port, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                      setgid(listenAs) == 0 && setuid(listenAs) == 0 && listen(port, 4) == 0;
        }
        const char verdict = holding ? 'y' : 'n';
        if (write(ready[1], &verdict, 1) != 1 || verdict != 'y')
            _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char verdict = 'n';
    if (mPid < 0 || read(ready[0], &verdict, 1) != 1 || verdict != 'y')
        Release();
    close(ready[0]);
}

void LockHolder::Release()
{
    if (mPid <= 0)
        return;
    kill(mPid, SIGKILL);
    waitpid(mPid, nullptr, 0);
    mPid = -1;
}

OSErr SendStatus(const ProcessSerialNumber& target, unsigned int refCon, const std::string& notification)
{
    return SendEvent(target, kStatusEventID, {{kStatusRefConKeyword, typeUInt32, Bytes(refCon)}, {kNotificationKeyword, typeChar, notification}});
}

OSErr SendStatus(pid_t pid, unsigned int refCon, const std::string& notification)
{
    ProcessSerialNumber target;
    return GetProcessForPID(pid, &target) == noErr ? SendStatus(target, refCon, notification) : procNotFound;
}

int LowestFreeDescriptor(pid_t pid)
{
    int lowest = 0;
    while (std::filesystem::is_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(lowest)))
        ++lowest;
    return lowest;
}

unsigned long long CpuTicks(pid_t pid)
{
    const std::string stat = ReadWhole("/proc/" + std::to_string(pid) + "/stat");
    const size_t end = stat.rfind(')');
    unsigned long long user = 0;
    unsigned long long system = 0;
    // After the name: state, then fields 4 to 13, then utime and stime.
    if (end != std::string::npos)
        sscanf(stat.c_str() + end + 2, "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %llu", &user, &system);
    return user + system;
}

std::vector<RecordedRequest> RecordedRequests(const std::string& record)
{
    std::vector<RecordedRequest> requests;
    for (const std::string& line : ReadLines(record)) {
        const size_t colon = line.find(':', line.find("navG="));
        const size_t start = line.find(' ', colon);
        if (start != std::string::npos)
            requests.push_back({static_cast<unsigned int>(strtoul(line.c_str() + colon + 1, nullptr, 10)),
                                line.substr(start + 1)});
    }
    return requests;
}
