#include "TestMode.h"

#include <cstdio>

const char TestMode::kChannel[] = "qiravelTest";

TestMode::TestMode(WebKitWebView* view, WebKitUserContentManager* content, unsigned int timeoutSeconds,
                   std::function<void(int)> finish)
    : mView(view), mContent(content), mFinish(std::move(finish))
{
    webkit_user_content_manager_register_script_message_handler(content, kChannel);
    const std::string signal = std::string("script-message-received::") + kChannel;
    mReceivedHandler = g_signal_connect(content, signal.c_str(), G_CALLBACK(&Received), this);
    mTerminatedHandler = g_signal_connect(view, "web-process-terminated", G_CALLBACK(&ProcessTerminated), this);
    mTimeout = g_timeout_add_seconds(timeoutSeconds, &TimedOut, this);
}

TestMode::~TestMode()
{
    g_signal_handler_disconnect(mContent, mReceivedHandler);
    g_signal_handler_disconnect(mView, mTerminatedHandler);
    if (mTimeout)
        g_source_remove(mTimeout);
}

void TestMode::Print(const std::string& line)
{
    printf("%s\n", line.c_str());
    fflush(stdout);
}

void TestMode::Received(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer self)
{
    auto* test = static_cast<TestMode*>(self);
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    gchar* text = jsc_value_to_string(value);
    const std::string report = text ? text : "";
    g_free(text);
    Print("test: " + report);
    if (report == "pass")
        test->Decide(0);
    else if (report.compare(0, 4, "fail") == 0)
        test->Decide(1);
}

void TestMode::ProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer self)
{
    Print(std::string("test: fail: the web process ended (") +
          (reason == WEBKIT_WEB_PROCESS_CRASHED ? "crashed" : "terminated") + ")");
    static_cast<TestMode*>(self)->Decide(1);
}

gboolean TestMode::TimedOut(gpointer self)
{
    auto* test = static_cast<TestMode*>(self);
    test->mTimeout = 0;
    Print("test: fail: no verdict in time");
    test->Decide(1);
    return G_SOURCE_REMOVE;
}

void TestMode::Decide(int status)
{
    if (mDecided)
        return;
    mDecided = true;
    mFinish(status);
}
