#include "MacTestSupport.h"

#include <gtest/gtest.h>

TEST(MacClient, InitializeAnswersAndWiresTheLogger)
{
    MacTestClient client;
    xwstring response;
    ASSERT_TRUE(client.Initialize(response));
    EXPECT_STREQ(static_cast<const char*>(response),
                 R"({ "version": "8.0.1x189", "type": "Response", "code": "Initialize", "support_dragdrop": false })");
    client.SetDragDrop(true);

    SystemLogCapture syslog;
    client.CreateLogger();
    ASSERT_TRUE(client.Initialize(response));
    EXPECT_EQ(JsonMember(static_cast<const char*>(response), "support_dragdrop"), "true");
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
    client.ReportError(kErrTooManyFiles, 20);
    EXPECT_EQ(JsonMember(client.notifications.back(), "text"), "Not allowed to queue more than 20 files for sending");
}

namespace {
long sFakeNow = 0;
int sSleeps = 0;
long FakeNow() { return sFakeNow; }
void FakeSleep(unsigned int microseconds)
{
    EXPECT_EQ(microseconds, 100000u);
    ++sSleeps;
    ++sFakeNow;  // each poll seems to take a whole second
}
}  // namespace

TEST(AssistantLaunch, GivesUpAfterMoreThan120Seconds)
{
    TestSandbox sandbox;
    sandbox.InstallAssistantEntry("/bin/true");  // launches, but never checks in
    CQVWebClientBaseMac::SetWaitClock({&FakeNow, &FakeSleep});
    SystemLogCapture syslog;
    MacTestClient client;
    ProcessSerialNumber psn = {1, 1};
    EXPECT_FALSE(client.FindAssistantApplication(psn));
    EXPECT_EQ(sSleeps, 121);  // 120 elapsed seconds is not yet more than 120
    EXPECT_EQ(psn.lowLongOfPSN, 0u);
    int timeouts = 0;
    for (const auto& line : syslog.lines)
        timeouts += line == "Timeout waiting for Assistant process to launch";
    EXPECT_EQ(timeouts, 1);
}

TEST(AssistantLaunch, RefusedLaunchFailsAtOnce)
{
    TestSandbox sandbox;  // no desktop entry
    CQVWebClientBaseMac::SetWaitClock({&FakeNow, &FakeSleep});
    sSleeps = 0;
    MacTestClient client;
    client.UploadList().emplace(xwstring_pair(xwstring("/a"), xwstring("")), 1.0);
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"StartUpload"})"));
    EXPECT_EQ(sSleeps, 0);
    ASSERT_EQ(client.notifications.size(), 1u);
    EXPECT_EQ(JsonMember(client.notifications[0], "text"), "Failed to launch Qiravel Assistant");
}

TEST(MacClient, FileURLsBecomePaths)
{
    MacTestClient client;
    const auto pathOf = [&](const char* url) {
        CFStringRef path = nullptr;
        client.GetFSItemFullPosixPathFromURLString(url, &path);
        if (!path)
            return std::string("<none>");
        char text[1024] = {};
        CFStringGetCString(path, text, sizeof text, kCFStringEncodingUTF8);
        WC_CFReleaseIfNotNULL(path);
        return std::string(text);
    };
    EXPECT_EQ(pathOf("file:///tmp"), "/tmp");
    EXPECT_EQ(pathOf("file:///no%20such/place"), "");
    EXPECT_EQ(pathOf("https://example.org/a"), "");
    EXPECT_EQ(pathOf("not a url"), "<none>");
    EXPECT_EQ(pathOf(nullptr), "<none>");
}
