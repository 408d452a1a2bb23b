// Launching through desktop entries with GIO, or through a launcher the process installs.
#include "Workspace.h"

#include "Platform/Processes/Processes.h"
#include "Platform/SystemLog/SystemLog.h"

#include <gio/gdesktopappinfo.h>

#include <fcntl.h>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace {
// GIO ends the process when it cannot make the descriptors it needs on the way (a main context's
// wake-up, pipes to the new program), so a launch is tried only with this many to spare.
const int kDescriptorsForLaunch = 16;

bool DescriptorsToSpare(int count)
{
    std::vector<int> spare;
    for (int fd; static_cast<int>(spare.size()) < count && (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        spare.push_back(fd);
    const bool enough = static_cast<int>(spare.size()) == count;
    for (const int fd : spare)
        close(fd);
    return enough;
}

WorkspaceLauncher& CurrentLauncher()
{
    static WorkspaceLauncher launcher;
    return launcher;
}
}  // namespace

void WorkspaceSetLauncher(WorkspaceLauncher launcher) { CurrentLauncher() = std::move(launcher); }

bool WorkspaceLaunchAppWithBundleIdentifier(const char* bundleIdentifier, UInt32 options)
{
    if (!bundleIdentifier || !*bundleIdentifier)
        return false;
    // A program started while the runtime folder is refused could never check in to be found.
    std::string folder;
    if (!GetProcessRuntimeFolder(&folder))
        return false;
    // A copy, which stays whole should the launcher install another one while it runs.
    const WorkspaceLauncher launcher = CurrentLauncher();
    return launcher ? launcher(bundleIdentifier, options) : WorkspaceLaunchDesktopEntry(bundleIdentifier, options);
}

bool WorkspaceLaunchDesktopEntry(const char* bundleIdentifier, UInt32)
{
    if (!bundleIdentifier || !*bundleIdentifier)
        return false;
    const std::string desktopId = std::string(bundleIdentifier) + ".desktop";
    if (!DescriptorsToSpare(kDescriptorsForLaunch)) {
        const std::string line = "Launch of " + desktopId + " refused: this process has too few file descriptors left";
        SystemLogWrite("Qiravel Workspace", kSystemLogOptionPid, kSystemLogFacilityUser, LOG_WARNING, line.c_str());
        return false;
    }
    GDesktopAppInfo* info = g_desktop_app_info_new(desktopId.c_str());
    if (!info)
        return false;
    // No launch context: no startup notification, so the new program does not take the focus.
    // Without G_SPAWN_DO_NOT_REAP_CHILD GLib starts it through an intermediate child that it reaps
    // itself, so the program is never our child. Its standard input and output are /dev/null, so
    // that it holds no pipe of ours open; it keeps our standard error for its log lines.
    GError* error = nullptr;
    const gboolean launched = g_desktop_app_info_launch_uris_as_manager(
        info, nullptr, nullptr, static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL), nullptr,
        nullptr, nullptr, nullptr, &error);
    if (!launched) {
        const std::string line = "Launch of " + desktopId + " failed: " + (error ? error->message : "unknown error");
        SystemLogWrite("Qiravel Workspace", kSystemLogOptionPid, kSystemLogFacilityUser, LOG_WARNING, line.c_str());
        g_clear_error(&error);
    }
    g_object_unref(info);
    return launched;
}
