// Dialogs shown by a host application for a process without windows of its own (a browser's web
// process): each dialog travels to the host as one message, the host runs it on its own toolkit
// in front of its window, and the answer comes back over the reply channel below. Both ends use
// this header.
//
//   message                parameters              reply
//   kHostOpenPanelMessage  (ay ay ay b b b b)      (b b aay ay)
//                          title, message, prompt,  hitOK, hitCancel,
//                          canChooseFiles,          filenames, directory
//                          canChooseDirectories,
//                          allowsMultipleSelection,
//                          canCreateDirectories
//   kHostAlertMessage      (ay ay i aay)           (i)
//                          messageText,             pressedButton
//                          informativeText, style,
//                          buttons
//
// Texts and paths travel as byte strings, so paths that are not UTF-8 arrive unchanged.
#pragma once

#include "Platform/Dialogs/Dialogs.h"

#include <glib.h>

#include <functional>
#include <string>

extern const char kHostOpenPanelMessage[];
extern const char kHostAlertMessage[];

enum class HostReply {
    answered,   // the host answered; the reply is set
    unhandled,  // the host does not speak this protocol
    failed,     // the message could not be delivered or was not answered
};

// Sends one message and waits for the host's answer. A floating parameters reference is sunk;
// the caller's own reference stays the caller's. On HostReply::answered *reply holds a reference
// for the caller.
typedef std::function<HostReply(const char* name, GVariant* parameters, GVariant** reply)> HostDialogTransport;

// Sends each dialog to the host while the host answers; from the first message the host leaves
// unhandled on, and for any dialog that cannot be delivered, runs it on the fallback toolkit
// instead (made on first need), free standing above other windows. MainWindow() stands for the
// host's window while the host is believed to answer.
typedef std::function<std::unique_ptr<DialogToolkit>()> DialogToolkitFactory;
std::unique_ptr<DialogToolkit> MakeHostDialogToolkit(HostDialogTransport transport, DialogToolkitFactory makeFallback);

// The reply channel: a message to the host carries one end of a socket; the host writes its reply
// there (WriteHostReply, a floating reply is sunk) and closes it, and the plug-in reads it
// (ReadHostReply) without running a main loop. A host that closes without writing leaves the
// message unhandled.
bool WriteHostReply(int fd, GVariant* reply);
HostReply ReadHostReply(int fd, GVariant** reply);

// The text of a byte string (ay) of a host message, which may arrive without its terminating NUL;
// empty for a value of another type.
std::string HostMessageText(GVariant* bytes);

// The host's side: runs the dialog that message name asks for on toolkit, in front of window, and
// returns the reply (floating); null when name is not a dialog message or its parameters do not
// fit, which the host should answer as unhandled.
GVariant* AnswerHostDialogMessage(const char* name, GVariant* parameters, DialogToolkit& toolkit,
                                  DialogWindow window);
