// A web process extension in place of the plug-in, playing a web process that a page has taken
// over: once a document has loaded, it asks its browser to launch another program and then the
// Assistant, and prints each answer to standard error ("probe: <identifier> accepted|refused|
// unanswered").
#include "HostLink.h"
#include "HostProtocol.h"

#include <cstdio>

namespace {
void Ask(WebKitWebPage* page, const char* identifier)
{
    GVariant* reply = nullptr;
    const HostReply answer = SendToHost(page, kHostLaunchMessage,
                                        g_variant_new("(@ayu)", g_variant_new_bytestring(identifier), 0u), &reply);
    gboolean accepted = FALSE;
    const bool answered = answer == HostReply::answered && reply && g_variant_is_of_type(reply, G_VARIANT_TYPE("(b)"));
    if (answered)
        g_variant_get(reply, "(b)", &accepted);
    if (reply)
        g_variant_unref(reply);
    fprintf(stderr, "probe: %s %s\n", identifier, !answered ? "unanswered" : accepted ? "accepted" : "refused");
    fflush(stderr);
}

void DocumentLoaded(WebKitWebPage* page, gpointer)
{
    Ask(page, "com.qiravel.Other");
    Ask(page, "com.qiravel.Assistant");
}

void PageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer)
{
    g_signal_connect(page, "document-loaded", G_CALLBACK(&DocumentLoaded), nullptr);
}
}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize(WebKitWebExtension* extension)
{
    g_signal_connect(extension, "page-created", G_CALLBACK(&PageCreated), nullptr);
}
