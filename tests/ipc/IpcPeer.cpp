// A second process for the delivery tests; it ends after 20 s at the latest.
//
//   ipc_peer send HIGH-LOW [COUNT [SIZE]]  sends COUNT (1) 'QVts'/'thre' events, numbered from 0 in
//                                          their text and padded by SIZE bytes, to that process
//                                          without running a main loop; exits with 0 once they
//                                          were all written
//   ipc_peer echo HIGH-LOW COUNT SIZE      the same, but from a main loop that also takes COUNT
//                                          such events; exits with 0 once it has them all and
//                                          its own are written
//   ipc_peer serve BUNDLE                  checks in under BUNDLE and serves its port; a
//                                          'QVts'/'stal' event blocks its main loop for good
#include "IpcTestEvents.h"

#include "Platform/Workspace/Workspace.h"

#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {
unsigned long sReceived = 0;

bool SendNumbered(const ProcessSerialNumber& target, unsigned long count, size_t size)
{
    for (unsigned long index = 0; index < count; ++index) {
        if (SendEvent(target, kThreeParameterEventID, 600, NumberedTail(index, size)) != noErr)
            return false;
    }
    return true;
}
}  // namespace

int main(int argc, char** argv)
{
    alarm(20);
    ProcessSerialNumber target;
    const bool addressed = argc >= 3 && ParseProcessSerialNumberName(argv[2], &target);
    const unsigned long count = argc >= 4 ? strtoul(argv[3], nullptr, 10) : 1;
    const size_t size = argc >= 5 ? strtoul(argv[4], nullptr, 10) : 0;
    if (addressed && !strcmp(argv[1], "send"))
        return SendNumbered(target, count, size) && AEFlushPendingEvents(600) == noErr ? 0 : 1;
    if (addressed && argc == 5 && !strcmp(argv[1], "echo")) {
        const auto take = [](const AppleEvent*, AppleEvent*, SRefCon) -> OSErr {
            ++sReceived;
            return noErr;
        };
        if (AEInstallEventHandler(kTestEventClass, kThreeParameterEventID, take, nullptr, false) != noErr ||
            !SendNumbered(target, count, size))
            return 1;
        while (sReceived < count)
            g_main_context_iteration(nullptr, true);
        return AEFlushPendingEvents(600) == noErr ? 0 : 1;
    }
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
