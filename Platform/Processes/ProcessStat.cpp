// Start times from /proc, and the serial number a pid stands for.
#include "ProcessStat.h"

#include "Processes.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
const int kStartTimeField = 22;
// Fields are counted from the one after the command name.
const int kFirstFieldAfterName = 3;
}  // namespace

// The command name in parentheses may hold spaces and ')', so fields are counted from the last ')'.
bool ReadProcessStartTime(int pid, unsigned long long* startTime)
{
    if (pid < 0)
        return false;
    char path[32];
    if (pid == 0)
        snprintf(path, sizeof path, "/proc/self/stat");
    else
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
    for (int field = kFirstFieldAfterName; field < kStartTimeField; ++field) {
        while (*cursor == ' ')
            ++cursor;
        cursor = strchr(cursor, ' ');
        if (!cursor)
            return false;
    }
    char* end = nullptr;
    errno = 0;
    *startTime = strtoull(cursor, &end, 10);
    return errno == 0 && end != cursor;
}

OSErr GetProcessForPID(int pid, ProcessSerialNumber* psn)
{
    if (!psn)
        return paramErr;
    unsigned long long startTime = 0;
    if (pid <= 0 || !ReadProcessStartTime(pid, &startTime))
        return procNotFound;
    psn->highLongOfPSN = static_cast<UInt32>(startTime);
    psn->lowLongOfPSN = static_cast<UInt32>(pid);
    return noErr;
}
