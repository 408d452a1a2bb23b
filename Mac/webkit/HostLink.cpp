#include "HostLink.h"

#include "HostProtocol.h"
#include "ModalState.h"

#include "Platform/Workspace/Workspace.h"

#include <gio/gunixfdlist.h>

#include <map>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Live pages by id; a page leaves when it goes, so a scope never hands out a gone page.
std::map<guint64, WebKitWebPage*> sPages;
std::vector<guint64> sScopes;
// The paths of the drag over each page, once the host has reported them.
std::map<guint64, std::vector<std::string>> sDragPaths;

GVariant* ByteString(const char* text) { return g_variant_new_bytestring(text ? text : ""); }

// Marks the whole dialog, on the host or here, as a modal wait.
class ModalDialogToolkit : public DialogToolkit {
public:
    explicit ModalDialogToolkit(std::unique_ptr<DialogToolkit> inner) : mInner(std::move(inner)) {}
    bool HasApplication() const override { return mInner->HasApplication(); }
    DialogWindow MainWindow() const override { return mInner->MainWindow(); }
    OpenPanelResult RunOpenPanel(const OpenPanelRequest& request) override
    {
        ModalWait wait;
        return mInner->RunOpenPanel(request);
    }
    AlertResult RunAlert(const AlertRequest& request) override
    {
        ModalWait wait;
        return mInner->RunAlert(request);
    }

private:
    std::unique_ptr<DialogToolkit> mInner;
};

HostReply AskCurrentHost(const char* name, GVariant* parameters, GVariant** reply)
{
    WebKitWebPage* page = CurrentHostPage();
    if (!page) {
        g_variant_unref(g_variant_ref_sink(parameters));
        return HostReply::failed;
    }
    return SendToHost(page, name, parameters, reply);
}

// The host starts the Assistant outside this process's sandbox; without a host that answers,
// it is started from here.
bool LaunchThroughHost(const char* bundleIdentifier, UInt32 options)
{
    GVariant* reply = nullptr;
    const HostReply answer =
        AskCurrentHost(kHostLaunchMessage, g_variant_new("(@ayu)", ByteString(bundleIdentifier), options), &reply);
    if (answer == HostReply::answered && reply && g_variant_is_of_type(reply, G_VARIANT_TYPE("(b)"))) {
        gboolean accepted = FALSE;
        g_variant_get(reply, "(b)", &accepted);
        g_variant_unref(reply);
        return accepted;
    }
    if (reply)
        g_variant_unref(reply);
    return WorkspaceLaunchDesktopEntry(bundleIdentifier, options);
}

gboolean HostMessageReceived(WebKitWebPage* page, WebKitUserMessage* message, gpointer)
{
    const char* name = webkit_user_message_get_name(message);
    GVariant* parameters = webkit_user_message_get_parameters(message);
    const guint64 id = webkit_web_page_get_id(page);
    if (g_strcmp0(name, kHostDragPathsMessage) == 0 && parameters &&
        g_variant_is_of_type(parameters, G_VARIANT_TYPE("(aay)"))) {
        GVariant* list = g_variant_get_child_value(parameters, 0);
        std::vector<std::string>& paths = sDragPaths[id];
        paths.clear();
        for (gsize i = 0; i < g_variant_n_children(list); ++i) {
            GVariant* path = g_variant_get_child_value(list, i);
            const std::string text = HostMessageText(path);
            if (!text.empty())
                paths.push_back(text);
            g_variant_unref(path);
        }
        g_variant_unref(list);
        return TRUE;
    }
    if (g_strcmp0(name, kHostDragEndedMessage) == 0) {
        sDragPaths.erase(id);
        return TRUE;
    }
    return FALSE;
}
}  // namespace

HostPageScope::HostPageScope(WebKitWebPage* page) { sScopes.push_back(page ? webkit_web_page_get_id(page) : 0); }

HostPageScope::~HostPageScope() { sScopes.pop_back(); }

WebKitWebPage* CurrentHostPage()
{
    if (sScopes.empty())
        return nullptr;
    const auto page = sPages.find(sScopes.back());
    return page == sPages.end() ? nullptr : page->second;
}

HostReply SendToHost(WebKitWebPage* page, const char* name, GVariant* parameters, GVariant** reply)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        g_variant_unref(g_variant_ref_sink(parameters));
        return HostReply::failed;
    }
    // The list owns the host's end; it is closed here once WebKit has passed it on.
    GUnixFDList* hostEnd = g_unix_fd_list_new_from_array(&ends[1], 1);
    webkit_web_page_send_message_to_view(page, webkit_user_message_new_with_fd_list(name, parameters, hostEnd), nullptr,
                                         nullptr, nullptr);
    g_object_unref(hostEnd);
    const HostReply answer = ReadHostReply(ends[0], reply);
    close(ends[0]);
    return answer;
}

void InstallHostServices()
{
    SetDialogToolkit(std::make_unique<ModalDialogToolkit>(
        MakeHostDialogToolkit(&AskCurrentHost, [] { return MakeGtkDialogToolkit(); })));
    WorkspaceSetLauncher(&LaunchThroughHost);
}

void WatchHostMessages(WebKitWebPage* page)
{
    sPages[webkit_web_page_get_id(page)] = page;
    g_signal_connect(page, "user-message-received", G_CALLBACK(&HostMessageReceived), nullptr);
}

void ForgetHostPage(guint64 pageId)
{
    sPages.erase(pageId);
    sDragPaths.erase(pageId);
}

bool HostDragPaths(WebKitWebPage* page, std::vector<std::string>* paths)
{
    const auto found = sDragPaths.find(webkit_web_page_get_id(page));
    if (found == sDragPaths.end())
        return false;
    *paths = found->second;
    return true;
}

void ForgetHostDragPaths(WebKitWebPage* page) { sDragPaths.erase(webkit_web_page_get_id(page)); }
