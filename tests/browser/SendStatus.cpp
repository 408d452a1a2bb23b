// Sends one status event, as the Assistant does, to the processes named on the command line.
//
// usage: send_status REFCON JSON HIGH-LOW...
// Prints one line per target: its name and the result of the send (0 when delivered).
#include "Common/AssistantLink.h"
#include "Platform/AppleEvents/AppleEvents.h"
#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/Processes/Processes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: send_status REFCON JSON HIGH-LOW...\n");
        return 2;
    }
    const UInt32 refCon = static_cast<UInt32>(strtoul(argv[1], nullptr, 10));
    for (int i = 3; i < argc; ++i) {
        ProcessSerialNumber target;
        if (!ParseProcessSerialNumberName(argv[i], &target)) {
            fprintf(stderr, "send_status: not a process name: %s\n", argv[i]);
            return 2;
        }
        AEDesc address;
        AppleEvent event;
        AEInitializeDesc(&address);
        AEInitializeDesc(&event);
        OSErr error = AECreateDesc(typeProcessSerialNumber, &target, sizeof target, &address);
        if (error == noErr)
            error = AECreateAppleEvent(kAssistantEventClass, kStatusEventID, &address, kAutoGenerateReturnID, kAnyTransactionID, &event);
        if (error == noErr) {
            AEPutParamPtr(&event, kStatusRefConKeyword, typeUInt32, &refCon, sizeof refCon);
            AEPutParamPtr(&event, kNotificationKeyword, typeChar, argv[2], static_cast<Size>(strlen(argv[2])));
            AppleEvent reply;
            AEInitializeDesc(&reply);
            error = AESendMessage(&event, &reply, kAENoReply, 600);
        }
        printf("%s %d\n", argv[i], error);
        AEDisposeDesc(&event);
        AEDisposeDesc(&address);
    }
    // What a target's socket did not take at once is still queued: written before the end.
    return AEFlushPendingEvents(600) == noErr ? 0 : 1;
}
