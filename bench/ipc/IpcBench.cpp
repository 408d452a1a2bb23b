// One-way events between two processes: AESendMessage to a handler on a GLib main loop, against
// raw length-prefixed writes of the same bytes over a Unix-domain socket to a process that only
// cuts the frames apart. Also the median latency from the send to the receiver's first look.
//
// usage: bench_ipc [benchmark options]
#include "Common/AssistantLink.h"
#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/Processes/Processes.h"

#include <benchmark/benchmark.h>
#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {
const AEEventClass kBenchClass = 'QVbn';
const AEEventID kDataID = 'evnt';
const AEEventID kSyncID = 'sync';
const AEEventID kLatencyID = 'late';
const int kBatch = 1000;
const size_t kTextSize = 300;

// Raw frames: u32 length, a kind byte, then the event's flattened bytes.
enum RawKind : char { kRawData = 'D', kRawSync = 'S', kRawLatency = 'L' };

ProcessSerialNumber sEventReceiver;
int sEventAck = -1;  // the receivers answer syncs with their count and latency probes with a time
int sRawSocket = -1;
int sRawAck = -1;
std::vector<char> sFlattened;

uint64_t NowNanoseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void WriteValue(int fd, uint64_t value)
{
    if (write(fd, &value, sizeof value) != sizeof value)
        _exit(3);
}

uint64_t ReadValue(int fd)
{
    uint64_t value = 0;
    if (read(fd, &value, sizeof value) != sizeof value) {
        fprintf(stderr, "bench_ipc: receiver gone\n");
        exit(1);
    }
    return value;
}

AppleEvent MakeEvent(const ProcessSerialNumber& target, AEEventID eventID)
{
    AEAddressDesc address;
    AECreateDesc(typeProcessSerialNumber, &target, sizeof target, &address);
    AppleEvent event;
    AECreateAppleEvent(kBenchClass, eventID, &address, kAutoGenerateReturnID, kAnyTransactionID, &event);
    AEDisposeDesc(&address);
    const std::string text(kTextSize, 'x');
    AEPutParamPtr(&event, keyDirectObject, typeChar, text.data(), static_cast<Size>(text.size()));
    ProcessSerialNumber self;
    GetCurrentProcess(&self);
    AEPutParamPtr(&event, kHostProcessKeyword, typeProcessSerialNumber, &self, sizeof self);
    const uint64_t refCon = 12345;
    AEPutParamPtr(&event, kRefConKeyword, typeUInt32, &refCon, sizeof refCon);
    return event;
}

// The event receiver: handlers on a GLib main loop.
uint64_t sHandled = 0;
int sAckWrite = -1;

OSErr CountEvent(const AppleEvent*, AppleEvent*, SRefCon)
{
    ++sHandled;
    return noErr;
}
OSErr AnswerSync(const AppleEvent*, AppleEvent*, SRefCon)
{
    WriteValue(sAckWrite, sHandled);
    return noErr;
}
OSErr AnswerLatency(const AppleEvent*, AppleEvent*, SRefCon)
{
    WriteValue(sAckWrite, NowNanoseconds());
    return noErr;
}

[[noreturn]] void ServeEvents(int ack)
{
    sAckWrite = ack;
    if (AEInstallEventHandler(kBenchClass, kDataID, &CountEvent, nullptr, false) != noErr ||
        AEInstallEventHandler(kBenchClass, kSyncID, &AnswerSync, nullptr, false) != noErr ||
        AEInstallEventHandler(kBenchClass, kLatencyID, &AnswerLatency, nullptr, false) != noErr)
        _exit(2);
    WriteValue(ack, 0);
    GMainLoop* loop = g_main_loop_new(nullptr, false);
    g_main_loop_run(loop);
    _exit(0);
}

// The raw receiver: reads and cuts frames, nothing more.
[[noreturn]] void ServeRaw(int socket, int ack)
{
    std::vector<char> buffer(1 << 20);
    size_t begin = 0;
    size_t end = 0;
    uint64_t handled = 0;
    for (;;) {
        if (begin == end)
            begin = end = 0;
        if (buffer.size() - end < 65536) {
            memmove(buffer.data(), buffer.data() + begin, end - begin);
            end -= begin;
            begin = 0;
        }
        const ssize_t count = read(socket, buffer.data() + end, buffer.size() - end);
        if (count <= 0)
            _exit(0);
        end += static_cast<size_t>(count);
        uint32_t length = 0;
        while (end - begin >= sizeof length &&
               (memcpy(&length, buffer.data() + begin, sizeof length), end - begin - sizeof length >= length)) {
            const char kind = buffer[begin + sizeof length];
            if (kind == kRawData)
                ++handled;
            else
                WriteValue(ack, kind == kRawSync ? handled : NowNanoseconds());
            begin += sizeof length + length;
        }
    }
}

std::vector<char> RawFrame(RawKind kind)
{
    const uint32_t length = static_cast<uint32_t>(1 + sFlattened.size());
    std::vector<char> frame(sizeof length);
    memcpy(frame.data(), &length, sizeof length);
    frame.push_back(kind);
    frame.insert(frame.end(), sFlattened.begin(), sFlattened.end());
    return frame;
}

void SendRaw(const std::vector<char>& frame)
{
    if (send(sRawSocket, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
        exit(1);
}

void SendEvent(const AppleEvent& event, benchmark::State& state)
{
    AppleEvent reply;
    AEInitializeDesc(&reply);
    if (AESendMessage(&event, &reply, kAENoReply, 600) != noErr)
        state.SkipWithError("AESendMessage failed");
}

void ReportMedianLatency(benchmark::State& state, std::vector<double>& samples)
{
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    state.counters["median_us"] = samples[samples.size() / 2];
}

void BM_AESendMessage(benchmark::State& state)
{
    AppleEvent data = MakeEvent(sEventReceiver, kDataID);
    AppleEvent sync = MakeEvent(sEventReceiver, kSyncID);
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i)
            SendEvent(data, state);
        SendEvent(sync, state);
        // Whatever the socket did not take is queued; this sender runs no main loop to write it.
        AEFlushPendingEvents(600);
        benchmark::DoNotOptimize(ReadValue(sEventAck));
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    AEDisposeDesc(&data);
    AEDisposeDesc(&sync);
}

void BM_RawWrite(benchmark::State& state)
{
    const std::vector<char> data = RawFrame(kRawData);
    const std::vector<char> sync = RawFrame(kRawSync);
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i)
            SendRaw(data);
        SendRaw(sync);
        benchmark::DoNotOptimize(ReadValue(sRawAck));
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_AESendMessageLatency(benchmark::State& state)
{
    AppleEvent probe = MakeEvent(sEventReceiver, kLatencyID);
    std::vector<double> samples;
    for (auto _ : state) {
        const uint64_t sent = NowNanoseconds();
        SendEvent(probe, state);
        AEFlushPendingEvents(600);
        samples.push_back(static_cast<double>(ReadValue(sEventAck) - sent) / 1000.0);
    }
    ReportMedianLatency(state, samples);
    AEDisposeDesc(&probe);
}

void BM_RawWriteLatency(benchmark::State& state)
{
    const std::vector<char> probe = RawFrame(kRawLatency);
    std::vector<double> samples;
    for (auto _ : state) {
        const uint64_t sent = NowNanoseconds();
        SendRaw(probe);
        samples.push_back(static_cast<double>(ReadValue(sRawAck) - sent) / 1000.0);
    }
    ReportMedianLatency(state, samples);
}

BENCHMARK(BM_RawWrite)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AESendMessage)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawWriteLatency)->UseRealTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AESendMessageLatency)->UseRealTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);

// Prints the usual table, then the event path against the raw writes: time per event and median
// latency, each as a ratio (the medians when repetitions are asked for).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || !(run.run_type == Run::RT_Iteration || run.aggregate_name == "median"))
                continue;
            const auto latency = run.counters.find("median_us");
            mValues[run.run_name.function_name] =
                latency != run.counters.end() ? static_cast<double>(latency->second) : run.GetAdjustedRealTime();
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        PrintRatio("time per event", "BM_AESendMessage", "BM_RawWrite");
        PrintRatio("median latency", "BM_AESendMessageLatency", "BM_RawWriteLatency");
    }

private:
    void PrintRatio(const char* what, const char* events, const char* raw)
    {
        if (mValues.count(events) && mValues.count(raw))
            printf("%s, AESendMessage / raw write: %.2f\n", what, mValues[events] / mValues[raw]);
    }
    std::map<std::string, double> mValues;
};

// Forks a receiver that serves socket; the child closes the sender's end, so that the receiver
// sees the end of the stream once the sender closes it.
pid_t StartReceiver(void (*serve)(int, int), int socket, int senderEnd, int* ack)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        close(senderEnd);
        serve(socket, pipeFds[1]);
    }
    close(pipeFds[1]);
    *ack = pipeFds[0];
    return pid;
}
}  // namespace

int main(int argc, char** argv)
{
    char runtime[] = "/tmp/bench_ipc.XXXXXX";
    if (!mkdtemp(runtime)) {
        perror("mkdtemp");
        return 1;
    }
    setenv("XDG_RUNTIME_DIR", runtime, 1);
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        perror("socketpair");
        return 1;
    }
    const pid_t rawReceiver =
        StartReceiver([](int socket, int ack) { ServeRaw(socket, ack); }, sockets[1], sockets[0], &sRawAck);
    close(sockets[1]);
    sRawSocket = sockets[0];
    const pid_t eventReceiver = StartReceiver([](int, int ack) { ServeEvents(ack); }, -1, sockets[0], &sEventAck);

    int status = 1;
    ReadValue(sEventAck);  // the receiver's port is open
    if (GetProcessForPID(eventReceiver, &sEventReceiver) == noErr) {
        AppleEvent event = MakeEvent(sEventReceiver, kDataID);
        sFlattened.resize(static_cast<size_t>(AESizeOfFlattenedDesc(&event)));
        Size size = 0;
        AEFlattenDesc(&event, sFlattened.data(), static_cast<Size>(sFlattened.size()), &size);
        AEDisposeDesc(&event);
        printf("event: %zu bytes flattened, %d events per batch\n", sFlattened.size(), kBatch);

        benchmark::Initialize(&argc, argv);
        RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        benchmark::Shutdown();
        status = 0;
    }
    close(sRawSocket);
    kill(eventReceiver, SIGTERM);
    waitpid(eventReceiver, nullptr, 0);
    waitpid(rawReceiver, nullptr, 0);
    if (system(("rm -rf '" + std::string(runtime) + "'").c_str()) != 0)
        fprintf(stderr, "bench_ipc: could not remove %s\n", runtime);
    return status;
}
