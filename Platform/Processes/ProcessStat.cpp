// Serial numbers from /proc/<pid>/stat: the pid and the start time (field 22).
#include "Processes.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace {
const int kStartTimeField = 22;
const int kStateField = 3;

struct ProcessStat {
    char state;
    unsigned long long startTime;
};

// Reads state and start time; the command name in parentheses may hold spaces and ')', so fields
// are counted from the last ')'.
bool ReadProcessStat(int pid, ProcessStat* stat)
{
    if (pid <= 0)
        return false;
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[1024];
    ssize_t length;
    do {
        length = read(fd, text, sizeof text - 1);
    } while (length < 0 && errno == EINTR);
    close(fd);
    if (length <= 0)
        return false;
    text[length] = '\0';
    char* cursor = strrchr(text, ')');
    if (!cursor)
        return false;
    ++cursor;
    for (int field = kStateField; field <= kStartTimeField; ++field) {
        while (*cursor == ' ')
            ++cursor;
        if (!*cursor)
            return false;
        if (field == kStateField)
            stat->state = *cursor;
        if (field == kStartTimeField) {
            char* end = nullptr;
            errno = 0;
            stat->startTime = strtoull(cursor, &end, 10);
            return errno == 0 && end != cursor;
        }
        cursor = strchr(cursor, ' ');
        if (!cursor)
            return false;
    }
    return false;
}

bool SerialNumberOf(int pid, ProcessSerialNumber* psn)
{
    ProcessStat stat;
    if (!ReadProcessStat(pid, &stat))
        return false;
    psn->highLongOfPSN = static_cast<UInt32>(stat.startTime);
    psn->lowLongOfPSN = static_cast<UInt32>(pid);
    return true;
}

// This process's number, read once; a forked child forgets it and reads its own.
std::mutex sCurrentMutex;
std::atomic<bool> sCurrentKnown{false};
ProcessSerialNumber sCurrent;

void ForgetCurrentProcess() { sCurrentKnown.store(false); }
}  // namespace

OSErr GetCurrentProcess(ProcessSerialNumber* psn)
{
    if (!psn)
        return paramErr;
    if (!sCurrentKnown.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(sCurrentMutex);
        static const bool forgottenOnFork = pthread_atfork(nullptr, nullptr, &ForgetCurrentProcess) == 0;
        if (!forgottenOnFork || !SerialNumberOf(getpid(), &sCurrent))
            return procNotFound;
        sCurrentKnown.store(true, std::memory_order_release);
    }
    *psn = sCurrent;
    return noErr;
}

OSErr GetProcessForPID(int pid, ProcessSerialNumber* psn)
{
    if (!psn)
        return paramErr;
    return SerialNumberOf(pid, psn) ? noErr : procNotFound;
}

Boolean IsProcessAlive(const ProcessSerialNumber* psn)
{
    if (!psn || psn->lowLongOfPSN == 0 || psn->lowLongOfPSN > static_cast<UInt32>(INT32_MAX))
        return false;
    ProcessStat stat;
    return ReadProcessStat(static_cast<int>(psn->lowLongOfPSN), &stat) && stat.state != 'Z' &&
           stat.state != 'X' && static_cast<UInt32>(stat.startTime) == psn->highLongOfPSN;
}
