// AddFiles of N new entries into an empty upload list, against building and serialising the same
// notifications with json-c alone. Also reports the heap bytes held per upload-list entry.
#include "QVWebClientBase.h"

#include <benchmark/benchmark.h>
#include <json-c/json.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {
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

void BM_AddFiles(benchmark::State& state)
{
    const std::vector<Entry> entries = MakeEntries(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        CFileList files = MakeFileList(entries);
        auto* client = new BenchClient;
        state.ResumeTiming();
        client->AddFiles(files);
        benchmark::DoNotOptimize(client->received);
        state.PauseTiming();
        delete client;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The same notifications built and serialised with json-c alone.
void BM_RawJsonC(benchmark::State& state)
{
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

void BM_UploadListBytesPerEntry(benchmark::State& state)
{
    const std::vector<Entry> entries = MakeEntries(state.range(0));
    for (auto _ : state) {
        CFileList files = MakeFileList(entries);
        malloc_trim(0);
        const size_t before = mallinfo2().uordblks;
        auto* client = new BenchClient;
        client->AddFiles(files);
        const size_t after = mallinfo2().uordblks;
        state.counters["bytes_per_entry"] = static_cast<double>(after - before) / static_cast<double>(entries.size());
        delete client;
    }
}
}  // namespace

BENCHMARK(BM_AddFiles)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawJsonC)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UploadListBytesPerEntry)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
