#include "HostServices.h"

#include "Mac/webkit/HostProtocol.h"
#include "Platform/Dialogs/host/HostDialogs.h"
#include "Platform/Workspace/Workspace.h"

#include <gio/gunixfdlist.h>

#include <algorithm>
#include <set>
#include <unistd.h>

namespace {
struct PendingMessage {
    HostServices* services;
    WebKitUserMessage* message;
};

// The only program that the plug-in may have launched: its Assistant.
const char kAssistantBundleIdentifier[] = "com.qiravel.Assistant";

// The idle answers still to run, so that none outlives the services.
std::set<guint> sPendingAnswers;
}  // namespace

HostServices::HostServices(WebKitWebView* view, GtkWindow* window, std::unique_ptr<DialogToolkit> toolkit,
                           std::function<void(const std::string&)> onRequest)
    : mView(view), mWindow(window), mToolkit(std::move(toolkit)), mOnRequest(std::move(onRequest))
{
    mHandlers.push_back(g_signal_connect(view, "user-message-received", G_CALLBACK(&MessageReceived), this));
    // After WebKit's own handlers, which take the drag for the page.
    mHandlers.push_back(g_signal_connect_after(view, "drag-data-received", G_CALLBACK(&DragDataReceived), this));
    mHandlers.push_back(g_signal_connect_after(view, "drag-leave", G_CALLBACK(&DragLeft), this));
    // Before WebKit's, which ends the signal's emission.
    mHandlers.push_back(g_signal_connect(view, "drag-drop", G_CALLBACK(&DragDropped), this));
}

HostServices::~HostServices()
{
    for (const gulong handler : mHandlers)
        g_signal_handler_disconnect(mView, handler);
    if (mDragEndSource)
        g_source_remove(mDragEndSource);
    for (const guint source : sPendingAnswers)
        g_source_remove(source);
    sPendingAnswers.clear();
}

// Dialogs run modally, so they are answered from the main loop rather than inside WebKit's
// delivery of the message.
gboolean HostServices::MessageReceived(WebKitWebView*, WebKitUserMessage* message, gpointer self)
{
    const std::string name = webkit_user_message_get_name(message);
    if (name != kHostOpenPanelMessage && name != kHostAlertMessage && name != kHostLaunchMessage)
        return FALSE;
    auto* pending = new PendingMessage{static_cast<HostServices*>(self), WEBKIT_USER_MESSAGE(g_object_ref(message))};
    sPendingAnswers.insert(g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, &AnswerMessage, pending, [](gpointer data) {
        auto* pending = static_cast<PendingMessage*>(data);
        g_object_unref(pending->message);
        delete pending;
    }));
    return TRUE;
}

gboolean HostServices::AnswerMessage(gpointer data)
{
    sPendingAnswers.erase(g_source_get_id(g_main_current_source()));
    auto* pending = static_cast<PendingMessage*>(data);
    const char* name = webkit_user_message_get_name(pending->message);
    GUnixFDList* channel = webkit_user_message_get_fd_list(pending->message);
    const int fd = channel && g_unix_fd_list_get_length(channel) == 1 ? g_unix_fd_list_get(channel, 0, nullptr) : -1;
    GVariant* reply = pending->services->Answer(name, webkit_user_message_get_parameters(pending->message));
    // Closed without a reply, the channel tells the plug-in that the message was not understood.
    if (reply && fd >= 0)
        WriteHostReply(fd, reply);
    else if (reply)
        g_variant_unref(g_variant_ref_sink(reply));
    if (fd >= 0)
        close(fd);
    return G_SOURCE_REMOVE;
}

GVariant* HostServices::Answer(const char* name, GVariant* parameters)
{
    if (g_strcmp0(name, kHostLaunchMessage) == 0) {
        if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ayu)")))
            return nullptr;
        GVariant* identifier = g_variant_get_child_value(parameters, 0);
        guint32 options = 0;
        g_variant_get_child(parameters, 1, "u", &options);
        const std::string bundleIdentifier = HostMessageText(identifier);
        g_variant_unref(identifier);
        if (bundleIdentifier != kAssistantBundleIdentifier) {
            Report("launch refused " + bundleIdentifier);
            return g_variant_new("(b)", FALSE);
        }
        Report("launch " + bundleIdentifier);
        return g_variant_new("(b)", WorkspaceLaunchAppWithBundleIdentifier(bundleIdentifier.c_str(), options));
    }
    if (parameters && g_variant_is_container(parameters) && g_variant_n_children(parameters) > 0) {
        GVariant* first = g_variant_get_child_value(parameters, 0);
        if (g_variant_is_of_type(first, G_VARIANT_TYPE_BYTESTRING))
            Report(std::string("dialog ") + (g_strcmp0(name, kHostAlertMessage) == 0 ? "alert " : "panel ") +
                   HostMessageText(first));
        g_variant_unref(first);
    }
    return AnswerHostDialogMessage(name, parameters, *mToolkit, reinterpret_cast<DialogWindow>(mWindow));
}

void HostServices::Report(std::string request) const
{
    if (!mOnRequest)
        return;
    while (!request.empty() && g_ascii_isspace(request.back()))
        request.pop_back();
    mOnRequest(request);
}

void HostServices::SendToPage(const char* name, GVariant* parameters)
{
    webkit_web_view_send_message_to_page(mView, webkit_user_message_new(name, parameters), nullptr, nullptr, nullptr);
}

void HostServices::DragDataReceived(GtkWidget*, GdkDragContext*, gint, gint, GtkSelectionData* data, guint, guint,
                                    gpointer self)
{
    gchar** uris = gtk_selection_data_get_uris(data);
    if (!uris)
        return;
    auto* services = static_cast<HostServices*>(self);
    services->mDraggedUris.assign(uris, uris + g_strv_length(uris));
    GVariantBuilder paths;
    g_variant_builder_init(&paths, G_VARIANT_TYPE_BYTESTRING_ARRAY);
    for (gchar** uri = uris; *uri; ++uri) {
        if (gchar* path = g_filename_from_uri(*uri, nullptr, nullptr)) {
            g_variant_builder_add_value(&paths, g_variant_new_bytestring(path));
            g_free(path);
        }
    }
    g_strfreev(uris);
    services->SendToPage(kHostDragPathsMessage, g_variant_new("(@aay)", g_variant_builder_end(&paths)));
}

// GTK reports a leave just before every drop too; only a leave that no drop follows ends the drag.
void HostServices::DragLeft(GtkWidget*, GdkDragContext*, guint, gpointer self)
{
    auto* services = static_cast<HostServices*>(self);
    if (!services->mDragEndSource)
        services->mDragEndSource = g_idle_add(&DragEnded, services);
}

gboolean HostServices::DragDropped(GtkWidget*, GdkDragContext*, gint, gint, guint, gpointer self)
{
    auto* services = static_cast<HostServices*>(self);
    if (services->mDragEndSource) {
        g_source_remove(services->mDragEndSource);
        services->mDragEndSource = 0;
    }
    return FALSE;
}

gboolean HostServices::DragEnded(gpointer self)
{
    auto* services = static_cast<HostServices*>(self);
    services->mDragEndSource = 0;
    services->SendToPage(kHostDragEndedMessage, g_variant_new("()"));
    return G_SOURCE_REMOVE;
}

bool HostServices::IsDroppedFile(const char* uri) const
{
    return uri && std::find(mDraggedUris.begin(), mDraggedUris.end(), uri) != mDraggedUris.end();
}
