// What the browser does for the plug-in in its web processes: shows its dialogs in front of the
// browser window, launches the Assistant (and no other program) outside the sandbox, and tells
// the page which files a drag over it carries.
#pragma once

#include "Platform/Dialogs/Dialogs.h"

#include <webkit2/webkit2.h>

#include <functional>
#include <memory>

class HostServices {
public:
    // Dialogs run on toolkit (GTK, or scripted in tests) in front of window. onRequest hears of
    // each request of the plug-in: "dialog panel <title>", "dialog alert <message>" or
    // "launch <bundle identifier>" ("launch refused <bundle identifier>" for any program but the
    // Assistant, which is the only one launched).
    HostServices(WebKitWebView* view, GtkWindow* window, std::unique_ptr<DialogToolkit> toolkit,
                 std::function<void(const std::string& request)> onRequest);
    ~HostServices();
    HostServices(const HostServices&) = delete;
    HostServices& operator=(const HostServices&) = delete;

    // Whether a navigation to uri is the browser opening a file dropped on the page; such a drop
    // missed the plug-in, and leaves the page where it is.
    bool IsDroppedFile(const char* uri) const;

private:
    static gboolean MessageReceived(WebKitWebView* view, WebKitUserMessage* message, gpointer self);
    static gboolean AnswerMessage(gpointer pending);
    static void DragDataReceived(GtkWidget* widget, GdkDragContext* context, gint x, gint y, GtkSelectionData* data,
                                 guint info, guint time, gpointer self);
    static void DragLeft(GtkWidget* widget, GdkDragContext* context, guint time, gpointer self);
    static gboolean DragDropped(GtkWidget* widget, GdkDragContext* context, gint x, gint y, guint time, gpointer self);
    static gboolean DragEnded(gpointer self);
    GVariant* Answer(const char* name, GVariant* parameters);
    void SendToPage(const char* name, GVariant* parameters);
    void Report(std::string request) const;

    WebKitWebView* mView;
    GtkWindow* mWindow;
    std::unique_ptr<DialogToolkit> mToolkit;
    std::function<void(const std::string&)> mOnRequest;
    std::vector<std::string> mDraggedUris;
    guint mDragEndSource = 0;
    std::vector<gulong> mHandlers;
};
