// qvshell: drives one plug-in instance from the command line. Requests come from --request
// arguments, then from standard input, one JSON text per line; status events from the Assistant
// are served by the GLib main loop meanwhile. At the end of input the shell waits a settle time
// for late status events, then writes what it still has queued for the Assistant and exits.
#include "ShellClient.h"

#include "Platform/Dialogs/scripted/ScriptedDialogs.h"
#include "Platform/EventDelivery/EventDelivery.h"

#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {
// How long requests still queued at the end may take to go out (ticks of 1/60 s).
const long kFlushTicks = 10 * 60;

struct Shell {
    CShellClient* client;
    GMainLoop* loop;
    unsigned int settleMilliseconds;
};

void Execute(CShellClient& client, const char* request)
{
    xwstring text(request);
    const bool result = client.ExecuteRequest(static_cast<wchar_t*>(text));
    printf("result: %d\n", result ? 1 : 0);
    fflush(stdout);
}

gboolean QuitLoop(gpointer data)
{
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_REMOVE;
}

gboolean ReadRequestLine(GIOChannel* channel, GIOCondition, gpointer data)
{
    auto* shell = static_cast<Shell*>(data);
    gchar* line = nullptr;
    gsize terminator = 0;
    const GIOStatus status = g_io_channel_read_line(channel, &line, nullptr, &terminator, nullptr);
    if (status == G_IO_STATUS_NORMAL && line) {
        line[terminator] = 0;
        if (*line)
            Execute(*shell->client, line);
        g_free(line);
        return G_SOURCE_CONTINUE;
    }
    g_free(line);
    if (status == G_IO_STATUS_AGAIN)
        return G_SOURCE_CONTINUE;
    g_timeout_add(shell->settleMilliseconds, &QuitLoop, shell->loop);
    return G_SOURCE_REMOVE;
}

int Usage()
{
    fprintf(stderr,
            "usage: qvshell [--request JSON]... [--settle MILLISECONDS] [--gtk]\n"
            "               [--pick PATH...] [--download-folder DIR] [--confirm yes|no]\n"
            "Runs each --request, then each line of standard input, as a page request; prints the\n"
            "result (1 or 0), the notifications (notify:) and the log messages (log:).\n"
            "Dialogs are answered in turn by --pick, --download-folder and --confirm (then Cancel),\n"
            "or shown for real with --gtk.\n");
    return 2;
}
}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    auto scripted = std::make_unique<ScriptedDialogToolkit>();
    std::string error;
    if (!ParseScriptedDialogOptions(args, *scripted, error)) {
        fprintf(stderr, "qvshell: %s\n", error.c_str());
        return Usage();
    }
    std::vector<std::string> requests;
    unsigned int settleMilliseconds = 500;
    bool realDialogs = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--request" && i + 1 < args.size())
            requests.push_back(args[++i]);
        else if (args[i] == "--settle" && i + 1 < args.size())
            settleMilliseconds = static_cast<unsigned int>(strtoul(args[++i].c_str(), nullptr, 10));
        else if (args[i] == "--gtk")
            realDialogs = true;
        else
            return Usage();
    }
    SetDialogToolkit(realDialogs ? MakeGtkDialogToolkit() : std::move(scripted));

    GMainLoop* loop = g_main_loop_new(nullptr, false);
    {
        CShellClient client(stdout);
        xwstring response;
        client.Initialize(response, false);
        printf("response: %s\n", static_cast<const char*>(response));
        for (const std::string& request : requests)
            Execute(client, request.c_str());

        Shell shell = {&client, loop, settleMilliseconds};
        // Lines are read as bytes: one that is not valid UTF-8 reaches the core as it is, which
        // answers it like any other request, and the lines after it are still read.
        GIOChannel* input = g_io_channel_unix_new(0);
        g_io_channel_set_encoding(input, nullptr, nullptr);
        g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), &ReadRequestLine, &shell);
        g_main_loop_run(loop);
        g_io_channel_unref(input);
        if (AEFlushPendingEvents(kFlushTicks) != noErr)
            fprintf(stderr, "qvshell: requests still queued for the Assistant are lost\n");
    }
    g_main_loop_unref(loop);
    SetDialogToolkit(nullptr);
    return 0;
}
