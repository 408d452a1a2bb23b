// Serial numbers held through lock files: ".<high>-<low>.lock" in the runtime folder, write-locked
// by the process it names for as long as it runs. The locks are POSIX record locks, which belong
// to the process itself: a forked child does not inherit them, and they go when the process ends,
// before it is reaped. A lock file appears only already locked (created under a temporary name,
// locked, then linked into place), so one found unlocked belongs to a process that has ended.
//
// A process loses its record locks on a file when it closes any descriptor of it, so it never
// opens its own lock file a second time.
#include "Processes.h"

#include "ProcessClaim.h"
#include "ProcessStat.h"

#include <glib.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char kLockPrefix[] = ".";
const char kLockSuffix[] = ".lock";
// High halves tried after the natural one when a process in another pid namespace holds it.
const int kClaimAttempts = 64;
const UInt32 kHighStep = 0x9E3779B9u;

std::string LockPath(const std::string& folder, const ProcessSerialNumber& psn)
{
    return folder + "/" + kLockPrefix + ProcessSerialNumberName(psn) + kLockSuffix;
}

bool IsLockName(const char* name)
{
    const size_t length = strlen(name);
    const size_t prefix = strlen(kLockPrefix);
    const size_t suffix = strlen(kLockSuffix);
    ProcessSerialNumber psn;
    return length > prefix + suffix && strncmp(name, kLockPrefix, prefix) == 0 &&
           strcmp(name + length - suffix, kLockSuffix) == 0 &&
           ParseProcessSerialNumberName(std::string(name + prefix, length - prefix - suffix), &psn);
}

bool Lock(int fd, short type)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_SETLK, &lock) == 0;
}

// Removes the lock files of processes that have ended. Locking one proves that its holder is gone;
// nobody locks it again, so the name can go. Runs before this process holds a lock file itself.
void RemoveEndedLocks(const std::string& folder)
{
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent* entry = readdir(dir)) {
        if (!IsLockName(entry->d_name))
            continue;
        const int fd = openat(dirfd(dir), entry->d_name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat opened;
        struct stat named;
        if (Lock(fd, F_WRLCK) && fstat(fd, &opened) == 0 &&
            fstatat(dirfd(dir), entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && opened.st_ino == named.st_ino &&
            opened.st_dev == named.st_dev)
            unlinkat(dirfd(dir), entry->d_name, 0);
        close(fd);
    }
    closedir(dir);
}

// Whether another process holds the lock file at path; false when there is none. Only asks, so
// that two processes asking at once do not take each other for the holder.
bool LockHeld(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const bool held = fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    close(fd);
    return held;
}

// Creates a locked file under a temporary name and links it into place under the first free
// name, starting with the natural one. Returns the open, locked descriptor or -1.
int ClaimName(const std::string& folder, ProcessSerialNumber* psn)
{
    std::string temporary = folder + "/.claim-XXXXXX";
    const int fd = g_mkstemp_full(&temporary[0], O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    if (!Lock(fd, F_WRLCK)) {
        close(fd);
        unlink(temporary.c_str());
        return -1;
    }
    ProcessSerialNumber candidate = *psn;
    bool claimed = false;
    for (int attempt = 0; attempt < kClaimAttempts && !claimed; ++attempt) {
        if (link(temporary.c_str(), LockPath(folder, candidate).c_str()) == 0)
            claimed = true;
        else if (errno == EEXIST)
            candidate.highLongOfPSN += kHighStep;
        else
            break;
    }
    unlink(temporary.c_str());
    if (!claimed) {
        close(fd);
        return -1;
    }
    *psn = candidate;
    return fd;
}

// This process's number and the descriptor that holds it. A forked child drops both at once and
// takes a number of its own.
struct Claim {
    std::mutex mutex;
    std::atomic<bool> known{false};
    ProcessSerialNumber psn = {0, 0};
    int fd = -1;
    std::string path;
};

// Never destroyed: static destructors that run after the release may still ask for the number.
Claim& Current()
{
    static Claim* claim = new Claim;
    return *claim;
}

void LockBeforeFork() { Current().mutex.lock(); }
void UnlockAfterFork() { Current().mutex.unlock(); }
void ForgetInChild()
{
    Claim& claim = Current();
    if (claim.fd >= 0)
        close(claim.fd);
    claim.fd = -1;
    claim.path.clear();
    claim.known.store(false);
    claim.mutex.unlock();
}

// At exit the name is given up before the lock; the number stays known but is no longer held.
void ReleaseAtExit()
{
    Claim& claim = Current();
    std::lock_guard<std::mutex> lock(claim.mutex);
    if (claim.fd < 0)
        return;
    unlink(claim.path.c_str());
    close(claim.fd);
    claim.fd = -1;
}

bool TakeNumber(Claim& claim)
{
    static const bool hooked = pthread_atfork(&LockBeforeFork, &UnlockAfterFork, &ForgetInChild) == 0 &&
                               atexit(&ReleaseAtExit) == 0;
    std::string folder;
    if (!hooked || !GetProcessRuntimeFolder(&folder))
        return false;
    unsigned long long startTime = 0;
    ProcessSerialNumber psn;
    // Without /proc the high half is random; it still names no earlier process.
    psn.highLongOfPSN = ReadProcessStartTime(0, &startTime) ? static_cast<UInt32>(startTime) : g_random_int();
    psn.lowLongOfPSN = static_cast<UInt32>(getpid());
    RemoveEndedLocks(folder);
    const int fd = ClaimName(folder, &psn);
    if (fd < 0)
        return false;
    claim.psn = psn;
    claim.fd = fd;
    claim.path = LockPath(folder, psn);
    claim.known.store(true, std::memory_order_release);
    return true;
}
}  // namespace

bool HoldsProcessNumber() { return Current().known.load(std::memory_order_acquire); }

OSErr GetCurrentProcess(ProcessSerialNumber* psn)
{
    if (!psn)
        return paramErr;
    Claim& claim = Current();
    if (!claim.known.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(claim.mutex);
        if (!claim.known.load() && !TakeNumber(claim))
            return procNotFound;
    }
    *psn = claim.psn;
    return noErr;
}

Boolean IsProcessAlive(const ProcessSerialNumber* psn)
{
    std::string folder;
    if (!psn || psn->lowLongOfPSN == 0)
        return false;
    // This process's own lock file is not opened again: closing it would give up the lock.
    Claim& claim = Current();
    if (claim.known.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(claim.mutex);
        if (claim.fd >= 0 && claim.psn.highLongOfPSN == psn->highLongOfPSN &&
            claim.psn.lowLongOfPSN == psn->lowLongOfPSN)
            return true;
    }
    return GetProcessRuntimeFolder(&folder) && LockHeld(LockPath(folder, *psn));
}
