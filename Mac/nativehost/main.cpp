// qiravel-nativehost: the native messaging host that the browser extension starts for one plug-in
// element. It holds one plug-in instance, answers the extension's calls in frames on standard
// input and output, shows the plug-in's dialogs with GTK, and ends when standard input closes.
// Standard output carries the channel alone: whatever else would print there goes to standard
// error. QIRAVEL_NATIVEHOST_DIALOGS, a test hook, answers the dialogs from qvshell's dialog options.
#include "FrameChannel.h"
#include "HostSession.h"
#include "OriginPolicy.h"

#include "Platform/Dialogs/Dialogs.h"
#include "Platform/Dialogs/scripted/ScriptedDialogs.h"
#include "Platform/EventDelivery/EventDelivery.h"

#include <glib-unix.h>
#include <glib.h>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

namespace {
// How long requests still queued for the Assistant may take to go out at the end (ticks of 1/60 s).
const long kFlushTicks = 10 * 60;
const char kDialogsVariable[] = "QIRAVEL_NATIVEHOST_DIALOGS";

// The channel's own descriptor, taken from standard output, which then points to standard error.
// -1 when there is no standard output.
int TakeChannelFromStandardOutput()
{
    const int channel = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (channel < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        return -1;
    return channel;
}

std::unique_ptr<DialogToolkit> Dialogs()
{
    const char* script = g_getenv(kDialogsVariable);
    if (!script)
        return MakeGtkDialogToolkit();
    gchar** words = nullptr;
    GError* error = nullptr;
    std::vector<std::string> args;
    if (*script && g_shell_parse_argv(script, nullptr, &words, &error))
        args.assign(words, words + g_strv_length(words));
    g_strfreev(words);
    auto scripted = std::make_unique<ScriptedDialogToolkit>();
    std::string problem = error ? error->message : "";
    g_clear_error(&error);
    if (problem.empty() && ParseScriptedDialogOptions(args, *scripted, problem) && args.empty())
        return scripted;
    g_printerr("qiravel-nativehost: %s is not understood (%s); every dialog is cancelled\n", kDialogsVariable,
               problem.empty() ? ("unexpected " + args.front()).c_str() : problem.c_str());
    return std::make_unique<ScriptedDialogToolkit>();
}

struct Host {
    GMainLoop* loop = nullptr;
    std::unique_ptr<FrameChannel> channel;
    bool inputEnded = false;
    int status = 0;

    void QuitOnceAnswered()
    {
        if (inputEnded && !channel->OutputPending())
            g_main_loop_quit(loop);
    }
};
}  // namespace

int main(int, char**)
{
    const int output = TakeChannelFromStandardOutput();
    if (output < 0) {
        g_printerr("qiravel-nativehost: no standard output to answer on\n");
        return 1;
    }
    // A browser that stops reading must not end the host in the middle of a call.
    signal(SIGPIPE, SIG_IGN);
    SetDialogToolkit(Dialogs());
    const OriginPolicy origins(kSystemOriginsFile, UserOriginsFile());

    Host host;
    host.loop = g_main_loop_new(nullptr, false);
    {
        HostSession session([&host](const std::string& json) {
                                if (host.channel)
                                    host.channel->Send(json);
                            },
                            [&origins](const std::string& origin) {
                                return origins.Decide(origin, CurrentDialogToolkit());
                            });
        FrameChannel::Handlers handlers;
        handlers.frame = [&session](std::string payload) { session.Receive(payload); };
        handlers.inputEnded = [&host](FrameChannel::InputEnd end) {
            host.inputEnded = true;
            host.status = end == FrameChannel::kEndOfInput ? 0 : 1;
            host.QuitOnceAnswered();
        };
        handlers.outputDrained = [&host] { host.QuitOnceAnswered(); };
        handlers.outputFailed = [&host] {
            host.status = 1;
            g_main_loop_quit(host.loop);
        };
        host.channel = std::make_unique<FrameChannel>(STDIN_FILENO, output, handlers);
        // A browser that gives up on the host ends it this way: the requests for the Assistant
        // still go out.
        const guint terminate = g_unix_signal_add(SIGTERM, [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_CONTINUE;
        }, host.loop);
        g_main_loop_run(host.loop);
        g_source_remove(terminate);
        host.channel.reset();
    }
    if (AEFlushPendingEvents(kFlushTicks) != noErr)
        g_printerr("qiravel-nativehost: requests still queued for the Assistant are lost\n");
    g_main_loop_unref(host.loop);
    SetDialogToolkit(nullptr);
    close(output);
    return host.status;
}
