// The plug-in's side of the link to the browser that hosts it: questions to the host, whose answers
// are awaited without running the main loop, and the paths of the drag the host reports over a page.
#pragma once

#include "Platform/Dialogs/host/HostDialogs.h"

#include <webkit2/webkit-web-extension.h>

#include <string>
#include <vector>

// The page that the plug-in's calls are made for while it lives; dialogs and launches go to that
// page's host. Scopes nest.
class HostPageScope {
public:
    explicit HostPageScope(WebKitWebPage* page);
    ~HostPageScope();
    HostPageScope(const HostPageScope&) = delete;
    HostPageScope& operator=(const HostPageScope&) = delete;
};
// The innermost scope's page, or null (also once that page is gone).
WebKitWebPage* CurrentHostPage();

// Sends one message to the host of page (sinking a floating parameters reference) and waits for
// the host's answer or for the host to close the reply channel.
HostReply SendToHost(WebKitWebPage* page, const char* name, GVariant* parameters, GVariant** reply);

// Installs the host dialog toolkit (over in-process GTK dialogs) and the launcher that asks the
// host, falling back to launching here.
void InstallHostServices();

// Follows the host's drag messages for the page, until ForgetHostPage when the page goes.
void WatchHostMessages(WebKitWebPage* page);
void ForgetHostPage(guint64 pageId);
// Whether the host reported paths for the drag over the page, and which.
bool HostDragPaths(WebKitWebPage* page, std::vector<std::string>* paths);
void ForgetHostDragPaths(WebKitWebPage* page);
