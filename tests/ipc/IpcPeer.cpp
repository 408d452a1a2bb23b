// A second process for the delivery tests; it ends after 20 s at the latest.
//
//   ipc_peer send HIGH-LOW        sends one 'QVts'/'thre' event with a TEXT, a "psn " and a "magn"
//                                 parameter to that process; exits with 0 when it was delivered
//   ipc_peer serve BUNDLE         checks in under BUNDLE and serves its port; a 'QVts'/'stal' event
//                                 blocks its main loop for good
#include "IpcTestEvents.h"

#include "Platform/Workspace/Workspace.h"

#include <glib.h>

#include <cstring>
#include <unistd.h>

int main(int argc, char** argv)
{
    alarm(20);
    ProcessSerialNumber target;
    if (argc == 3 && !strcmp(argv[1], "send") && ParseProcessSerialNumberName(argv[2], &target))
        return SendEvent(target) == noErr ? 0 : 1;
    if (argc != 3 || strcmp(argv[1], "serve") != 0)
        return 2;
    const auto stall = [](const AppleEvent*, AppleEvent*, SRefCon) -> OSErr {
        pause();
        return noErr;
    };
    if (AEInstallEventHandler(kTestEventClass, kStallEventID, stall, nullptr, false) != noErr ||
        WorkspaceCheckIn(argv[2]) != noErr)
        return 1;
    g_main_loop_run(g_main_loop_new(nullptr, false));
    return 0;
}
