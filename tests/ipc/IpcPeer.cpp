// A second process for the delivery tests.
//
//   ipc_peer send HIGH-LOW       sends one 'QVts'/'thre' event with a TEXT, a "psn " and a "magn"
//                                parameter to that process; exits with 0 when it was delivered
//   ipc_peer serve BUNDLE [stall] checks in under BUNDLE and serves its port until a 'QVts'/'quit'
//                                event or 20 s; with stall it never runs its loop after checking in
#include "IpcTestEvents.h"

#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/Processes/Processes.h"
#include "Platform/Workspace/Workspace.h"

#include <glib.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
GMainLoop* sLoop = nullptr;

OSErr Quit(const AppleEvent*, AppleEvent*, SRefCon)
{
    g_main_loop_quit(sLoop);
    return noErr;
}

gboolean QuitLoop(gpointer)
{
    g_main_loop_quit(sLoop);
    return G_SOURCE_REMOVE;
}

int Send(const char* name)
{
    ProcessSerialNumber target;
    if (!ParseProcessSerialNumberName(name, &target))
        return 2;
    AppleEvent event = MakeEvent(target, kThreeParameterEventID);
    AppleEvent reply;
    AEInitializeDesc(&reply);
    const OSErr error = AESendMessage(&event, &reply, kAENoReply, 600);
    AEDisposeDesc(&event);
    if (error != noErr)
        fprintf(stderr, "ipc_peer: send failed (%d)\n", error);
    return error == noErr ? 0 : 1;
}

int Serve(const char* bundleIdentifier, bool stall)
{
    if (AEInstallEventHandler(kTestEventClass, kQuitEventID, NewAEEventHandlerUPP(&Quit), nullptr, false) != noErr ||
        WorkspaceCheckIn(bundleIdentifier) != noErr)
        return 1;
    if (stall) {
        sleep(20);
        return 0;
    }
    sLoop = g_main_loop_new(nullptr, false);
    g_timeout_add_seconds(20, &QuitLoop, nullptr);
    g_main_loop_run(sLoop);
    g_main_loop_unref(sLoop);
    return 0;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && !strcmp(argv[1], "send"))
        return Send(argv[2]);
    if ((argc == 3 || (argc == 4 && !strcmp(argv[3], "stall"))) && !strcmp(argv[1], "serve"))
        return Serve(argv[2], argc == 4);
    fprintf(stderr, "usage: ipc_peer send HIGH-LOW | ipc_peer serve BUNDLE [stall]\n");
    return 2;
}
