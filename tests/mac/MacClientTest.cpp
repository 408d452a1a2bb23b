#include "MacTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

// The response itself is checked where the page and the extension receive it. An unknown error
// text is logged and leaves the caller's text alone (the known ones are checked where the errors
// they name are reported).
TEST(MacClient, LoggerWritesEachLineToTheSystemLogAndThePage)
{
    MacTestClient client;
    xwstring response;
    SystemLogCapture syslog;
    client.CreateLogger();
    ASSERT_TRUE(client.Initialize(response));
    // One log call: the bare text, then the JSON message, in the system log; the JSON to Log.
    ASSERT_EQ(syslog.lines.size(), 2u);
    EXPECT_EQ(syslog.lines[0], "Initialize");
    ASSERT_EQ(client.logs.size(), 1u);
    EXPECT_EQ(syslog.lines[1], client.logs[0]);
    EXPECT_EQ(JsonMember(client.logs[0], "type"), "Log");

    xwstring text("unchanged");
    EXPECT_FALSE(client.RetrieveErrorString(static_cast<tErrorStringID>(5), text));
    EXPECT_STREQ(static_cast<const char*>(text), "unchanged");
    EXPECT_EQ(JsonMember(client.logs.back(), "text"), "Unknown stringID specified 5");
}

namespace {
const char kTimeoutLine[] = "Timeout waiting for Assistant process to launch";

// A wait clock that advances by the next of its steps (the last one repeating) at every sleep,
// and notes whether the time-out had been logged before each sleep.
struct FakeClock {
    long now = 0;
    std::vector<long> steps = {1};
    int sleeps = 0;
    bool loggedBeforeASleep = false;
    const SystemLogCapture* syslog = nullptr;
} sClock;

long FakeNow() { return sClock.now; }
void FakeSleep(unsigned int microseconds)
{
    EXPECT_EQ(microseconds, 100000u);
    for (const std::string& line : sClock.syslog->lines)
        sClock.loggedBeforeASleep |= line == kTimeoutLine;
    sClock.now += sClock.steps[std::min<size_t>(sClock.sleeps, sClock.steps.size() - 1)];
    ++sClock.sleeps;
}
}  // namespace

// The wait gives up at the first check at which more than 120 seconds have passed since the
// launch, wherever the clock started and however far it moves between checks.
TEST(AssistantLaunch, GivesUpAtTheFirstCheckPast120Seconds)
{
    TestSandbox sandbox;
    sandbox.InstallAssistantEntry("/bin/true");  // launches, but never checks in
    CQVWebClientBaseMac::SetWaitClock({&FakeNow, &FakeSleep});
    const struct {
        long start;
        std::vector<long> steps;
        int sleeps;
    } cases[] = {
        {1700000000, {1}, 121},     // elapsed time, not the clock's value; 120 seconds is not yet more than 120
        {0, {40}, 4},               // 40, 80, 120, then 160
        {0, {120, 1}, 2},           // exactly 120, then 121
        {0, {121}, 1},
        {50, {0, 0, 0, 200}, 4},  // a clock that stands still, then jumps
    };
    for (const auto& c : cases) {
        SystemLogCapture syslog;
        sClock = FakeClock{c.start, c.steps, 0, false, &syslog};
        MacTestClient client;
        ProcessSerialNumber psn = {1, 1};
        EXPECT_FALSE(client.FindAssistantApplication(psn));
        EXPECT_EQ(sClock.sleeps, c.sleeps) << c.start << " " << c.steps[0];
        EXPECT_FALSE(sClock.loggedBeforeASleep);
        EXPECT_EQ(std::count(syslog.lines.begin(), syslog.lines.end(), kTimeoutLine), 1);
    }
}

TEST(AssistantLaunch, RefusedLaunchFailsAtOnce)
{
    TestSandbox sandbox;  // no desktop entry
    CQVWebClientBaseMac::SetWaitClock({&FakeNow, &FakeSleep});
    SystemLogCapture syslog;
    sClock = FakeClock{0, {1}, 0, false, &syslog};
    MacTestClient client;
    client.UploadList().emplace(xwstring_pair(xwstring("/a"), xwstring("")), 1.0);
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"StartUpload"})"));
    EXPECT_EQ(sClock.sleeps, 0);
    ASSERT_EQ(client.notifications.size(), 1u);
    EXPECT_EQ(JsonMember(client.notifications[0], "text"), "Failed to launch Qiravel Assistant");
}

// The path comes from the item itself: links followed, "." and ".." removed, no trailing "/";
// one that does not fit in 1024 bytes with its NUL is empty, as is one of no existing item.
TEST(MacClient, FileURLsBecomeTheirItemsFullPaths)
{
    MacTestClient client;
    const auto pathOf = [&](const char* url) {
        CFStringRef path = nullptr;
        client.GetFSItemFullPosixPathFromURLString(url, &path);
        if (!path)
            return std::string("<none>");
        char text[2048] = {};
        CFStringGetCString(path, text, sizeof text, kCFStringEncodingUTF8);
        WC_CFReleaseIfNotNULL(path);
        return std::string(text);
    };
    const TempDir dir("qv-url");
    const std::string& root = dir.Path();
    std::filesystem::create_directory(root + "/target");
    std::filesystem::create_directory_symlink(root + "/target", root + "/link");
    // Folders whose full paths are 1023 and 1024 bytes long.
    std::string deep = root;
    while (deep.size() + 201 < 1023)
        deep += "/" + std::string(200, 'd');
    const std::string longest = deep + "/" + std::string(1023 - deep.size() - 1, 'e');
    const std::string tooLong = longest + "f";
    std::filesystem::create_directories(longest);
    std::filesystem::create_directories(tooLong);
    ASSERT_EQ(longest.size(), 1023u);

    const struct {
        std::string url;
        std::string path;
    } cases[] = {
        {"file://" + root + "/target/", root + "/target"},
        {"file://" + root + "/link/../link/./", root + "/target"},
        {"file://" + longest, longest},
        {"file://" + tooLong, ""},
        {"file://" + root + "/no%20such", ""},
        {"https://example.org/a", ""},
        {"not a url", "<none>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pathOf(c.url.c_str()), c.path) << c.url;
    EXPECT_EQ(pathOf(nullptr), "<none>");
}
