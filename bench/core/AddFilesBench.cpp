// AddFiles of N new entries into an empty upload list, against building and serialising the same
// notifications with json-c alone. Also reports the heap bytes held per upload-list entry.
//
// The list must hold about 480 bytes per entry, which the reference never keeps. Where those
// bytes come from decides much of the time, so AddFiles runs in two heap states:
//   cold: every free page is given back to the kernel first, so the list is built in pages the
//         kernel must fault in (the first large pick in a process);
//   warm: an earlier fill of the same size was freed and its pages kept (later picks).
// BM_TouchFreshPages writes one byte to each page of as much freshly mapped memory as the list
// needs: what the kernel alone costs in the cold state.
#include "QVWebClientBase.h"

#include <benchmark/benchmark.h>
#include <json-c/json.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
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
    bool ProxyExecuteRequest(wchar_t*) override { return true; }
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

void BM_AddFilesCold(benchmark::State& state) { AddFilesIn(state, false); }
void BM_AddFilesWarm(benchmark::State& state) { AddFilesIn(state, true); }

// The same notifications built and serialised with json-c alone.
void BM_RawJsonC(benchmark::State& state)
{
    KeepFreedPages();
    const std::vector<Entry> entries = MakeEntries(state.range(0));
    for (auto _ : state) {
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
        benchmark::DoNotOptimize(received);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
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

void BM_UploadListBytesPerEntry(benchmark::State& state)
{
    const std::vector<Entry> entries = MakeEntries(state.range(0));
    for (auto _ : state) {
        CFileList files = MakeFileList(entries);
        malloc_trim(0);
        const size_t before = mallinfo2().uordblks;
        BenchClient client;
        client.AddFiles(files);
        const size_t after = mallinfo2().uordblks;
        state.counters["bytes_per_entry"] = static_cast<double>(after - before) / static_cast<double>(entries.size());
    }
}

void Sizes(benchmark::internal::Benchmark* bench)
{
    bench->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
}
}  // namespace

BENCHMARK(BM_RawJsonC)->Apply(Sizes);
BENCHMARK(BM_AddFilesCold)->Apply(Sizes);
BENCHMARK(BM_AddFilesWarm)->Apply(Sizes);
BENCHMARK(BM_TouchFreshPages)->Apply(Sizes);
BENCHMARK(BM_UploadListBytesPerEntry)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
