// The plug-in view: the browser creates one per element that embeds the plug-in, and it is all
// that page script sees of the plug-in: the methods Initialize and ExecuteRequest. It keeps the
// page's two callbacks, owns the instance's binding to the core, and takes files and folders
// dropped on it.
#pragma once

#include "DraggingInfo.h"
#include "WebScriptBridge.h"

#include <glib.h>

#include <memory>
#include <string>
#include <vector>

class CQVWebClientWebKitMac;

class QVWebKitPlugin {
public:
    // The factory entry the browser calls for each embedding element.
    static QVWebKitPlugin* plugInViewWithArguments(const PluginArguments& arguments);
    // The view's selectors, as the browser lists them to learn which to expose to script.
    static const std::vector<std::string>& methodSelectors();
    static bool isSelectorExcludedFromWebScript(const char* selector);
    // The script name of an exposed selector; null for the host's default naming.
    static const char* webScriptNameForSelector(const char* selector);

    // The browser is done with the view: dealloc runs from the main loop once none of the view's
    // calls is in progress (a page callback or a dialog may be running inside one).
    void release();

    const PluginArguments* pluginArguments() const;
    void setPluginArguments(const PluginArguments* arguments);
    QVWebKitPlugin* objectForWebScript();
    // The pasteboard types the view accepts drops of; none before Initialize.
    const std::vector<std::string>& registeredDraggedTypes() const { return mRegisteredDraggedTypes; }

    // Script methods. A null request text stands for nil.
    std::string Initialize(const WebScriptObject& notificationCallback, const WebScriptObject& loggingCallback);
    int ExecuteRequest(const char* requestText);

    // Calls into the page; a null text stands for text that could not be decoded.
    bool NotifyBrowser(const char* text);
    void LogToBrowser(const char* text);

    NSDragOperation draggingEntered(const NSDraggingInfo& sender);
    NSDragOperation draggingUpdated(const NSDraggingInfo& sender);
    NSDragOperation draggingSourceOperationMaskForLocal(bool isLocal);
    bool performDragOperation(const NSDraggingInfo& sender);

private:
    // Marks a call of the view in progress, so that release waits for its end.
    class CallScope {
    public:
        explicit CallScope(QVWebKitPlugin* view);
        ~CallScope();
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;

    private:
        QVWebKitPlugin* mView;
    };

    QVWebKitPlugin() = default;
    ~QVWebKitPlugin() = default;
    QVWebKitPlugin* initWithArguments(const PluginArguments& arguments);
    void dealloc();
    void registerForDraggedTypes(const std::vector<std::string>& types);
    // True, with a warning on the instance's log, when a request reaches the view while one of its
    // calls waits on a modal dialog.
    bool RefuseWhileDialogOpen(const char* what);
    void ScheduleDealloc();
    static gboolean DeallocWhenIdle(gpointer view);

    std::unique_ptr<PluginArguments> mPluginArguments;
    WebScriptObject mNotificationCallback;
    WebScriptObject mLoggingCallback;
    CQVWebClientWebKitMac* mQVWebPlugin = nullptr;
    std::vector<std::string> mRegisteredDraggedTypes;
    int mCallDepth = 0;
    bool mReleaseRequested = false;
    guint mDeallocSource = 0;
};

// Writes the text as one console-log line.
void InvokeNSLog(const char* text);
