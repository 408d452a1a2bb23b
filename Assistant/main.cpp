// qiravel-assistant: the companion transfer application of the Qiravel Web Client. It checks in
// under the bundle identifier the plug-in looks for, takes "Laso"/"ADMN" request events, moves
// their files and reports on each job with "Laso"/"assS" status events.
//
// usage: qiravel-assistant [--outbox DIR] [--idle-exit SECONDS] [--parallel N]
//   --outbox DIR         where uploads without an "upload_url" go ($XDG_DATA_HOME/qiravel/outbox)
//   --idle-exit SECONDS  quit after this long without a job (600; 0 stays)
//   --parallel N         files (or groups of small files) of one job moving at once (4)
//
// Only one copy runs per user and runtime folder: a second one exits at once. What pages may reach
// (local folders and addresses) and the limits of downloads come from the settings file
// $XDG_CONFIG_HOME/qiravel/assistant.conf, described in README.md.
#include "AssistantConfig.h"
#include "AssistantLog.h"
#include "JobResume.h"
#include "PartialFile.h"
#include "TransferService.h"

#include "Common/AssistantLink.h"
#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/Processes/Processes.h"
#include "Platform/Workspace/Workspace.h"

#include <glib-unix.h>
#include <glib.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {
const unsigned kMostParallelFiles = 64;
// Status events still queued for their receivers get this long to go out at the end (ticks).
const long kFlushTicks = 2 * 60;

struct Options {
    std::string outbox;
    unsigned idleSeconds = 600;
    unsigned parallel = 4;
};

struct Program {
    TransferService* service = nullptr;
    GMainLoop* loop = nullptr;
    unsigned idleSeconds = 0;
    guint idleTimer = 0;
    bool stopping = false;
};
Program sProgram;

bool ParseNumber(const char* text, unsigned low, unsigned high, unsigned* value)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long number = strtoul(text, &end, 10);
    if (errno || end == text || *end || number < low || number > high || text[0] == '-')
        return false;
    *value = static_cast<unsigned>(number);
    return true;
}

bool ParseOptions(int argc, char** argv, Options* options)
{
    options->outbox = std::string(g_get_user_data_dir()) + "/qiravel/outbox";
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!strcmp(argv[i], "--outbox") && hasValue && argv[i + 1][0] == '/')
            options->outbox = argv[++i];
        else if (!strcmp(argv[i], "--idle-exit") && hasValue && ParseNumber(argv[i + 1], 0, 86400 * 365, &options->idleSeconds))
            ++i;
        else if (!strcmp(argv[i], "--parallel") && hasValue && ParseNumber(argv[i + 1], 1, kMostParallelFiles, &options->parallel))
            ++i;
        else
            return false;
    }
    return true;
}

enum class Lock { taken, heldByAnother, unavailable };

// Held for the life of the process.
Lock TakeInstanceLock(int* fd)
{
    std::string folder;
    if (!GetProcessRuntimeFolder(&folder))
        return Lock::unavailable;
    const std::string path = folder + "/" + kAssistantBundleIdentifier + ".lock";
    *fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (*fd < 0)
        return Lock::unavailable;
    return flock(*fd, LOCK_EX | LOCK_NB) == 0 ? Lock::taken : Lock::heldByAnother;
}

void Quit() { g_main_loop_quit(sProgram.loop); }

void StopIdleTimer()
{
    if (sProgram.idleTimer)
        g_source_remove(sProgram.idleTimer);
    sProgram.idleTimer = 0;
}

gboolean OnIdleTimeout(gpointer)
{
    sProgram.idleTimer = 0;
    // A request may be waiting to be read: take it before deciding.
    while (g_main_context_pending(nullptr))
        g_main_context_iteration(nullptr, false);
    if (!sProgram.service->HasJobs() && !sProgram.stopping) {
        AssistantLog(LogLevel::info, "Quitting after " + std::to_string(sProgram.idleSeconds) + " s without a job");
        sProgram.stopping = true;
        sProgram.service->Stop(&Quit);
    }
    return G_SOURCE_REMOVE;
}

void StartIdleTimer()
{
    StopIdleTimer();
    if (sProgram.idleSeconds > 0 && !sProgram.stopping)
        sProgram.idleTimer = g_timeout_add_seconds(sProgram.idleSeconds, &OnIdleTimeout, nullptr);
}

gboolean OnStopSignal(gpointer)
{
    if (sProgram.stopping) {
        // Asked twice: leave at once, without temporary files.
        PartialFile::RemoveAllTemporary();
        _exit(1);
    }
    sProgram.stopping = true;
    StopIdleTimer();
    sProgram.service->Stop(&Quit);
    return G_SOURCE_CONTINUE;
}

std::vector<uint8_t> ParamBytes(const AppleEvent* event, AEKeyword key, DescType type, DescType* actual)
{
    Size size = 0;
    if (AEGetParamPtr(event, key, type, actual, nullptr, 0, &size) != noErr || size <= 0)
        return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    if (AEGetParamPtr(event, key, type, actual, bytes.data(), size, &size) != noErr)
        return {};
    return bytes;
}

OSErr HandleRequest(const AppleEvent* event, AppleEvent*, SRefCon)
{
    StopIdleTimer();
    DescType actual = typeNull;
    const std::vector<uint8_t> text = ParamBytes(event, keyDirectObject, typeChar, &actual);
    StatusAddress address;
    Size size = 0;
    if (AEGetParamPtr(event, kHostProcessKeyword, typeProcessSerialNumber, &actual, &address.process, sizeof address.process,
                      &size) != noErr ||
        size != sizeof address.process)
        address.process = {0, 0};
    address.refCon = ParamBytes(event, kRefConKeyword, typeWildCard, &address.refConType);
    sProgram.service->Accept(reinterpret_cast<const char*>(text.data()), text.size(), address);
    if (!sProgram.service->HasJobs())
        StartIdleTimer();
    return noErr;
}

// Groups of small files hold a descriptor per file until they are named: the soft limit of
// descriptors goes up to the hard one (within reason), which desktops set far higher.
void RaiseDescriptorLimit()
{
    const rlim_t kEnough = 65536;
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= std::min(limit.rlim_max, kEnough))
        return;
    limit.rlim_cur = std::min(limit.rlim_max, kEnough);
    setrlimit(RLIMIT_NOFILE, &limit);
}
}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr, "usage: qiravel-assistant [--outbox DIR] [--idle-exit SECONDS] [--parallel N]\n"
                        "  --outbox DIR         absolute folder for uploads without an upload URL\n"
                        "                       (default $XDG_DATA_HOME/qiravel/outbox)\n"
                        "  --idle-exit SECONDS  quit after this long without a job (default 600, 0 never)\n"
                        "  --parallel N         files (or groups of small files) of one job moving at\n"
                        "                       once, 1 to 64 (default 4)\n");
        return 2;
    }
    int lock = -1;
    switch (TakeInstanceLock(&lock)) {
    case Lock::taken:
        break;
    case Lock::heldByAnother:
        AssistantLog(LogLevel::info, "Another copy is running; this one leaves it in charge");
        return 0;
    case Lock::unavailable:
        AssistantLog(LogLevel::error, "Cannot use the runtime folder; quitting");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();
    // The partial files of jobs cut by a crash are kept for those jobs to go on with.
    std::vector<std::unique_ptr<JobJournal>> unfinished = LoadUnfinishedJobs();
    std::set<std::string> partials;
    for (const std::unique_ptr<JobJournal>& journal : unfinished) {
        const std::set<std::string> paths = journal->PartialPaths();
        partials.insert(paths.begin(), paths.end());
    }
    PartialFile::KeepRecord(std::string(g_get_user_data_dir()) + "/qiravel/temporary-files", partials);
    sProgram.loop = g_main_loop_new(nullptr, false);
    sProgram.idleSeconds = options.idleSeconds;
    auto* config = new AssistantConfigFile();
    ServiceSettings settings;
    settings.outbox = options.outbox;
    settings.parallel = options.parallel;
    settings.http.config = [config] { return config->Current(); };
    auto* service = new TransferService(settings);
    sProgram.service = service;
    service->SetIdleCallback(&StartIdleTimer);

    int status = 0;
    if (AEInstallEventHandler(kAssistantEventClass, kAssistantRequestID, NewAEEventHandlerUPP(&HandleRequest), nullptr, false) != noErr ||
        WorkspaceCheckIn(kAssistantBundleIdentifier) != noErr) {
        AssistantLog(LogLevel::error, "Cannot open the event port; quitting");
        status = 1;
    } else {
        for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP})
            g_unix_signal_add(signalNumber, &OnStopSignal, nullptr);
        AssistantLog(LogLevel::info, "Ready; uploads without an upload URL go to " + options.outbox);
        StartIdleTimer();
        // Jobs an earlier run left unfinished go on.
        for (std::unique_ptr<JobJournal>& journal : unfinished)
            service->Resume(std::move(journal));
        g_main_loop_run(sProgram.loop);
    }
    if (AEFlushPendingEvents(kFlushTicks) != noErr)
        AssistantLog(LogLevel::warning, "Some status events were still queued at the end");
    if (!service->Settled()) {
        // A transfer thread is stuck in the system; its files are already given up.
        AssistantLog(LogLevel::warning, "Quitting with transfers that did not stop in time");
        PartialFile::RemoveAllTemporary();
        _exit(1);
    }
    delete service;
    delete config;
    StopIdleTimer();
    g_main_loop_unref(sProgram.loop);
    close(lock);
    return status;
}
