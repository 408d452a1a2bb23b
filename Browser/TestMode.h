// The test mode of the browser: the page reports to the test runner through a script message
// channel, each report is printed on standard output as "test: <text>", and the page's verdict
// ("pass", or a text starting with "fail") ends the browser with status 0 or 1. So does a time-out
// or a web process that dies (1).
#pragma once

#include <webkit2/webkit2.h>

#include <functional>
#include <string>

class TestMode {
public:
    static const char kChannel[];  // window.webkit.messageHandlers.<kChannel>

    // finish receives the exit status once the run is decided.
    TestMode(WebKitWebView* view, WebKitUserContentManager* content, unsigned int timeoutSeconds,
             std::function<void(int status)> finish);
    ~TestMode();
    TestMode(const TestMode&) = delete;
    TestMode& operator=(const TestMode&) = delete;

    // One line on standard output, as the runner reads it.
    static void Print(const std::string& line);

private:
    static void Received(WebKitUserContentManager* content, WebKitJavascriptResult* result, gpointer self);
    static void ProcessTerminated(WebKitWebView* view, WebKitWebProcessTerminationReason reason, gpointer self);
    static gboolean TimedOut(gpointer self);
    void Decide(int status);

    WebKitWebView* mView;
    WebKitUserContentManager* mContent;
    std::function<void(int)> mFinish;
    guint mTimeout;
    gulong mReceivedHandler;
    gulong mTerminatedHandler;
    bool mDecided = false;
};
