#include "PageBinding.h"

#include "HostLink.h"
#include "HostProtocol.h"
#include "qvwebkitplugin.h"

#include <cmath>
#include <cstring>
#include <map>
#include <vector>

const char kPluginMimeType[] = "application/x-qiravel-webclient";

namespace {
// The start-up script, compiled into the plug-in as a resource.
const char kStartupScriptUri[] = "resource:///com/qiravel/webclient/PluginElements.js";
extern "C" GResource* qv_plugin_elements_get_resource(void);

enum DragPhase { kDragEntered = 0, kDragUpdated = 1 };

struct Document {
    WebKitWebPage* page;
    guint64 pageId;
    guint64 frameId;
    std::vector<double> views;
};

std::map<guint64, Document> sDocuments;
bool sBenchmarkReference = false;
std::map<double, QVWebKitPlugin*> sViews;
guint64 sLastDocument = 0;
double sLastView = 0;

guint64 SerialOf(gpointer data) { return static_cast<guint64>(reinterpret_cast<uintptr_t>(data)); }
gpointer DataOf(guint64 serial) { return reinterpret_cast<gpointer>(static_cast<uintptr_t>(serial)); }

Document* DocumentOf(gpointer data)
{
    const auto found = sDocuments.find(SerialOf(data));
    return found == sDocuments.end() ? nullptr : &found->second;
}

// The view of this document with that number, or null (also once it was released).
QVWebKitPlugin* ViewOf(Document* document, double view)
{
    if (!document || std::isnan(view))
        return nullptr;
    for (const double own : document->views) {
        if (own == view) {
            const auto found = sViews.find(view);
            return found == sViews.end() ? nullptr : found->second;
        }
    }
    return nullptr;
}

void EndDocument(guint64 serial)
{
    const auto found = sDocuments.find(serial);
    if (found == sDocuments.end())
        return;
    const std::vector<double> views = found->second.views;
    sDocuments.erase(found);
    for (const double view : views) {
        const auto entry = sViews.find(view);
        if (entry == sViews.end())
            continue;
        QVWebKitPlugin* plugin = entry->second;
        sViews.erase(entry);
        plugin->release();
    }
}

// Which of the view's selectors script may call, and under which names: asked of the view class
// once, as a script bridge asks when it first meets the class.
const std::vector<std::pair<std::string, std::string>>& ExposedMethods()
{
    static const std::vector<std::pair<std::string, std::string>> exposed = [] {
        const std::map<std::string, std::string> bridged = {{"Initialize:inLoggingCallback:", "initialize"},
                                                            {"ExecuteRequest:", "execute"}};
        std::vector<std::pair<std::string, std::string>> methods;
        for (const std::string& selector : QVWebKitPlugin::methodSelectors()) {
            if (QVWebKitPlugin::isSelectorExcludedFromWebScript(selector.c_str()))
                continue;
            const char* name = QVWebKitPlugin::webScriptNameForSelector(selector.c_str());
            const auto kind = bridged.find(selector);
            if (name && kind != bridged.end())
                methods.emplace_back(name, kind->second);
            else
                g_warning("plug-in: the view exposes %s, which cannot be bridged to script", selector.c_str());
        }
        return methods;
    }();
    return exposed;
}

std::vector<std::pair<std::string, std::string>> ScriptMethods()
{
    std::vector<std::pair<std::string, std::string>> methods = ExposedMethods();
    if (sBenchmarkReference)
        methods.emplace_back(kBenchmarkReferenceMethod, "empty");
    return methods;
}

std::string ArrayItem(JSCValue* array, gint32 index)
{
    JSCValue* item = jsc_value_object_get_property_at_index(array, static_cast<guint>(index));
    std::string text;
    ScriptValueToText(item, &text);
    g_object_unref(item);
    return text;
}

double CreateViewFor(JSCValue* names, JSCValue* values, gpointer data)
{
    Document* document = DocumentOf(data);
    if (!document)
        return NAN;
    PluginArguments arguments;
    JSCValue* length = jsc_value_object_get_property(names, "length");
    const gint32 count = jsc_value_to_int32(length);
    g_object_unref(length);
    for (gint32 i = 0; i < count; ++i)
        arguments[ArrayItem(names, i)] = ArrayItem(values, i);
    QVWebKitPlugin* view = QVWebKitPlugin::plugInViewWithArguments(arguments);
    if (!view)
        return NAN;
    view->objectForWebScript();
    const double number = ++sLastView;
    sViews[number] = view;
    document->views.push_back(number);
    return number;
}

char* InitializeView(double number, JSCValue* notificationCallback, JSCValue* loggingCallback, gpointer data)
{
    Document* document = DocumentOf(data);
    QVWebKitPlugin* view = ViewOf(document, number);
    if (!view)
        return g_strdup("failed");
    HostPageScope scope(document->page);
    return g_strdup(view->Initialize(WebScriptObject::FromValue(notificationCallback),
                                     WebScriptObject::FromValue(loggingCallback))
                        .c_str());
}

int ExecuteViewRequest(double number, JSCValue* requestText, gpointer data)
{
    Document* document = DocumentOf(data);
    QVWebKitPlugin* view = ViewOf(document, number);
    if (!view)
        return 0;
    HostPageScope scope(document->page);
    std::string text;
    return view->ExecuteRequest(ScriptValueToText(requestText, &text) ? text.c_str() : nullptr);
}

// The drag as the view sees it: file names when the page's event says it carries files or the host
// reported the files; their paths once the host has reported them.
NSDraggingInfo DraggingInfoFor(Document* document, bool carriesFiles)
{
    std::vector<std::string> paths;
    const bool reported = document->page && HostDragPaths(document->page, &paths);
    std::vector<std::string> types;
    if (carriesFiles || (reported && !paths.empty()))
        types.push_back(NSFilenamesPboardType);
    return NSDraggingInfo(NSPasteboard(types, paths, reported));
}

// A view hears of a drag only when it registered for one of the drag's types.
bool Registered(QVWebKitPlugin* view, const NSDraggingInfo& info)
{
    for (const std::string& type : view->registeredDraggedTypes()) {
        if (info.draggingPasteboard().typesContain(type.c_str()))
            return true;
    }
    return false;
}

int DragOverView(double number, int phase, gboolean carriesFiles, gpointer data)
{
    Document* document = DocumentOf(data);
    QVWebKitPlugin* view = ViewOf(document, number);
    if (!view)
        return NSDragOperationNone;
    const NSDraggingInfo info = DraggingInfoFor(document, carriesFiles);
    if (!Registered(view, info))
        return NSDragOperationNone;
    return static_cast<int>(phase == kDragEntered ? view->draggingEntered(info) : view->draggingUpdated(info));
}

gboolean DropOnView(double number, gboolean carriesFiles, gpointer data)
{
    Document* document = DocumentOf(data);
    QVWebKitPlugin* view = ViewOf(document, number);
    if (!view)
        return FALSE;
    const NSDraggingInfo info = DraggingInfoFor(document, carriesFiles);
    if (document->page)
        ForgetHostDragPaths(document->page);
    if (!Registered(view, info))
        return FALSE;
    HostPageScope scope(document->page);
    return view->performDragOperation(info);
}

// The functions script calls. No exception may leave them into the script engine: one that
// reaches them fails the call as a view that cannot be made or reached would.
template <typename Result, typename Call>
Result Guarded(Result failed, Call call)
{
    try {
        return call();
    } catch (...) {
        g_warning("plug-in: a call from page script failed with an exception");
        return failed;
    }
}

double CreateView(JSCValue* names, JSCValue* values, gpointer data)
{
    return Guarded<double>(NAN, [&] { return CreateViewFor(names, values, data); });
}

char* Initialize(double number, JSCValue* notificationCallback, JSCValue* loggingCallback, gpointer data)
{
    char* response =
        Guarded<char*>(nullptr, [&] { return InitializeView(number, notificationCallback, loggingCallback, data); });
    return response ? response : g_strdup("failed");
}

int ExecuteRequest(double number, JSCValue* requestText, gpointer data)
{
    return Guarded<int>(0, [&] { return ExecuteViewRequest(number, requestText, data); });
}

int Drag(double number, int phase, gboolean carriesFiles, gpointer data)
{
    return Guarded<int>(NSDragOperationNone, [&] { return DragOverView(number, phase, carriesFiles, data); });
}

gboolean Drop(double number, gboolean carriesFiles, gpointer data)
{
    return Guarded<gboolean>(FALSE, [&] { return DropOnView(number, carriesFiles, data); });
}

void Unload(gpointer data) { EndDocument(SerialOf(data)); }

int Empty(double, JSCValue*, gpointer) { return 0; }

void AddFunction(JSCValue* object, const char* name, GCallback callback, guint64 serial, GType result, guint count,
                 ...)
{
    JSCContext* context = jsc_value_get_context(object);
    va_list types;
    va_start(types, count);
    std::vector<GType> parameters;
    for (guint i = 0; i < count; ++i)
        parameters.push_back(va_arg(types, GType));
    va_end(types);
    JSCValue* function = jsc_value_new_functionv(context, name, callback, DataOf(serial), nullptr, result, count,
                                                 parameters.data());
    jsc_value_object_set_property(object, name, function);
    g_object_unref(function);
}

JSCValue* ExposedList(JSCContext* context)
{
    GPtrArray* list = g_ptr_array_new_with_free_func(g_object_unref);
    for (const auto& method : ScriptMethods()) {
        const char* pair[] = {method.first.c_str(), method.second.c_str(), nullptr};
        g_ptr_array_add(list, jsc_value_new_array_from_strv(context, pair));
    }
    JSCValue* array = jsc_value_new_array_from_garray(context, list);
    g_ptr_array_unref(list);
    return array;
}
}  // namespace

void BindDocument(WebKitWebPage* page, WebKitFrame* frame, WebKitScriptWorld* world)
{
    const guint64 pageId = webkit_web_page_get_id(page);
    const guint64 frameId = webkit_frame_get_id(frame);
    std::vector<guint64> previous;
    for (const auto& document : sDocuments) {
        if (document.second.pageId == pageId && document.second.frameId == frameId)
            previous.push_back(document.first);
    }
    for (const guint64 serial : previous)
        EndDocument(serial);

    const guint64 serial = ++sLastDocument;
    sDocuments[serial] = Document{page, pageId, frameId, {}};
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, world);
    JSCValue* native = jsc_value_new_object(context, nullptr, nullptr);
    AddFunction(native, "create", G_CALLBACK(&CreateView), serial, G_TYPE_DOUBLE, 2, JSC_TYPE_VALUE, JSC_TYPE_VALUE);
    AddFunction(native, "initialize", G_CALLBACK(&Initialize), serial, G_TYPE_STRING, 3, G_TYPE_DOUBLE,
                JSC_TYPE_VALUE, JSC_TYPE_VALUE);
    AddFunction(native, "execute", G_CALLBACK(&ExecuteRequest), serial, G_TYPE_INT, 2, G_TYPE_DOUBLE, JSC_TYPE_VALUE);
    AddFunction(native, "drag", G_CALLBACK(&Drag), serial, G_TYPE_INT, 3, G_TYPE_DOUBLE, G_TYPE_INT, G_TYPE_BOOLEAN);
    AddFunction(native, "drop", G_CALLBACK(&Drop), serial, G_TYPE_BOOLEAN, 2, G_TYPE_DOUBLE, G_TYPE_BOOLEAN);
    AddFunction(native, "unload", G_CALLBACK(&Unload), serial, G_TYPE_NONE, 0);
    AddFunction(native, "empty", G_CALLBACK(&Empty), serial, G_TYPE_INT, 2, G_TYPE_DOUBLE, JSC_TYPE_VALUE);

    GBytes* script = g_resource_lookup_data(qv_plugin_elements_get_resource(), kStartupScriptUri + strlen("resource://"),
                                            G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    gsize size = 0;
    const char* code = script ? static_cast<const char*>(g_bytes_get_data(script, &size)) : "";
    JSCValue* setup = jsc_context_evaluate_with_source_uri(context, code, static_cast<gssize>(size),
                                                           kStartupScriptUri, 1);
    if (script)
        g_bytes_unref(script);
    JSCValue* mimeType = jsc_value_new_string(context, kPluginMimeType);
    JSCValue* exposed = ExposedList(context);
    JSCValue* result = nullptr;
    if (setup && jsc_value_is_function(setup))
        result = jsc_value_function_call(setup, JSC_TYPE_VALUE, native, JSC_TYPE_VALUE, mimeType, JSC_TYPE_VALUE,
                                         exposed, G_TYPE_NONE);
    if (JSCException* exception = jsc_context_get_exception(context)) {
        g_warning("plug-in: the start-up script failed in %s: %s", webkit_frame_get_uri(frame),
                  jsc_exception_get_message(exception));
        jsc_context_clear_exception(context);
    }
    for (JSCValue* value : {result, exposed, mimeType, setup, native}) {
        if (value)
            g_object_unref(value);
    }
    g_object_unref(context);
}

void EndPageDocuments(guint64 pageId)
{
    std::vector<guint64> ended;
    for (const auto& document : sDocuments) {
        if (document.second.pageId == pageId)
            ended.push_back(document.first);
    }
    for (const guint64 serial : ended)
        EndDocument(serial);
}

void ExposeBenchmarkReference() { sBenchmarkReference = true; }
