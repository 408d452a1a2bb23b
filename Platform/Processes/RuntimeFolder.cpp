// The private runtime folder and the names processes publish in it.
#include "Processes.h"

#include "ProcessClaim.h"

#include "Platform/SystemLog/SystemLog.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {
const char kLogIdentity[] = "Qiravel Processes";

bool ParseHalf(const std::string& text, UInt32* half)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long value = strtoull(text.c_str(), nullptr, 10);
    if (value > UINT32_MAX)
        return false;
    *half = static_cast<UInt32>(value);
    return true;
}

void LogRefusal(const std::string& folder, const char* reason)
{
    const std::string line = "Runtime folder " + folder + " refused: " + reason;
    SystemLogWrite(kLogIdentity, kSystemLogOptionPid, kSystemLogFacilityUser, LOG_WARNING, line.c_str());
}
}  // namespace

std::string ProcessSerialNumberName(const ProcessSerialNumber& psn)
{
    return std::to_string(psn.highLongOfPSN) + "-" + std::to_string(psn.lowLongOfPSN);
}

bool ParseProcessSerialNumberName(const std::string& name, ProcessSerialNumber* psn)
{
    const size_t dash = name.find('-');
    ProcessSerialNumber parsed;
    if (dash == std::string::npos || !ParseHalf(name.substr(0, dash), &parsed.highLongOfPSN) ||
        !ParseHalf(name.substr(dash + 1), &parsed.lowLongOfPSN) || parsed.lowLongOfPSN == 0 ||
        ProcessSerialNumberName(parsed) != name)
        return false;
    *psn = parsed;
    return true;
}

bool GetProcessRuntimeFolder(std::string* path)
{
    const char* chosen = getenv("QIRAVEL_RUNTIME_DIR");
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    const std::string folder = chosen && *chosen     ? std::string(chosen)
                               : runtime && *runtime ? std::string(runtime) + "/qiravel"
                                                     : "/tmp/qiravel-" + std::to_string(getuid());
    if (mkdir(folder.c_str(), 0700) == 0) {
        if (HoldsProcessNumber()) {
            const std::string line = "Runtime folder " + folder +
                                     " was removed while this process used it; other processes can no longer reach it";
            SystemLogWrite(kLogIdentity, kSystemLogOptionPid, kSystemLogFacilityUser, LOG_WARNING, line.c_str());
        }
    } else if (errno != EEXIST) {
        LogRefusal(folder, strerror(errno));
        return false;
    }
    struct stat status;
    if (lstat(folder.c_str(), &status) != 0) {
        LogRefusal(folder, strerror(errno));
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        LogRefusal(folder, S_ISLNK(status.st_mode) ? "a symbolic link, not a folder" : "not a folder");
        return false;
    }
    if (status.st_uid != geteuid()) {
        LogRefusal(folder, "owned by another user");
        return false;
    }
    if ((status.st_mode & 077) != 0) {
        LogRefusal(folder, "open to other users");
        return false;
    }
    *path = folder;
    return true;
}
