// AddFiles of N new entries into an empty upload list, against building and serialising the same
// notifications with json-c alone. Also reports the resident bytes per upload-list entry, and two
// requests on a list of N entries against json-c doing their JSON work alone: deleting half of
// the entries, and starting the upload of all of them.
//
// The list must hold about 480 bytes per entry, which the reference never keeps. Where those
// bytes come from decides much of the time, so AddFiles runs in three heap states:
//   fresh: the first AddFiles in a fresh process, one process per repetition (the first large
//          pick in a browser's process); the child times the call and reports it;
//   cold:  every free page is given back to the kernel first, so the list is built in pages the
//          kernel must fault in, but the process has run earlier fills;
//   warm:  an earlier fill of the same size was freed and its pages kept (later picks).
// BM_TouchFreshPages writes one byte to each page of as much freshly mapped memory as the list
// needs: what the kernel alone costs in the cold state.
//
//   bench_addfiles [benchmark flags]
//   bench_addfiles --first=N        one AddFiles of N entries in this process; prints its CPU milliseconds
//   bench_addfiles --first-jsonc=N  json-c making the same notifications once in this process; the same
#include "QVWebClientBase.h"

#include <benchmark/benchmark.h>
#include <json-c/json.h>
#include <malloc.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {
const size_t kListBytesPerEntry = 480;

struct Entry {
    std::string path;
    std::string relative;
    double size;
};

// Paths as a folder walk produces them: a few levels of folders, then files.
std::vector<Entry> MakeEntries(int64_t count)
{
    std::vector<Entry> entries;
    entries.reserve(static_cast<size_t>(count));
    char path[128];
    char relative[64];
    for (int64_t i = 0; i < count; ++i) {
        snprintf(relative, sizeof relative, "Pictures/%03lld/%03lld/", static_cast<long long>(i / 100000),
                 static_cast<long long>(i / 1000 % 100));
        snprintf(path, sizeof path, "/home/someone/%simage_%08lld.jpg", relative, static_cast<long long>(i));
        entries.push_back({path, relative, static_cast<double>(1000 + i)});
    }
    return entries;
}

CFileList MakeFileList(const std::vector<Entry>& entries)
{
    CFileList files;
    for (const Entry& entry : entries)
        files.emplace_hint(files.end(), xwstring_pair(xwstring(entry.path.c_str()), xwstring(entry.relative.c_str())),
                           entry.size);
    return files;
}

class BenchClient : public CQVWebClientBase {
public:
    using CQVWebClientBase::AddFiles;
    bool NotifyBrowser(const char* json) override
    {
        received += strlen(json);
        return true;
    }
    void CreateLogger() override {}
    bool ProxyExecuteRequest(wchar_t* request) override
    {
        received += wcslen(request);
        return true;
    }
    bool AddFiles(json_xwstringset&) override { return false; }
    bool RetrieveErrorString(tErrorStringID, xwstring&) override { return false; }
    size_t received = 0;
};

// Freed memory stays in the process until malloc_trim gives it back, so each case sets its
// own heap state; large blocks (json-c's text buffer) come from the heap, not from mmap.
void KeepFreedPages()
{
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
}

void AddFilesIn(benchmark::State& state, bool warm)
{
    KeepFreedPages();
    const std::vector<Entry> entries = MakeEntries(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        CFileList files = MakeFileList(entries);
        if (warm)
            BenchClient().AddFiles(files);  // adds all of them, so files stays as it is
        else
            malloc_trim(0);
        auto client = std::make_unique<BenchClient>();
        state.ResumeTiming();
        client->AddFiles(files);
        benchmark::DoNotOptimize(client->received);
        state.PauseTiming();
        client.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

double CpuMilliseconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The CPU time, in milliseconds, of one AddFiles of count entries, the first in this process.
double FirstAddFiles(int64_t count)
{
    CFileList files = MakeFileList(MakeEntries(count));
    BenchClient client;
    const double start = CpuMilliseconds();
    client.AddFiles(files);
    const double took = CpuMilliseconds() - start;
    benchmark::DoNotOptimize(client.received);
    return took;
}

// Runs this program with --first=N and takes the CPU time that it reports as the iteration's time
// (the CPU column shows the parent's own, which is next to nothing).
void BM_AddFilesFresh(benchmark::State& state)
{
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        state.SkipWithError("no path to this program");
        return;
    }
    const std::string command = std::string(self, static_cast<size_t>(length)) + " --first=" +
                                std::to_string(state.range(0)) + " 2>/dev/null";
    for (auto _ : state) {
        FILE* child = popen(command.c_str(), "r");
        double milliseconds = -1;
        if (!child || fscanf(child, "%lf", &milliseconds) != 1 || pclose(child) != 0 || milliseconds < 0) {
            state.SkipWithError("child failed");
            break;
        }
        state.SetIterationTime(milliseconds / 1000);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_AddFilesCold(benchmark::State& state) { AddFilesIn(state, false); }
void BM_AddFilesWarm(benchmark::State& state) { AddFilesIn(state, true); }

// The same notifications built and serialised with json-c alone; returns the bytes of text.
size_t JsonCNotifications(const std::vector<Entry>& entries)
{
    size_t received = 0;
    for (size_t start = 0; start < entries.size(); start += 1000) {
        json_object* message = json_object_new_object();
        json_object_object_add(message, "version", json_object_new_string("8.0.1x189"));
        json_object_object_add(message, "type", json_object_new_string("Notification"));
        json_object_object_add(message, "code", json_object_new_string("FilesAddedToUploadList"));
        json_object* array = json_object_new_array();
        for (size_t i = start; i < entries.size() && i < start + 1000; ++i) {
            json_object* item = json_object_new_object();
            json_object_object_add(item, "file_path", json_object_new_string(entries[i].path.c_str()));
            json_object_object_add(item, "relative_path", json_object_new_string(entries[i].relative.c_str()));
            json_object* size = json_object_new_double(entries[i].size);
            json_object_set_serializer(size, json_object_double_to_json_string, const_cast<char*>("%lf"), nullptr);
            json_object_object_add(item, "size", size);
            json_object_array_add(array, item);
        }
        json_object_object_add(message, "files_ul", array);
        received += strlen(json_object_to_json_string(message));
        json_object_put(message);
    }
    return received;
}

void BM_RawJsonC(benchmark::State& state)
{
    KeepFreedPages();
    const std::vector<Entry> entries = MakeEntries(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(JsonCNotifications(entries));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The CPU time, in milliseconds, of json-c making the same notifications, the first in this process.
double FirstJsonC(int64_t count)
{
    const std::vector<Entry> entries = MakeEntries(count);
    const double start = CpuMilliseconds();
    benchmark::DoNotOptimize(JsonCNotifications(entries));
    return CpuMilliseconds() - start;
}

json_object* NewString(const std::string& text) { return json_object_new_string(text.c_str()); }

// A size as the plug-in writes it: a JSON double in the "%lf" form.
json_object* NewSize(double size)
{
    json_object* value = json_object_new_double(size);
    json_object_set_serializer(value, json_object_double_to_json_string, const_cast<char*>("%lf"), nullptr);
    return value;
}

json_object* NewEntry(const std::string& path, const std::string& relative, double size)
{
    json_object* item = json_object_new_object();
    json_object_object_add(item, "file_path", NewString(path));
    json_object_object_add(item, "relative_path", NewString(relative));
    json_object_object_add(item, "size", NewSize(size));
    return item;
}

json_object* NewMessage(const char* type, const char* code)
{
    json_object* message = json_object_new_object();
    json_object_object_add(message, "version", json_object_new_string("8.0.1x189"));
    json_object_object_add(message, "type", json_object_new_string(type));
    json_object_object_add(message, "code", json_object_new_string(code));
    return message;
}

// The request that deletes every other entry, as the page's wide text.
std::wstring DeleteEveryOtherRequest(const std::vector<Entry>& entries)
{
    json_object* request = json_object_new_object();
    json_object_object_add(request, "type", json_object_new_string("Request"));
    json_object_object_add(request, "code", json_object_new_string("DeleteFilesFromUploadList"));
    json_object* array = json_object_new_array();
    for (size_t i = 0; i < entries.size(); i += 2)
        json_object_array_add(array, NewEntry(entries[i].path, entries[i].relative, entries[i].size));
    json_object_object_add(request, "files_ul", array);
    const std::string narrow = json_object_to_json_string_ext(request, JSON_C_TO_STRING_PLAIN);
    json_object_put(request);
    return std::wstring(narrow.begin(), narrow.end());  // the paths are ASCII
}

// "DeleteFilesFromUploadList" of every other entry of a list of N, through ExecuteRequest, with
// the page taking the notification.
void BM_DeleteHalf(benchmark::State& state)
{
    KeepFreedPages();
    const std::vector<Entry> entries = MakeEntries(state.range(0));
    std::wstring request = DeleteEveryOtherRequest(entries);
    for (auto _ : state) {
        state.PauseTiming();
        auto client = std::make_unique<BenchClient>();
        CFileList files = MakeFileList(entries);
        client->AddFiles(files);
        files.clear();
        client->received = 0;
        std::wstring text = request;
        state.ResumeTiming();
        client->ExecuteRequest(text.data());
        benchmark::DoNotOptimize(client->received);
        state.PauseTiming();
        client.reset();
        state.ResumeTiming();
    }
}

// json-c parsing the same request and building and serialising the notification of its entries.
void BM_DeleteHalfJsonC(benchmark::State& state)
{
    KeepFreedPages();
    const std::vector<Entry> entries = MakeEntries(state.range(0));
    const std::wstring wide = DeleteEveryOtherRequest(entries);
    const std::string request(wide.begin(), wide.end());
    for (auto _ : state) {
        json_object* parsed = json_tokener_parse(request.c_str());
        json_object* files = json_object_object_get(parsed, "files_ul");
        json_object* message = NewMessage("Notification", "FilesDeletedFromUploadList");
        json_object* array = json_object_new_array();
        const size_t count = json_object_array_length(files);
        for (size_t i = 0; i < count; ++i) {
            json_object* item = json_object_array_get_idx(files, i);
            json_object_array_add(array, NewEntry(json_object_get_string(json_object_object_get(item, "file_path")),
                                                  json_object_get_string(json_object_object_get(item, "relative_path")),
                                                  json_object_get_double(json_object_object_get(item, "size"))));
        }
        json_object_object_add(message, "files_ul", array);
        benchmark::DoNotOptimize(strlen(json_object_to_json_string(message)));
        json_object_put(message);
        json_object_put(parsed);
    }
}

// "StartUpload" of a list of N entries through ExecuteRequest, with the proxy taking the wide text.
void BM_StartUpload(benchmark::State& state)
{
    KeepFreedPages();
    const std::vector<Entry> entries = MakeEntries(state.range(0));
    auto client = std::make_unique<BenchClient>();
    CFileList files = MakeFileList(entries);
    client->AddFiles(files);
    files.clear();
    std::wstring request = L"{\"type\":\"Request\",\"code\":\"StartUpload\"}";
    for (auto _ : state) {
        client->received = 0;
        client->ExecuteRequest(request.data());
        benchmark::DoNotOptimize(client->received);
    }
}

// json-c building and serialising the same request.
void BM_StartUploadJsonC(benchmark::State& state)
{
    KeepFreedPages();
    const std::vector<Entry> entries = MakeEntries(state.range(0));
    for (auto _ : state) {
        json_object* request = json_object_new_object();
        json_object_object_add(request, "type", json_object_new_string("Request"));
        json_object_object_add(request, "code", json_object_new_string("StartUpload"));
        json_object* array = json_object_new_array();
        for (const Entry& entry : entries)
            json_object_array_add(array, NewEntry(entry.path, entry.relative, entry.size));
        json_object_object_add(request, "files_ul", array);
        benchmark::DoNotOptimize(strlen(json_object_to_json_string(request)));
        json_object_put(request);
    }
}

void BM_TouchFreshPages(benchmark::State& state)
{
    const size_t bytes = static_cast<size_t>(state.range(0)) * kListBytesPerEntry;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    for (auto _ : state) {
        void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            state.SkipWithError("mmap failed");
            break;
        }
        auto* memory = static_cast<volatile char*>(mapped);
        for (size_t at = 0; at < bytes; at += page)
            memory[at] = 1;
        state.PauseTiming();
        munmap(mapped, bytes);
        state.ResumeTiming();
    }
}

// Resident memory of the process: the list's blocks come from the heap and from the arena's own
// mappings, so the heap's statistics alone miss most of them.
size_t ResidentBytes()
{
    long pages = 0;
    long resident = 0;
    if (FILE* statm = fopen("/proc/self/statm", "r")) {
        if (fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(statm);
    }
    return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

void BM_UploadListBytesPerEntry(benchmark::State& state)
{
    const std::vector<Entry> entries = MakeEntries(state.range(0));
    for (auto _ : state) {
        CFileList files = MakeFileList(entries);
        malloc_trim(0);
        const size_t before = ResidentBytes();
        BenchClient client;
        client.AddFiles(files);
        const size_t after = ResidentBytes();
        state.counters["bytes_per_entry"] = static_cast<double>(after - before) / static_cast<double>(entries.size());
    }
}

void Sizes(benchmark::internal::Benchmark* bench)
{
    bench->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
}
}  // namespace

BENCHMARK(BM_RawJsonC)->Apply(Sizes);
BENCHMARK(BM_AddFilesFresh)->Apply(Sizes)->UseManualTime();
BENCHMARK(BM_AddFilesCold)->Apply(Sizes);
BENCHMARK(BM_AddFilesWarm)->Apply(Sizes);
BENCHMARK(BM_TouchFreshPages)->Apply(Sizes);
BENCHMARK(BM_UploadListBytesPerEntry)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteHalfJsonC)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteHalf)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartUploadJsonC)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartUpload)->Arg(1000000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--first=", 8) == 0) {
            printf("%f\n", FirstAddFiles(atoll(argv[i] + 8)));
            return 0;
        }
        if (strncmp(argv[i], "--first-jsonc=", 14) == 0) {
            printf("%f\n", FirstJsonC(atoll(argv[i] + 14)));
            return 0;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
