// Transfers through the Assistant against the usual tools, in one run: a 1 GB file and a tree of
// 20,000 files of 4 KB copied to the outbox (request event in, "TransferComplete" out) against
// `cp -r` followed by `sync -f` (the same durability), and 1,000 files of 100 KB uploaded to a
// local HTTP server against `curl --parallel --parallel-max 4`, the Assistant's number of files
// at once.
//
// usage: bench_assistant [--work DIR] [--runs N] [--cases big,tree,http]
//   --work DIR    where the data and copies go (default: a new folder in the temporary folder,
//                 removed at the end); needs about 2 GB per run of the 1 GB case
//   --runs N      pairs of runs of each case, the reference and ours alternating (default 5)
//   --cases LIST  which cases run (default all three)
#include "Common/AssistantLink.h"
#include "Platform/AppleEvents/AppleEvents.h"
#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/Processes/Processes.h"
#include "Platform/Workspace/Workspace.h"

#include <glib.h>
#include <json-c/json.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Entry {
    std::string path;
    std::string relative;
    uint64_t size;
};

std::string sLastStatus;
bool sFinished = false;

[[noreturn]] void Fail(const std::string& what)
{
    fprintf(stderr, "bench_assistant: %s\n", what.c_str());
    exit(1);
}

OSErr OnStatus(const AppleEvent* event, AppleEvent*, SRefCon)
{
    DescType type;
    Size size = 0;
    if (AEGetParamPtr(event, kNotificationKeyword, typeChar, &type, nullptr, 0, &size) != noErr)
        return noErr;
    std::string text(static_cast<size_t>(size), '\0');
    AEGetParamPtr(event, kNotificationKeyword, typeChar, &type, text.data(), size, &size);
    if (text.find("\"code\":\"TransferComplete\"") != std::string::npos ||
        text.find("\"code\":\"TransferFailed\"") != std::string::npos) {
        sLastStatus = text;
        sFinished = true;
    }
    return noErr;
}

void Run(const std::vector<std::string>& argv)
{
    std::vector<gchar*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<gchar*>(arg.c_str()));
    args.push_back(nullptr);
    gint status = 0;
    GError* error = nullptr;
    if (!g_spawn_sync(nullptr, args.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, nullptr, &status,
                      &error) ||
        !g_spawn_check_wait_status(status, nullptr))
        Fail("failed: " + argv[0] + " " + argv[1]);
}

double Timed(const std::function<void()>& work)
{
    const Clock::time_point start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One upload request through the Assistant, from the event to its "TransferComplete".
void ThroughAssistant(const ProcessSerialNumber& assistant, const std::vector<Entry>& entries,
                      const std::string& uploadUrl)
{
    json_object* request = json_object_new_object();
    json_object_object_add(request, "type", json_object_new_string("Request"));
    json_object_object_add(request, "code", json_object_new_string("StartUpload"));
    json_object_object_add(request, "upload_url", json_object_new_string(uploadUrl.c_str()));
    json_object* files = json_object_new_array();
    for (const Entry& entry : entries) {
        json_object* file = json_object_new_object();
        json_object_object_add(file, "file_path", json_object_new_string(entry.path.c_str()));
        json_object_object_add(file, "relative_path", json_object_new_string(entry.relative.c_str()));
        json_object_object_add(file, "size", json_object_new_double(static_cast<double>(entry.size)));
        json_object_array_add(files, file);
    }
    json_object_object_add(request, "files_ul", files);
    const std::string text = json_object_to_json_string(request);
    json_object_put(request);

    ProcessSerialNumber self;
    GetCurrentProcess(&self);
    const uint64_t refCon = 7;
    AEDesc address;
    AppleEvent event;
    AppleEvent reply;
    AEInitializeDesc(&reply);
    AECreateDesc(typeProcessSerialNumber, &assistant, sizeof assistant, &address);
    AECreateAppleEvent(kAssistantEventClass, kAssistantRequestID, &address, kAutoGenerateReturnID, kAnyTransactionID, &event);
    AEPutParamPtr(&event, keyDirectObject, typeChar, text.data(), static_cast<Size>(text.size()));
    AEPutParamPtr(&event, kHostProcessKeyword, typeProcessSerialNumber, &self, sizeof self);
    AEPutParamPtr(&event, kRefConKeyword, typeUInt32, &refCon, sizeof refCon);
    sFinished = false;
    if (AESendMessage(&event, &reply, kAENoReply, 600) != noErr)
        Fail("the request did not reach the Assistant");
    AEDisposeDesc(&event);
    AEDisposeDesc(&address);
    while (!sFinished)
        g_main_context_iteration(nullptr, true);
    if (sLastStatus.find("\"files_failed\":0") == std::string::npos)
        Fail("the Assistant did not move every file: " + sLastStatus);
}

void WriteFile(const std::string& path, const std::string& block, size_t blocks)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream file(path, std::ios::binary);
    for (size_t i = 0; i < blocks; ++i)
        file << block;
}

std::string RandomBlock(size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string block(size, '\0');
    for (char& byte : block)
        byte = static_cast<char>(generator());
    return block;
}

struct Data {
    std::vector<Entry> big;
    std::vector<Entry> tree;
    std::vector<Entry> uploads;
};

Data MakeData(const std::string& source, const std::function<bool(const char*)>& wanted)
{
    Data data;
    const std::string megabyte = RandomBlock(1 << 20, 1);
    if (wanted("big")) {
        WriteFile(source + "/big.bin", megabyte, 1024);
        data.big.push_back({source + "/big.bin", "", 1ull << 30});
    }
    for (int i = 0; i < 20000 && wanted("tree"); ++i) {
        const std::string folder = "d" + std::to_string(i / 200);
        const size_t size = 4096;
        const std::string path = source + "/tree/" + folder + "/f" + std::to_string(i);
        WriteFile(path, megabyte.substr(static_cast<size_t>(i % 8192) * 64, size), 1);
        data.tree.push_back({path, "tree/" + folder + "/", size});
    }
    for (int i = 0; i < 1000 && wanted("http"); ++i) {
        const std::string path = source + "/http/f" + std::to_string(i);
        WriteFile(path, megabyte.substr(static_cast<size_t>(i) * 512, 100 * 1024), 1);
        data.uploads.push_back({path, "http/", 100 * 1024});
    }
    return data;
}

struct Spawned {
    GPid pid = 0;
    int output = -1;
};

Spawned Start(const std::vector<std::string>& argv, bool readOutput)
{
    std::vector<gchar*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<gchar*>(arg.c_str()));
    args.push_back(nullptr);
    Spawned spawned;
    if (!g_spawn_async_with_pipes(nullptr, args.data(), nullptr,
                                  static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH), nullptr,
                                  nullptr, &spawned.pid, nullptr, readOutput ? &spawned.output : nullptr, nullptr,
                                  nullptr))
        Fail("cannot start " + argv[0]);
    return spawned;
}

void Stop(const Spawned& spawned)
{
    kill(spawned.pid, SIGTERM);
    waitpid(spawned.pid, nullptr, 0);
    if (spawned.output >= 0)
        close(spawned.output);
}

// User and system time of the children reaped so far.
double ChildrenCpuSeconds()
{
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string LoadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string one;
    file >> one;
    return one;
}

// The median of the pairs' ratios, with their range.
std::string RatioOf(const std::vector<double>& ours, const std::vector<double>& theirs)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < ours.size(); ++i)
        ratios.push_back(ours[i] / theirs[i]);
    char text[64];
    snprintf(text, sizeof text, "%.2f (%.2f to %.2f)", Median(ratios), *std::min_element(ratios.begin(), ratios.end()),
             *std::max_element(ratios.begin(), ratios.end()));
    return text;
}

// One row: medians of the wall times, the ratios of the pairs, the CPU time ratios when known.
void Report(const char* name, const char* reference, const std::vector<double>& ours, const std::vector<double>& theirs,
            const std::string& loadBefore, const std::vector<double>& oursCpu = {},
            const std::vector<double>& theirsCpu = {})
{
    printf("| %s | %s | %.3f s | %.3f s | %s | %s | %zu | %s to %s |\n", name, reference, Median(theirs), Median(ours),
           RatioOf(ours, theirs).c_str(), oursCpu.empty() ? "" : RatioOf(oursCpu, theirsCpu).c_str(), ours.size(),
           loadBefore.c_str(), LoadAverage().c_str());
    fflush(stdout);
}

// A fresh Assistant, checked in, with its process serial number.
Spawned StartAssistant(const std::vector<std::string>& options, ProcessSerialNumber* psn)
{
    std::vector<std::string> argv = {ASSISTANT_PATH, "--idle-exit", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    const Spawned assistant = Start(argv, false);
    *psn = {0, 0};
    for (int i = 0; i < 3000 && psn->lowLongOfPSN == 0; ++i) {
        for (const RunningApplication& application : WorkspaceLaunchedApplications()) {
            if (application.bundleIdentifier == kAssistantBundleIdentifier)
                *psn = {application.processSerialNumberHigh, application.processSerialNumberLow};
        }
        g_usleep(10000);
    }
    if (psn->lowLongOfPSN == 0)
        Fail("the Assistant did not check in");
    return assistant;
}
}  // namespace

int main(int argc, char** argv)
{
    std::string work;
    std::string cases = "big,tree,http";
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--work") && i + 1 < argc)
            work = argv[++i];
        else if (!strcmp(argv[i], "--runs") && i + 1 < argc && atoi(argv[i + 1]) > 0)
            runs = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--cases") && i + 1 < argc)
            cases = argv[++i];
        else
            Fail("usage: bench_assistant [--work DIR] [--runs N] [--cases big,tree,http]");
    }
    const auto wanted = [&cases](const char* name) { return ("," + cases + ",").find(std::string(",") + name + ",") != std::string::npos; };
    const bool removeWork = work.empty();
    if (removeWork) {
        gchar* made = g_dir_make_tmp("qv-bench-assistant-XXXXXX", nullptr);
        work = made;
        g_free(made);
    }
    fs::create_directories(work + "/runtime");
    fs::permissions(work + "/runtime", fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", (work + "/runtime").c_str(), 1);
    setenv("XDG_DATA_HOME", (work + "/data").c_str(), 1);
    setenv("XDG_STATE_HOME", (work + "/state").c_str(), 1);
    // The Assistant may copy into the work folder and send to the local server.
    setenv("XDG_CONFIG_HOME", (work + "/config").c_str(), 1);
    fs::create_directories(work + "/config/qiravel");
    std::ofstream(work + "/config/qiravel/assistant.conf") << "[Allow]\nfolders=" << work << "\naddresses=127.0.0.1\n";

    fprintf(stderr, "making the data in %s\n", work.c_str());
    const Data data = MakeData(work + "/src", wanted);
    Run({"sync"});

    if (AEInstallEventHandler(kAssistantEventClass, kStatusEventID, &OnStatus, nullptr, false) != noErr)
        Fail("cannot open this process's event port");

    printf("| Case | Reference | reference | Assistant | ratio (range) | CPU ratio (range) | pairs | load average |\n"
           "|---|---|---|---|---|---|---|---|\n");
    const std::string destination = work + "/dst";
    const struct {
        const char* key;
        const char* name;
        const std::vector<Entry>* entries;
        std::string source;
    } copies[] = {
        // The tree first: removing the big case's copies keeps the disk busy for a while.
        {"tree", "20,000 files of 4 KB", &data.tree, work + "/src/tree"},
        {"big", "1 GB file", &data.big, work + "/src/big.bin"},
    };
    for (const auto& copy : copies) {
        if (!wanted(copy.key))
            continue;
        // Each run writes to a folder of its own and nothing is removed until the case is done:
        // removing a copy makes the next run's writes wait for it. Each side runs in a fresh
        // process: `cp`, and an Assistant started for the run (not timed) with its outbox there.
        const std::string load = LoadAverage();
        std::vector<double> ours;
        std::vector<double> cpSync;
        std::vector<double> oursCpu;
        std::vector<double> cpSyncCpu;
        for (int run = 0; run < runs; ++run) {
            const std::string target = destination + "/" + copy.key + "-cp-" + std::to_string(run);
            fs::create_directories(target);
            Run({"sync"});
            double cpu = ChildrenCpuSeconds();
            cpSync.push_back(Timed([&] {
                Run({"cp", "-r", copy.source, target + "/"});
                Run({"sync", "-f", target});
            }));
            cpSyncCpu.push_back(ChildrenCpuSeconds() - cpu);
            const std::string outbox = destination + "/" + copy.key + "-ours-" + std::to_string(run);
            Run({"sync"});
            cpu = ChildrenCpuSeconds();
            ProcessSerialNumber psn;
            const Spawned assistant = StartAssistant({"--outbox", outbox}, &psn);
            ours.push_back(Timed([&] { ThroughAssistant(psn, *copy.entries, ""); }));
            Stop(assistant);
            oursCpu.push_back(ChildrenCpuSeconds() - cpu);
            fprintf(stderr, "%s pair %d: reference %.3f s (CPU %.3f s), ours %.3f s (CPU %.3f s)\n", copy.key, run + 1,
                    cpSync.back(), cpSyncCpu.back(), ours.back(), oursCpu.back());
        }
        Report(copy.name, "`cp -r`, then `sync -f`", ours, cpSync, load, oursCpu, cpSyncCpu);
        fs::remove_all(destination);
    }

    if (!wanted("http")) {
        if (removeWork)
            fs::remove_all(work);
        return 0;
    }
    const std::string load = LoadAverage();
    const Spawned server = Start({"python3", PUT_SERVER}, true);
    char port[16] = {};
    if (read(server.output, port, sizeof port - 1) <= 0)
        Fail("the upload server did not start");
    const std::string base = "http://127.0.0.1:" + std::string(port, strcspn(port, "\n"));
    const std::string config = work + "/curl.config";
    std::vector<double> ours;
    std::vector<double> curl;
    for (int run = 0; run < runs; ++run) {
        std::ofstream lines(config);
        for (const Entry& entry : data.uploads)
            lines << "upload-file = \"" << entry.path << "\"\nurl = \"" << base << "/curl-" << run << "/http/"
                  << fs::path(entry.path).filename().string() << "\"\n";
        lines.close();
        curl.push_back(Timed([&] {
            Run({"curl", "--silent", "--fail", "--parallel", "--parallel-max", "4", "--config", config});
        }));
        ProcessSerialNumber psn;
        const Spawned assistant = StartAssistant({}, &psn);
        ours.push_back(Timed([&] { ThroughAssistant(psn, data.uploads, base + "/ours-" + std::to_string(run) + "/"); }));
        Stop(assistant);
    }
    Report("1,000 files of 100 KB by HTTP PUT", "`curl --parallel --parallel-max 4`", ours, curl, load);

    Stop(server);
    if (removeWork)
        fs::remove_all(work);
    return 0;
}
