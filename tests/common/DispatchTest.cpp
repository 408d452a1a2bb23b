#include "TestClient.h"

#include "Platform/Clock/Clock.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <memory>

TEST(Dispatch, EnvelopeAndCodesIgnoreCase)
{
    TestClient client;
    client.SetDownloadFolder("/tmp");
    EXPECT_TRUE(client.Execute(R"({"type":"Request","code":"Reset"})"));  // before Initialize: no logger

    client.CreateLogger();
    client.UploadList().emplace(xwstring_pair(xwstring("/a"), xwstring("")), 1.0);
    EXPECT_TRUE(client.Execute(R"({"type":"REQUEST","code":"startupload"})"));
    EXPECT_EQ(client.proxied.size(), 1u);
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"SelectFilesToUpload"})"));
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"SelectDownloadLocation"})"));
    EXPECT_EQ(LogTexts(client), (std::vector<std::string>{"DEBUG ExecuteRequest", "DEBUG StartUpload",
                                                          "DEBUG ExecuteRequest", "DEBUG ExecuteRequest"}));

    client.logMessages.clear();
    EXPECT_FALSE(client.Execute(R"({"type":"Request"})"));
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":7})"));
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"Unknown"})"));
    EXPECT_EQ(LogTexts(client), std::vector<std::string>(3, "DEBUG ExecuteRequest"));
}

TEST(Dispatch, InvalidRequestsAreRefused)
{
    TestClient client(true);
    const std::string refused[] = {"null", "{}", "not json", R"([{"type":"Request"}])", "42", R"("Request")",
                                   R"({"type":7,"code":"Reset"})", R"({"type":"Notification","code":"Reset"})",
                                   R"({"type":")" + std::string(1 << 20, 'x') + "\"}", "{\"type\":\"Req\xFF\",\"code\":\"Reset\"}"};
    // A second round holds no more memory than the first: what a refused request parsed is freed.
    size_t heldAfter[2];
    for (size_t& held : heldAfter) {
        for (const std::string& text : refused) {
            client.logMessages.clear();
            EXPECT_FALSE(client.Execute(text)) << text.substr(0, 40);
            EXPECT_EQ(LogTexts(client), (std::vector<std::string>{"DEBUG ExecuteRequest", "ERROR Invalid request"}));
        }
        held = mallinfo2().uordblks;
    }
    EXPECT_LT(heldAfter[1], heldAfter[0] + 4096);
    EXPECT_FALSE(client.ExecuteRequest(nullptr));
}

namespace {
CFAbsoluteTime FixedClock() { return 1000.9; }
}  // namespace

TEST(Registry, InstancesAreFoundByDistinctRefCons)
{
    SystemLogCapture syslog;
    ClockSetSourceForTesting(&FixedClock);
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 10; ++i)
        clients.push_back(std::make_unique<TestClient>());
    ClockSetSourceForTesting(nullptr);

    EXPECT_EQ(clients[0]->RefCon(), 1000u);
    EXPECT_EQ(clients[9]->RefCon(), 1009u);
    char added[96];
    snprintf(added, sizeof added, "Added new instance of plugin, refCon=3e8, this=%p", static_cast<void*>(clients[0].get()));
    EXPECT_EQ(syslog.lines[0], added);

    syslog.lines.clear();
    EXPECT_EQ(CQVWebClientBase::GetPluginInstanceFromRefCon(1003), clients[3].get());
    EXPECT_EQ(CQVWebClientBase::GetPluginInstanceFromRefCon(0xabc), nullptr);
    EXPECT_EQ(syslog.lines, (std::vector<std::string>{"Searching plugin instances for refCon=3eb, numPlugins=a",
                                                      "Searching plugin instances for refCon=abc, numPlugins=a",
                                                      "Could not find plugin for refCon=abc"}));

    // Each instance receives its own notifications; a destroyed one is no longer found.
    const char* progress = R"({"type":"notification","code":"Progress", "n":1})";
    EXPECT_TRUE(CQVWebClientBase::NotificationCallback(progress, reinterpret_cast<long>(clients[4].get())));
    EXPECT_EQ(clients[4]->notifications, std::vector<std::string>{progress});
    EXPECT_TRUE(clients[5]->notifications.empty());
    EXPECT_FALSE(CQVWebClientBase::NotificationCallback(nullptr, reinterpret_cast<long>(clients[4].get())));
    EXPECT_FALSE(CQVWebClientBase::NotificationCallback(progress, 0));

    // A destroyed instance's refCon is not handed to the next instance of the same second, so a
    // late status event for the destroyed one reaches nobody.
    clients[1].reset();
    EXPECT_EQ(CQVWebClientBase::GetPluginInstanceFromRefCon(1001), nullptr);
    ClockSetSourceForTesting(&FixedClock);
    TestClient successor;
    ClockSetSourceForTesting(nullptr);
    EXPECT_EQ(successor.RefCon(), 1010u);
    TestClient reuser;
    EXPECT_EQ(CQVWebClientBase::GetPluginInstanceFromRefCon(reuser.RefCon()), &reuser);
    clients.clear();
    EXPECT_EQ(CQVWebClientBase::GetPluginInstanceFromRefCon(reuser.RefCon()), &reuser);
}

TEST(Notifications, FileSentIsConsumedOthersForwardedVerbatim)
{
    TestClient client(true);
    client.UploadList().emplace(xwstring_pair(xwstring("/Docs/a"), xwstring("Docs/")), 5.0);
    client.UploadList().emplace(xwstring_pair(xwstring("/Docs/b"), xwstring("Docs/")), 6.0);

    EXPECT_TRUE(client.HandleNotification(R"({"type":"Notification","code":"FileSent","files_ul":)"
                                          R"([{"file_path":"/docs/A","relative_path":"Docs/","size":5.0}]})"));
    ASSERT_EQ(client.notifications.size(), 1u);
    EXPECT_EQ(JsonMember(client.notifications[0], "code"), "FilesDeletedFromUploadList");
    EXPECT_EQ(client.UploadList().size(), 1u);

    const char* status = "{ \"type\" :\"Notification\",\"code\":\"TransferDone\",  \"x\":[1, 2] }";
    EXPECT_TRUE(client.HandleNotification(status));
    EXPECT_EQ(client.notifications.back(), status);

    client.logMessages.clear();
    EXPECT_FALSE(client.HandleNotification(R"({"type":"Notification","code":"FileSent"})"));
    EXPECT_FALSE(client.HandleNotification(R"({"type":"Log","code":"X"})"));
    EXPECT_FALSE(client.HandleNotification("[1,2]"));
    EXPECT_EQ(client.notifications.size(), 2u);
    EXPECT_EQ(LogTexts(client),
              (std::vector<std::string>{
                  "DEBUG HandleNotification", "DEBUG DeleteFilesFromUploadList",
                  "WARNING Invalid request / no files to delete",
                  "WARNING Failed to delete files from upload list while processing Assistant notification",
                  "DEBUG HandleNotification", "WARNING Wrong message type", "DEBUG HandleNotification",
                  "WARNING Invalid notification message"}));
}

TEST(ErrorReports, TextsFormattedAndCut)
{
    TestClient client;
    client.ReportError(kErrLaunchAssistant, 1);  // before Initialize the page still hears of it
    ASSERT_EQ(client.notifications.size(), 1u);
    EXPECT_EQ(client.notifications[0], R"({ "version": "8.0.1x189", "type": "Notification", "code": "Error", )"
                                       R"("text": "Failed to launch Qiravel Assistant" })");

    const std::string huge = std::string(1005, 'p') + "\xE2\x82\xAC";  // the euro sign straddles byte 1022
    client.ReportError(kErrOSError, huge.c_str(), -43);
    EXPECT_EQ(JsonMember(client.notifications[1], "text"), "Could not add '" + std::string(1005, 'p'));

    client.CreateLogger();
    client.ReportError(static_cast<tErrorStringID>(5));
    EXPECT_EQ(client.notifications.size(), 2u);
    EXPECT_EQ(LogTexts(client).back(), "ERROR Failed to retrieve error string 5");
}
