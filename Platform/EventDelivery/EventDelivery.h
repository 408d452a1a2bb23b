// Stand-in for Apple Event delivery between processes of the same user, and for the handler table
// that receives them on the main loop.
//
// Each receiving process opens one event port: a Unix-domain stream socket named after its serial
// number in the private runtime folder (see Processes.h). Events travel as length-prefixed frames
// of their flattened form; the port accepts only peers of the same user, and hands events to their
// handlers one at a time on the default GLib main context, so any program that runs a GLib (or GTK)
// main loop receives them.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"

typedef OSErr (*AEEventHandlerProcPtr)(const AppleEvent* theAppleEvent, AppleEvent* reply, SRefCon handlerRefcon);
typedef AEEventHandlerProcPtr AEEventHandlerUPP;

enum : OSErr {
    errAEHandlerNotFound = -1717,
    // The runtime folder was refused or the port could not be bound; the system log says why.
    kEventPortUnavailableErr = -4960,
};

inline AEEventHandlerUPP NewAEEventHandlerUPP(AEEventHandlerProcPtr handler) { return handler; }
inline void DisposeAEEventHandlerUPP(AEEventHandlerUPP) {}

// Registers the handler for one class and ID, replacing an earlier one, and opens the port if it
// is not open yet. System handlers are not supported: paramErr.
OSErr AEInstallEventHandler(AEEventClass eventClass, AEEventID eventID, AEEventHandlerUPP handler,
                            SRefCon handlerRefcon, Boolean isSysHandler);
// Removes the handler for this class and ID (a null handler matches any); errAEHandlerNotFound
// when there is none. The port stays open.
OSErr AERemoveEventHandler(AEEventClass eventClass, AEEventID eventID, AEEventHandlerUPP handler,
                           Boolean isSysHandler);

// Opens this process's port if needed; noErr when it is open.
OSErr AEOpenEventPort();

// Delivers the event to the process named by its "psn " target address and returns once the
// event is queued there. Only kAENoReply is carried (other modes: paramErr) and the reply is left
// untouched. Time-outs are in ticks of 1/60 s; a negative one means 3600 ticks.
//   procNotFound   no such process, or it has no port
//   errAETimeout   the target did not take the event in time
OSErr AESendMessage(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode, long timeOutInTicks);
