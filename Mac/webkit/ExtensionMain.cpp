// The entry point WebKit calls when it loads the plug-in into a web process.
#include "HostLink.h"
#include "HostProtocol.h"
#include "PageBinding.h"

#include "Platform/SystemLog/SystemLog.h"

#include <cstdio>

namespace {
void EchoSystemLog(const char* identity, int, const char* text, void*)
{
    fprintf(stderr, "syslog: %s: %s\n", identity, text);
    fflush(stderr);
}

// The host's settings are optional: any host that merely points at the plug-in's folder runs it.
void ApplyHostSettings(GVariant* settings)
{
    if (!settings || !g_variant_is_of_type(settings, G_VARIANT_TYPE_VARDICT))
        return;
    gboolean on = FALSE;
    if (g_variant_lookup(settings, kHostSettingEchoSystemLog, "b", &on) && on)
        SystemLogSetObserver(&EchoSystemLog, nullptr);
    if (g_variant_lookup(settings, kHostSettingBenchmarkReference, "b", &on) && on)
        ExposeBenchmarkReference();
}

void WindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer)
{
    BindDocument(page, frame, world);
}

void PageGone(gpointer data, GObject*)
{
    const guint64 pageId = static_cast<guint64>(reinterpret_cast<uintptr_t>(data));
    EndPageDocuments(pageId);
    ForgetHostPage(pageId);
}

void PageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer)
{
    WatchHostMessages(page);
    g_object_weak_ref(G_OBJECT(page), &PageGone,
                      reinterpret_cast<gpointer>(static_cast<uintptr_t>(webkit_web_page_get_id(page))));
}
}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(WebKitWebExtension* extension,
                                                                                GVariant* settings)
{
    ApplyHostSettings(settings);
    InstallHostServices();
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(&WindowObjectCleared),
                     nullptr);
    g_signal_connect(extension, "page-created", G_CALLBACK(&PageCreated), nullptr);
}
