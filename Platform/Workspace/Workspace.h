// Stand-in for the workspace: the list of running applications that checked in under a bundle
// identifier, and launching an application by bundle identifier through its desktop entry.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"

#include <functional>
#include <string>
#include <vector>

// Registers this process under the bundle identifier (replacing an earlier check-in), opening its
// event port first. paramErr for an empty identifier, or one longer than 255 bytes or with control
// characters; kEventPortUnavailableErr (EventDelivery.h) when the port cannot be opened.
OSErr WorkspaceCheckIn(const char* bundleIdentifier);

struct RunningApplication {
    std::string bundleIdentifier;
    UInt32 processSerialNumberHigh;
    UInt32 processSerialNumberLow;
};

// Every live checked-in process, oldest first; check-ins of dead processes are removed.
std::vector<RunningApplication> WorkspaceLaunchedApplications();

enum : UInt32 {
    kWorkspaceLaunchAndHide = 0x100000,
    kWorkspaceLaunchAsync = 0x10000,
    kWorkspaceLaunchWithoutActivation = 0x200,
};

// Asks the current launcher to start the application with this bundle identifier; false at once
// for an empty identifier, and while the runtime folder is refused. True when the launch request was accepted.
bool WorkspaceLaunchAppWithBundleIdentifier(const char* bundleIdentifier, UInt32 options);

// Starts the application whose desktop entry "<bundleIdentifier>.desktop" is found in the XDG data
// folders, without waiting for it and without startup notification, so nothing takes the focus.
// Every launch is hidden, asynchronous and without activation, whatever the options. False at once
// when there is no such entry or it cannot be started. The started program is not a child of the
// caller, so it never lingers as a zombie. This is the launcher until another is installed.
bool WorkspaceLaunchDesktopEntry(const char* bundleIdentifier, UInt32 options);

// Replaces the launcher; an empty one restores WorkspaceLaunchDesktopEntry. A process that should
// not start programs itself (a sandboxed browser process, whose children would share its sandbox)
// installs one that asks its host, falling back to WorkspaceLaunchDesktopEntry when none answers.
typedef std::function<bool(const char* bundleIdentifier, UInt32 options)> WorkspaceLauncher;
void WorkspaceSetLauncher(WorkspaceLauncher launcher);
