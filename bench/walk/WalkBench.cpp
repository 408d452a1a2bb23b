// EnumerateFiles over a generated tree, against `find DIR -type f -printf '%s %p\n'` on the same
// warm tree in the same run. The walk runs twice: with a callback that only counts (the walk's
// own cost) and with one that fills a CFileList as the plug-in does. The whole pick runs twice:
// warm, repeated in this process (BM_PickToNotifications), and as the first pick of a fresh
// process, one child process per repetition (BM_FirstPickFresh), like find. The child processes'
// CPU time and peak resident memory are reported as counters.
//
//   bench_walk [--files=N] [benchmark flags]   make a tree of N files (default 100000) under
//                                              /tmp, run the benchmarks, report the ratios
//   bench_walk --make-tree=DIR [--files=N]     only make the tree (for /usr/bin/time -v runs)
//   bench_walk --tree=DIR/Tree [benchmark flags]  run the benchmarks on a tree made before
//   bench_walk --walk=DIR                      one walk into a CFileList, then print its size
//   bench_walk --count=DIR                     one walk that only counts
//   bench_walk --pick=DIR                      one whole pick of DIR by a plug-in instance
#include "EnumerateFiles.h"
#include "FileList.h"
#include "QVWebClientBaseMac.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

extern char** environ;

namespace {
const int kFilesPerFolder = 100;
const int kFoldersPerGroup = 100;

std::string sTree;

// tree/gNNN/fNNN/file_NNNNNNN.dat, 100 files per folder, sizes 0 to 4095 bytes (sparse).
bool MakeTree(const std::string& tree, long files)
{
    char path[512];
    for (long i = 0; i < files; ++i) {
        const long folder = i / kFilesPerFolder;
        if (i % kFilesPerFolder == 0) {
            snprintf(path, sizeof path, "%s/g%03ld/f%03ld", tree.c_str(), folder / kFoldersPerGroup,
                     folder % kFoldersPerGroup);
            std::error_code error;
            std::filesystem::create_directories(path, error);
            if (error)
                return false;
        }
        snprintf(path, sizeof path, "%s/g%03ld/f%03ld/file_%07ld.dat", tree.c_str(), folder / kFoldersPerGroup,
                 folder % kFoldersPerGroup, i);
        const int descriptor = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (descriptor < 0)
            return false;
        const bool sized = ftruncate(descriptor, i % 4096) == 0;
        close(descriptor);
        if (!sized)
            return false;
    }
    return true;
}

bool Count(const char*, const char*, FSCatalogInfo* info, void* context)
{
    *static_cast<uint64_t*>(context) += info->dataLogicalSize + 1;
    return true;
}

void BM_EnumerateFilesCount(benchmark::State& state)
{
    for (auto _ : state) {
        uint64_t total = 0;
        xwstring failedItem;
        if (EnumerateFiles(sTree.c_str(), nullptr, Count, &total, &failedItem) != errFSNoMoreItems)
            state.SkipWithError("walk failed");
        benchmark::DoNotOptimize(total);
    }
}

void BM_EnumerateFilesIntoFileList(benchmark::State& state)
{
    for (auto _ : state) {
        CFileList files;
        xwstring failedItem;
        if (EnumerateFiles(sTree.c_str(), nullptr, CQVWebClientBaseMac::EnumerationCallback, &files, &failedItem) !=
            errFSNoMoreItems)
            state.SkipWithError("walk failed");
        benchmark::DoNotOptimize(files.size());
        state.PauseTiming();
        files.clear();
        state.ResumeTiming();
    }
}

// A plug-in instance whose page takes every notification text.
class PickingClient : public CQVWebClientBaseMac {
public:
    bool NotifyBrowser(const char* json) override
    {
        received += strlen(json);
        return true;
    }
    void Log(const char*) override {}
    size_t received = 0;
};

// The whole road of a picked folder: walk, upload list, "FilesAddedToUploadList" notifications.
void BM_PickToNotifications(benchmark::State& state)
{
    for (auto _ : state) {
        auto* client = new PickingClient;
        json_xwstringset picked;
        picked.insert(xwstring(sTree.c_str()));
        if (!client->AddFiles(picked))
            state.SkipWithError("pick failed");
        benchmark::DoNotOptimize(client->received);
        state.PauseTiming();
        delete client;
        state.ResumeTiming();
    }
}

// Runs a program with its output to /dev/null and adds its CPU time (user and system) and peak
// resident memory to the counters; false when it failed.
bool RunChild(char* const arguments[], double& cpuSeconds, double& maxResidentMB)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child;
    int status = 0;
    rusage usage{};
    const bool ran = posix_spawnp(&child, arguments[0], &actions, nullptr, arguments, environ) == 0 &&
                     wait4(child, &status, 0, &usage) == child && status == 0;
    posix_spawn_file_actions_destroy(&actions);
    cpuSeconds += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    maxResidentMB = std::max(maxResidentMB, static_cast<double>(usage.ru_maxrss) / 1024);
    return ran;
}

void RunChildren(benchmark::State& state, char* const arguments[])
{
    double cpuSeconds = 0;
    double maxResidentMB = 0;
    for (auto _ : state) {
        if (!RunChild(arguments, cpuSeconds, maxResidentMB))
            state.SkipWithError("child failed");
    }
    state.counters["child_cpu_ms"] = cpuSeconds * 1e3 / static_cast<double>(state.iterations());
    state.counters["child_max_rss_MB"] = maxResidentMB;
}

void BM_FindPrintf(benchmark::State& state)
{
    char* arguments[] = {const_cast<char*>("find"), const_cast<char*>(sTree.c_str()), const_cast<char*>("-type"),
                         const_cast<char*>("f"), const_cast<char*>("-printf"), const_cast<char*>("%s %p\n"), nullptr};
    RunChildren(state, arguments);
}

std::string sSelf;  // this program

// The first pick in a fresh process: this program with --pick=TREE.
void BM_FirstPickFresh(benchmark::State& state)
{
    const std::string pick = "--pick=" + sTree;
    char* arguments[] = {const_cast<char*>(sSelf.c_str()), const_cast<char*>(pick.c_str()), nullptr};
    RunChildren(state, arguments);
}

BENCHMARK(BM_FindPrintf)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnumerateFilesCount)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnumerateFilesIntoFileList)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PickToNotifications)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstPickFresh)->UseRealTime()->Unit(benchmark::kMillisecond);

// Prints the usual table, then each walk's real time as a ratio to find's.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        // With repetitions the median comes after the single runs and replaces them.
        for (const Run& run : runs)
            if (!run.error_occurred &&
                (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")) {
                mTimes[run.run_name.function_name] = run.GetAdjustedRealTime();
                const auto cpu = run.counters.find("child_cpu_ms");
                if (cpu != run.counters.end())
                    mChildCpu[run.run_name.function_name] = cpu->second.value;
            }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const auto find = mTimes.find("BM_FindPrintf");
        if (find == mTimes.end())
            return;
        for (const auto& [name, time] : mTimes)
            if (name != find->first)
                printf("%s / find: %.2f\n", name.c_str(), time / find->second);
        const auto findCpu = mChildCpu.find("BM_FindPrintf");
        for (const auto& [name, cpu] : mChildCpu)
            if (findCpu != mChildCpu.end() && name != findCpu->first)
                printf("%s / find, CPU time of the child processes: %.2f\n", name.c_str(), cpu / findCpu->second);
    }

private:
    std::map<std::string, double> mTimes;
    std::map<std::string, double> mChildCpu;
};

// The value of the option --name=value, removed from argv; empty when absent.
std::string TakeOption(int& argc, char** argv, const char* prefix)
{
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], prefix, strlen(prefix)) == 0) {
            std::string value = argv[i] + strlen(prefix);
            for (int j = i; j < argc; ++j)
                argv[j] = argv[j + 1];
            --argc;
            return value;
        }
    return "";
}
}  // namespace

int main(int argc, char** argv)
{
    const std::string walkOnly = TakeOption(argc, argv, "--walk=");
    const std::string countOnly = TakeOption(argc, argv, "--count=");
    const std::string pickOnly = TakeOption(argc, argv, "--pick=");
    const std::string makeOnly = TakeOption(argc, argv, "--make-tree=");
    const std::string filesOption = TakeOption(argc, argv, "--files=");
    const long files = filesOption.empty() ? 100000 : atol(filesOption.c_str());
    std::error_code selfError;
    sSelf = std::filesystem::read_symlink("/proc/self/exe", selfError).string();
    if (!walkOnly.empty()) {
        CFileList list;
        xwstring failedItem;
        const OSStatus status =
            EnumerateFiles(walkOnly.c_str(), nullptr, CQVWebClientBaseMac::EnumerationCallback, &list, &failedItem);
        printf("status %d, %zu files\n", status, list.size());
        return status == errFSNoMoreItems ? 0 : 1;
    }
    if (!countOnly.empty()) {
        uint64_t total = 0;
        const OSStatus status = EnumerateFiles(countOnly.c_str(), nullptr, Count, &total, nullptr);
        printf("status %d, %llu\n", status, static_cast<unsigned long long>(total));
        return status == errFSNoMoreItems ? 0 : 1;
    }
    if (!pickOnly.empty()) {
        PickingClient client;
        json_xwstringset picked;
        picked.insert(xwstring(pickOnly.c_str()));
        const bool added = client.AddFiles(picked);
        printf("added %d, %zu bytes of notifications\n", added, client.received);
        return added ? 0 : 1;
    }
    if (!makeOnly.empty())
        return MakeTree(makeOnly + "/Tree", files) ? 0 : 1;

    const std::string treeOption = TakeOption(argc, argv, "--tree=");
    if (!treeOption.empty()) {
        sTree = treeOption;
        benchmark::Initialize(&argc, argv);
        RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        benchmark::Shutdown();
        return 0;
    }

    char base[] = "/tmp/bench_walk.XXXXXX";
    if (!mkdtemp(base)) {
        perror("mkdtemp");
        return 1;
    }
    sTree = std::string(base) + "/Tree";
    int status = 1;
    if (MakeTree(sTree, files)) {
        printf("tree: %ld files under %s\n", files, sTree.c_str());
        benchmark::Initialize(&argc, argv);
        RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        benchmark::Shutdown();
        status = 0;
    } else {
        perror("making the tree");
    }
    std::error_code error;
    std::filesystem::remove_all(base, error);
    return status;
}
