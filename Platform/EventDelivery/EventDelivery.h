// Stand-in for Apple Event delivery between processes of the same user, and for the handler table
// that receives them on the main loop.
//
// Each receiving process opens one event port: a Unix-domain stream socket named after its serial
// number in the private runtime folder (see Processes.h). Events travel as length-prefixed frames
// of their flattened form; the port accepts only peers of the same user, and hands events to their
// handlers one at a time on the default GLib main context, so any program that runs a GLib (or GTK)
// main loop receives them. Sending never waits for the target: what its socket does not take at
// once is queued and written from the default main context, so a program that sends without
// running that loop calls AEFlushPendingEvents before it ends.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"

typedef OSErr (*AEEventHandlerProcPtr)(const AppleEvent* theAppleEvent, AppleEvent* reply, SRefCon handlerRefcon);
typedef AEEventHandlerProcPtr AEEventHandlerUPP;

enum : OSErr {
    errAEHandlerNotFound = -1717,
    errAEBufferTooSmall = -1741,
    // The runtime folder was refused or the port could not be bound; the system log says why.
    kEventPortUnavailableErr = -4960,
    // The event's flattened form is beyond kAEMaxFlattenedSize (or the other limits of that form).
    kEventTooLargeErr = -4961,
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

// Sends the event to the process named by its "psn " target address and returns once it is
// queued for that process, without waiting for it to be read. Only kAENoReply is carried (other
// modes: paramErr) and the reply is left untouched. Time-outs are in ticks of 1/60 s; a negative
// one means 3600 ticks. A target that takes nothing of its queue for the time-out of the event at
// its head loses its connection and every event queued for it, with one system-log line.
//   procNotFound         no such process, or it has no port
//   kEventTooLargeErr    the event is too large to be carried
//   errAEBufferTooSmall  the target's queue holds too much already (a single event always fits an
//                        empty queue); a thread other than the one running the default main
//                        context first waits for room up to the time-out
//   errAETimeout         an event to this process itself found its inbox full until the time-out
OSErr AESendMessage(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode, long timeOutInTicks);

// Writes the events still queued for other processes from the calling thread, without running the
// main loop, for up to the time-out (ticks, as above): for a process about to end. errAETimeout
// when some are still queued then; they stay queued.
OSErr AEFlushPendingEvents(long timeOutInTicks);
