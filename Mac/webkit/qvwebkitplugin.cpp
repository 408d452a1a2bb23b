#include "qvwebkitplugin.h"

#include "CQVWebClientWebKitMac.h"
#include "ModalState.h"

#include <cstring>

// One console line per entry point: "Plug-in: File=<this file> line=<line> proc=<method> ", then
// for some a suffix.
#define TRACE(proc) Trace(__LINE__, proc, "%s", "")
#define TRACE_WITH(proc, ...) Trace(__LINE__, proc, __VA_ARGS__)

const char NSFilenamesPboardType[] = "NSFilenamesPboardType";

namespace {
const char kInitializeSelector[] = "Initialize:inLoggingCallback:";
const char kExecuteRequestSelector[] = "ExecuteRequest:";

void Trace(int line, const char* proc, const char* format, ...) __attribute__((format(printf, 3, 4)));
void Trace(int line, const char* proc, const char* format, ...)
{
    const char* file = strrchr(__FILE__, '/') ? strrchr(__FILE__, '/') + 1 : __FILE__;
    va_list arguments;
    va_start(arguments, format);
    char* suffix = g_strdup_vprintf(format, arguments);
    va_end(arguments);
    NSLog("Plug-in: File=%s line=%d proc=%s %s", file, line, proc, suffix);
    g_free(suffix);
}
}  // namespace

QVWebKitPlugin* QVWebKitPlugin::plugInViewWithArguments(const PluginArguments& arguments)
{
    TRACE("+[QVWebKitPlugin plugInViewWithArguments:]");
    QVWebKitPlugin* view = new QVWebKitPlugin;
    if (!view->initWithArguments(arguments)) {
        delete view;
        return nullptr;
    }
    return view;
}

const std::vector<std::string>& QVWebKitPlugin::methodSelectors()
{
    static const std::vector<std::string> selectors = {
        "initWithArguments:", "dealloc", "pluginArguments", "setPluginArguments:", "objectForWebScript",
        kInitializeSelector, kExecuteRequestSelector, "NotifyBrowser:", "LogToBrowser:", "draggingEntered:",
        "draggingUpdated:", "draggingSourceOperationMaskForLocal:", "performDragOperation:",
    };
    return selectors;
}

bool QVWebKitPlugin::isSelectorExcludedFromWebScript(const char* selector)
{
    TRACE_WITH("+[QVWebKitPlugin isSelectorExcludedFromWebScript:]", "selector = '%s'", selector);
    return strcmp(selector, kInitializeSelector) != 0 && strcmp(selector, kExecuteRequestSelector) != 0;
}

const char* QVWebKitPlugin::webScriptNameForSelector(const char* selector)
{
    TRACE_WITH("+[QVWebKitPlugin webScriptNameForSelector:]", "aSelector = '%s'", selector);
    if (strcmp(selector, kInitializeSelector) == 0)
        return "Initialize";
    if (strcmp(selector, kExecuteRequestSelector) == 0)
        return "ExecuteRequest";
    return nullptr;
}

QVWebKitPlugin* QVWebKitPlugin::initWithArguments(const PluginArguments& arguments)
{
    TRACE("-[QVWebKitPlugin initWithArguments:]");
    mNotificationCallback = WebScriptObject();
    mLoggingCallback = WebScriptObject();
    mQVWebPlugin = new CQVWebClientWebKitMac(this);
    setPluginArguments(&arguments);
    return this;
}

void QVWebKitPlugin::dealloc()
{
    TRACE("-[QVWebKitPlugin dealloc]");
    setPluginArguments(nullptr);
    mNotificationCallback = WebScriptObject();
    mLoggingCallback = WebScriptObject();
    if (mQVWebPlugin) {
        delete mQVWebPlugin;
        mQVWebPlugin = nullptr;
    }
}

void QVWebKitPlugin::release()
{
    mReleaseRequested = true;
    if (mCallDepth == 0)
        ScheduleDealloc();
}

void QVWebKitPlugin::ScheduleDealloc()
{
    if (!mDeallocSource)
        mDeallocSource = g_idle_add(&DeallocWhenIdle, this);
}

gboolean QVWebKitPlugin::DeallocWhenIdle(gpointer data)
{
    auto* view = static_cast<QVWebKitPlugin*>(data);
    view->mDeallocSource = 0;
    // A call that started meanwhile (inside a nested main loop) schedules it again when it ends.
    if (view->mCallDepth == 0) {
        view->dealloc();
        delete view;
    }
    return G_SOURCE_REMOVE;
}

QVWebKitPlugin::CallScope::CallScope(QVWebKitPlugin* view) : mView(view) { ++mView->mCallDepth; }

QVWebKitPlugin::CallScope::~CallScope()
{
    if (--mView->mCallDepth == 0 && mView->mReleaseRequested)
        mView->ScheduleDealloc();
}

const PluginArguments* QVWebKitPlugin::pluginArguments() const
{
    TRACE("-[QVWebKitPlugin pluginArguments]");
    return mPluginArguments.get();
}

void QVWebKitPlugin::setPluginArguments(const PluginArguments* arguments)
{
    TRACE("-[QVWebKitPlugin setPluginArguments:]");
    if (arguments != mPluginArguments.get())
        mPluginArguments.reset(arguments ? new PluginArguments(*arguments) : nullptr);
}

QVWebKitPlugin* QVWebKitPlugin::objectForWebScript()
{
    TRACE("-[QVWebKitPlugin objectForWebScript]");
    return this;
}

std::string QVWebKitPlugin::Initialize(const WebScriptObject& notificationCallback,
                                       const WebScriptObject& loggingCallback)
{
    CallScope scope(this);
    TRACE("-[QVWebKitPlugin Initialize:inLoggingCallback:]");
    if (notificationCallback) {
        TRACE_WITH("-[QVWebKitPlugin Initialize:inLoggingCallback:]", "Notification callback = '%s'",
              notificationCallback.description().c_str());
        mNotificationCallback = notificationCallback;
    } else {
        TRACE_WITH("-[QVWebKitPlugin Initialize:inLoggingCallback:]", "No notification callback specified");
    }
    if (loggingCallback) {
        TRACE_WITH("-[QVWebKitPlugin Initialize:inLoggingCallback:]", "Logging callback = '%s'",
              loggingCallback.description().c_str());
        mLoggingCallback = loggingCallback;
    } else {
        TRACE_WITH("-[QVWebKitPlugin Initialize:inLoggingCallback:]", "No logging callback specified");
    }
    registerForDraggedTypes({NSFilenamesPboardType});

    xwstring result;
    if (!mQVWebPlugin || !mQVWebPlugin->Initialize(result, true)) {
        TRACE_WITH("-[QVWebKitPlugin Initialize:inLoggingCallback:]", "Intialization failed");
        result = "failed";
    }
    const char* text = result;
    return text ? text : "";
}

int QVWebKitPlugin::ExecuteRequest(const char* requestText)
{
    CallScope scope(this);
    TRACE("-[QVWebKitPlugin ExecuteRequest:]");
    if (!mQVWebPlugin || RefuseWhileDialogOpen("ExecuteRequest"))
        return 0;
    xwstring text(requestText, -1);
    return mQVWebPlugin->ExecuteRequest(static_cast<wchar_t*>(text)) ? 1 : 0;
}

bool QVWebKitPlugin::NotifyBrowser(const char* text)
{
    CallScope scope(this);
    if (mNotificationCallback) {
        if (text)
            mNotificationCallback.callWebScriptMethod("call", {0, text});
        else
            mNotificationCallback.callWebScriptMethod("call", {0});
    }
    return true;
}

void QVWebKitPlugin::LogToBrowser(const char* text)
{
    CallScope scope(this);
    if (mLoggingCallback) {
        if (text)
            mLoggingCallback.callWebScriptMethod("call", {0, text});
        else
            mLoggingCallback.callWebScriptMethod("call", {0});
    }
}

void QVWebKitPlugin::registerForDraggedTypes(const std::vector<std::string>& types) { mRegisteredDraggedTypes = types; }

NSDragOperation QVWebKitPlugin::draggingEntered(const NSDraggingInfo& sender)
{
    return sender.draggingPasteboard().typesContain(NSFilenamesPboardType) ? NSDragOperationCopy
                                                                            : NSDragOperationNone;
}

NSDragOperation QVWebKitPlugin::draggingUpdated(const NSDraggingInfo& sender) { return draggingEntered(sender); }

NSDragOperation QVWebKitPlugin::draggingSourceOperationMaskForLocal(bool) { return NSDragOperationEvery; }

bool QVWebKitPlugin::performDragOperation(const NSDraggingInfo& sender)
{
    CallScope scope(this);
    const NSPasteboard& pasteboard = sender.draggingPasteboard();
    if (!pasteboard.typesContain(NSFilenamesPboardType) || RefuseWhileDialogOpen("A drop"))
        return true;
    const std::vector<std::string>* files = pasteboard.propertyListForType(NSFilenamesPboardType);
    if (mQVWebPlugin && files)
        mQVWebPlugin->AddArrayOfFiles(*files);
    return true;
}

bool QVWebKitPlugin::RefuseWhileDialogOpen(const char* what)
{
    // This call is one; another of this view's is waiting below it.
    if (mCallDepth < 2 || !InModalWait())
        return false;
    if (mQVWebPlugin)
        mQVWebPlugin->LogWarning((std::string(what) + " refused: a dialog of this plug-in is open").c_str());
    return true;
}

void InvokeNSLog(const char* text) { NSLog("%s", text ? text : ""); }
