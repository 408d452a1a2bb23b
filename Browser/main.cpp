// qiravel-browser: a small WebKitGTK browser that hosts the Qiravel Web Client plug-in. It opens one
// page, loads the plug-in into its web processes (sandboxed unless --no-sandbox), shows the
// plug-in's dialogs in front of its window, launches the Assistant for it, and passes drops on to
// it. In test mode the page decides the exit status.
#include "BrowserOptions.h"
#include "HostServices.h"
#include "SandboxFolders.h"
#include "TestMode.h"

#include "Mac/webkit/HostProtocol.h"
#include "Platform/Dialogs/scripted/ScriptedDialogs.h"
#include "Platform/Processes/Processes.h"

#include <webkit2/webkit2.h>

#include <cstdio>
#include <memory>

namespace {
const unsigned int kScreenshotSettleMilliseconds = 500;

struct Browser {
    BrowserOptions options;
    GtkWidget* window = nullptr;
    WebKitWebView* view = nullptr;
    std::unique_ptr<HostServices> services;
    std::unique_ptr<TestMode> test;
    bool loaded = false;
    bool quitting = false;
    int status = 0;
};

int Fail(const std::string& message)
{
    fprintf(stderr, "qiravel-browser: %s\n", message.c_str());
    return 1;
}

std::string ProgramFolder()
{
    gchar* program = g_file_read_link("/proc/self/exe", nullptr);
    gchar* folder = g_path_get_dirname(program ? program : ".");
    std::string result = folder;
    g_free(folder);
    g_free(program);
    return result;
}

// $QIRAVEL_EXTENSIONS_DIR, else the plug-in folder beside the program's bin folder.
std::string ExtensionsFolder()
{
    const char* chosen = g_getenv("QIRAVEL_EXTENSIONS_DIR");
    if (chosen && *chosen)
        return chosen;
    gchar* folder = g_build_filename(ProgramFolder().c_str(), "..", "lib", "qiravel", "web-extensions", nullptr);
    gchar* canonical = g_canonicalize_filename(folder, nullptr);
    std::string result = canonical;
    g_free(canonical);
    g_free(folder);
    return result;
}

// A URL as given; a local path as a file URL, refused when there is no such file.
bool PageUri(const std::string& page, std::string* uri, std::string* error)
{
    if (g_uri_peek_scheme(page.c_str())) {
        *uri = page;
        return true;
    }
    // A query or fragment after a local path (page.html?x=1) stays part of the URL.
    const size_t suffixAt = page.find_first_of("?#");
    const std::string path = page.substr(0, suffixAt);
    gchar* absolute = g_canonicalize_filename(path.c_str(), nullptr);
    const bool exists = g_file_test(absolute, G_FILE_TEST_IS_REGULAR);
    gchar* fileUri = exists ? g_filename_to_uri(absolute, nullptr, nullptr) : nullptr;
    g_free(absolute);
    if (!fileUri) {
        *error = "page not found: " + path;
        return false;
    }
    *uri = std::string(fileUri) + (suffixAt == std::string::npos ? "" : page.substr(suffixAt));
    g_free(fileUri);
    return true;
}

void Quit(Browser* browser, int status)
{
    if (browser->quitting)
        return;
    browser->quitting = true;
    browser->status = status;
    gtk_main_quit();
}

void SnapshotTaken(GObject* source, GAsyncResult* result, gpointer data)
{
    auto* browser = static_cast<Browser*>(data);
    GError* error = nullptr;
    cairo_surface_t* surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
    int status = browser->status;
    if (!surface || cairo_surface_write_to_png(surface, browser->options.screenshot.c_str()) != CAIRO_STATUS_SUCCESS) {
        fprintf(stderr, "qiravel-browser: no screenshot written to %s%s%s\n", browser->options.screenshot.c_str(),
                error ? ": " : "", error ? error->message : "");
        status = 1;
    }
    g_clear_error(&error);
    if (surface)
        cairo_surface_destroy(surface);
    browser->quitting = false;
    Quit(browser, status);
}

// Takes the screenshot (when one was asked for) and then quits.
void Finish(Browser* browser, int status)
{
    if (browser->options.screenshot.empty() || browser->quitting) {
        Quit(browser, status);
        return;
    }
    browser->quitting = true;
    browser->status = status;
    webkit_web_view_get_snapshot(browser->view, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
                                 &SnapshotTaken, browser);
}

gboolean SnapshotAfterLoad(gpointer data)
{
    Finish(static_cast<Browser*>(data), 0);
    return G_SOURCE_REMOVE;
}

void LoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data)
{
    auto* browser = static_cast<Browser*>(data);
    if (event != WEBKIT_LOAD_FINISHED || browser->loaded)
        return;
    browser->loaded = true;
    if (!browser->options.test && !browser->options.screenshot.empty())
        g_timeout_add(kScreenshotSettleMilliseconds, &SnapshotAfterLoad, browser);
}

gboolean LoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data)
{
    auto* browser = static_cast<Browser*>(data);
    // A load the browser gave up itself (a dropped file it did not open) is no failure, nor is one
    // that another navigation replaced.
    if (g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE) ||
        g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
        return FALSE;
    if (!browser->loaded || browser->options.test) {
        Fail(std::string("cannot load ") + uri + ": " + error->message);
        Quit(browser, 1);
    }
    return FALSE;
}

gboolean DecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer data)
{
    auto* browser = static_cast<Browser*>(data);
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION || !browser->services)
        return FALSE;
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    if (webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_OTHER &&
        browser->services->IsDroppedFile(webkit_uri_request_get_uri(request))) {
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    return FALSE;
}

std::unique_ptr<DialogToolkit> DialogsFor(const BrowserOptions& options, std::string* error)
{
    if (options.dialogScript.empty())
        return MakeGtkDialogToolkit();
    gchar* text = nullptr;
    GError* readError = nullptr;
    if (!g_file_get_contents(options.dialogScript.c_str(), &text, nullptr, &readError)) {
        *error = std::string("cannot read the dialog script: ") + readError->message;
        g_error_free(readError);
        return nullptr;
    }
    std::vector<std::string> args;
    auto scripted = std::make_unique<ScriptedDialogToolkit>();
    const bool read = ReadDialogScript(text, &args, error) && ParseScriptedDialogOptions(args, *scripted, *error);
    g_free(text);
    if (read && !args.empty())
        *error = "unexpected " + args.front();
    if (!read || !args.empty()) {
        *error = options.dialogScript + ": " + *error;
        return nullptr;
    }
    return scripted;
}

WebKitWebContext* MakeContext(const BrowserOptions& options, const std::string& extensions,
                              const std::string& runtimeFolder)
{
    WebKitWebContext* context = webkit_web_context_new();
    webkit_web_context_set_web_extensions_directory(context, extensions.c_str());
    if (!options.plainHost) {
        GVariantDict settings;
        g_variant_dict_init(&settings, nullptr);
        g_variant_dict_insert(&settings, kHostSettingEchoSystemLog, "b", options.echoSystemLog);
        g_variant_dict_insert(&settings, kHostSettingBenchmarkReference, "b", options.benchmarkReference);
        webkit_web_context_set_web_extensions_initialization_user_data(context, g_variant_dict_end(&settings));
    }
    if (!options.sandbox) {
        fprintf(stderr, "qiravel-browser: the web process sandbox is off (--no-sandbox): pages run with all of "
                        "this user's rights\n");
        return context;
    }
    webkit_web_context_set_sandbox_enabled(context, TRUE);
    const char* xdgRuntime = g_getenv("XDG_RUNTIME_DIR");
    for (const SandboxFolder& folder : SandboxFolders(runtimeFolder, g_get_home_dir(), xdgRuntime ? xdgRuntime : ""))
        webkit_web_context_add_path_to_sandbox(context, folder.path.c_str(), folder.readOnly);
    for (const std::string& folder : options.readOnlyFolders)
        webkit_web_context_add_path_to_sandbox(context, folder.c_str(), TRUE);
    return context;
}
}  // namespace

int main(int argc, char** argv)
{
    Browser browser;
    std::string error;
    if (!ParseBrowserOptions(std::vector<std::string>(argv + 1, argv + argc), &browser.options, &error)) {
        fprintf(stderr, "qiravel-browser: %s\n%s", error.c_str(), kBrowserUsage);
        return 2;
    }
    const BrowserOptions& options = browser.options;
    if (!gtk_init_check(&argc, &argv))
        return Fail("cannot open the display");
    const std::string extensions = ExtensionsFolder();
    if (!g_file_test(extensions.c_str(), G_FILE_TEST_IS_DIR))
        return Fail("the plug-in folder " + extensions + " does not exist (set QIRAVEL_EXTENSIONS_DIR)");
    std::string uri;
    if (!PageUri(options.page, &uri, &error))
        return Fail(error);
    std::unique_ptr<DialogToolkit> dialogs = DialogsFor(options, &error);
    if (!dialogs)
        return Fail(error);
    // The web processes, and the Assistant started for them, use this browser's runtime folder,
    // whatever XDG_RUNTIME_DIR they are given in the sandbox.
    std::string runtimeFolder;
    if (!GetProcessRuntimeFolder(&runtimeFolder))
        return Fail("the runtime folder is refused; the system log says why");
    g_setenv("QIRAVEL_RUNTIME_DIR", runtimeFolder.c_str(), TRUE);

    WebKitWebContext* context = MakeContext(options, extensions, runtimeFolder);
    WebKitUserContentManager* content = webkit_user_content_manager_new();
    // Held until the end: the services and the test mode outlive a window closed by the user.
    browser.view = WEBKIT_WEB_VIEW(g_object_ref_sink(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                                                  "user-content-manager", content, nullptr)));
    WebKitSettings* settings = webkit_web_view_get_settings(browser.view);
    // A page taken from the back-forward cache would find its plug-in instances gone.
    webkit_settings_set_enable_page_cache(settings, FALSE);
    webkit_settings_set_enable_write_console_messages_to_stdout(settings, options.test);

    browser.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(browser.window), "Qiravel Browser");
    gtk_window_set_default_size(GTK_WINDOW(browser.window), options.width, options.height);
    if (options.x >= 0)
        gtk_window_move(GTK_WINDOW(browser.window), options.x, options.y);
    gtk_container_add(GTK_CONTAINER(browser.window), GTK_WIDGET(browser.view));
    g_signal_connect(browser.window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
                         Quit(static_cast<Browser*>(data), static_cast<Browser*>(data)->status);
                     }),
                     &browser);

    if (!options.plainHost) {
        browser.services = std::make_unique<HostServices>(
            browser.view, GTK_WINDOW(browser.window), std::move(dialogs),
            [&browser](const std::string& request) {
                if (browser.options.test)
                    TestMode::Print("host: " + request);
            });
    }
    if (options.test)
        browser.test = std::make_unique<TestMode>(browser.view, content, options.timeoutSeconds,
                                                  [&browser](int status) { Finish(&browser, status); });
    g_signal_connect(browser.view, "load-changed", G_CALLBACK(&LoadChanged), &browser);
    g_signal_connect(browser.view, "load-failed", G_CALLBACK(&LoadFailed), &browser);
    g_signal_connect(browser.view, "decide-policy", G_CALLBACK(&DecidePolicy), &browser);

    gtk_widget_show_all(browser.window);
    webkit_web_view_load_uri(browser.view, uri.c_str());
    gtk_main();

    browser.test.reset();
    browser.services.reset();
    g_object_unref(browser.view);
    g_object_unref(content);
    g_object_unref(context);
    return browser.status;
}
