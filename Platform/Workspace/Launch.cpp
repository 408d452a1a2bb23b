// Launching through desktop entries with GIO, or through a launcher the process installs.
#include "Workspace.h"

#include "Platform/SystemLog/SystemLog.h"

#include <gio/gdesktopappinfo.h>

#include <string>
#include <syslog.h>

namespace {
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
    // A copy: the launcher may run a nested main loop in which another one is installed.
    const WorkspaceLauncher launcher = CurrentLauncher();
    return launcher ? launcher(bundleIdentifier, options) : WorkspaceLaunchDesktopEntry(bundleIdentifier, options);
}

bool WorkspaceLaunchDesktopEntry(const char* bundleIdentifier, UInt32)
{
    if (!bundleIdentifier || !*bundleIdentifier)
        return false;
    const std::string desktopId = std::string(bundleIdentifier) + ".desktop";
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
