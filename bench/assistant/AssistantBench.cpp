// Transfers through the Assistant against the usual tools, in one run: a 1 GB file and a tree of
// 10,000 small files copied to a folder (request event in, "TransferComplete" out) against
// `cp -r`, and 1,000 files of 100 KB uploaded to a local HTTP server against
// `curl --parallel --parallel-max 4`, the Assistant's number of files at once.
//
// usage: bench_assistant [--work DIR] [--runs N] [--cases big,tree,http]
//   --work DIR    where the data and copies go (default: a new folder in the temporary folder,
//                 removed at the end); needs about 3 GB
//   --runs N      runs of each case, alternating ours and the reference (default 3); medians are
//                 shown
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

std::string FileUrl(const std::string& path)
{
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    std::string text = uri;
    g_free(uri);
    return text;
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
    for (int i = 0; i < 10000 && wanted("tree"); ++i) {
        const std::string folder = "d" + std::to_string(i / 100);
        const size_t size = 512 + static_cast<size_t>(i % 16) * 512;
        const std::string path = source + "/tree/" + folder + "/f" + std::to_string(i);
        WriteFile(path, megabyte.substr(static_cast<size_t>(i) * 64, size), 1);
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

void Report(const char* name, const char* reference, const std::vector<double>& ours, const std::vector<double>& theirs)
{
    printf("| %s | %s | %.3f s | %.3f s | %.2f |\n", name, reference, Median(theirs), Median(ours),
           Median(ours) / Median(theirs));
    fflush(stdout);
}
}  // namespace

int main(int argc, char** argv)
{
    std::string work;
    std::string cases = "big,tree,http";
    int runs = 3;
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

    fprintf(stderr, "making the data in %s\n", work.c_str());
    const Data data = MakeData(work + "/src", wanted);
    Run({"sync"});

    if (AEInstallEventHandler(kAssistantEventClass, kStatusEventID, &OnStatus, nullptr, false) != noErr)
        Fail("cannot open this process's event port");
    const Spawned assistant = Start({ASSISTANT_PATH, "--idle-exit", "0"}, false);
    ProcessSerialNumber assistantPsn = {0, 0};
    for (int i = 0; i < 3000 && assistantPsn.lowLongOfPSN == 0; ++i) {
        for (const RunningApplication& application : WorkspaceLaunchedApplications()) {
            if (application.bundleIdentifier == kAssistantBundleIdentifier)
                assistantPsn = {application.processSerialNumberHigh, application.processSerialNumberLow};
        }
        g_usleep(10000);
    }
    if (assistantPsn.lowLongOfPSN == 0)
        Fail("the Assistant did not check in");

    printf("| Case | Reference | reference | Assistant | ratio |\n|---|---|---|---|---|\n");
    const std::string destination = work + "/dst";
    const struct {
        const char* key;
        const char* name;
        const std::vector<Entry>* entries;
        std::string source;
    } copies[] = {
        {"big", "1 GB file", &data.big, work + "/src/big.bin"},
        {"tree", "10,000 files of 0.5 to 8 KB", &data.tree, work + "/src/tree"},
    };
    for (const auto& copy : copies) {
        if (!wanted(copy.key))
            continue;
        std::vector<double> ours;
        std::vector<double> cp;
        std::vector<double> cpSync;
        for (int run = 0; run < runs; ++run) {
            const std::string target = destination + "/" + std::to_string(run);
            for (auto* times : {&cp, &cpSync}) {
                fs::create_directories(target);
                times->push_back(Timed([&] {
                    Run({"cp", "-r", copy.source, target + "/"});
                    if (times == &cpSync)
                        Run({"sync", "-f", target});
                }));
                Run({"sync"});
                fs::remove_all(target);
            }
            ours.push_back(Timed([&] { ThroughAssistant(assistantPsn, *copy.entries, FileUrl(target)); }));
            Run({"sync"});
            fs::remove_all(target);
        }
        Report(copy.name, "`cp -r`", ours, cp);
        Report(copy.name, "`cp -r`, then `sync -f`", ours, cpSync);
    }

    if (!wanted("http")) {
        Stop(assistant);
        if (removeWork)
            fs::remove_all(work);
        return 0;
    }
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
        ours.push_back(Timed([&] { ThroughAssistant(assistantPsn, data.uploads, base + "/ours-" + std::to_string(run) + "/"); }));
    }
    Report("1,000 files of 100 KB by HTTP PUT", "`curl --parallel --parallel-max 4`", ours, curl);

    Stop(server);
    Stop(assistant);
    if (removeWork)
        fs::remove_all(work);
    return 0;
}
