#include "MacTestSupport.h"

#include "Platform/Processes/Processes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace {
std::string ReadFile(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Sends a status event to this process, as the Assistant would.
void SendStatus(const void* refCon, Size refConSize, const std::string& text, bool withRefCon = true)
{
    ProcessSerialNumber self;
    GetCurrentProcess(&self);
    StAEDescriptor target(typeProcessSerialNumber, &self, sizeof self);
    StAEDescriptor event;
    ASSERT_EQ(AECreateAppleEvent('Laso', 'assS', target, kAutoGenerateReturnID, kAnyTransactionID, event), noErr);
    if (withRefCon)
        AEPutParamPtr(event, 'STr1', typeUInt32, refCon, refConSize);
    AEPutParamPtr(event, 'NMsg', typeChar, text.data(), static_cast<Size>(text.size()));
    StAEDescriptor reply;
    ASSERT_EQ(AESendMessage(event, reply, kAENoReply, 600), noErr);
}
}  // namespace

TEST(StatusEvents, RoutedByRefConToLiveInstances)
{
    TestSandbox sandbox;
    auto* first = new MacTestClient;
    MacTestClient second;
    first->UploadList().emplace(xwstring_pair(xwstring("/up/a"), xwstring("")), 3.0);

    const uint64_t wideRefCon = first->RefCon();  // 8 bytes, as requests carry it
    SendStatus(&wideRefCon, 8, R"({"type":"Notification","code":"FileSent","files_ul":[{"file_path":"/up/a","relative_path":""}]})");
    const unsigned int secondRefCon = second.RefCon();
    const std::string progress = "{\"type\":\"Notification\", \"code\":\"Progress\",\"text\":\"\xC3\xA9\"}";
    SendStatus(&secondRefCon, 4, progress);
    ASSERT_TRUE(RunLoopUntil([&] { return !first->notifications.empty() && !second.notifications.empty(); }));
    EXPECT_EQ(JsonMember(first->notifications[0], "code"), "FilesDeletedFromUploadList");
    EXPECT_TRUE(first->UploadList().empty());
    EXPECT_EQ(second.notifications, std::vector<std::string>{progress});

    // Events for a destroyed instance, or without a refCon, reach nobody; the handler stays
    // installed for the instance that is left.
    const unsigned int goneRefCon = first->RefCon();
    delete first;
    SendStatus(&goneRefCon, 4, progress);
    SendStatus(nullptr, 0, progress, false);
    SendStatus(&secondRefCon, 4, R"({"type":"Notification","code":"Done"})");
    ASSERT_TRUE(RunLoopUntil([&] { return second.notifications.size() == 2; }));
    EXPECT_EQ(JsonMember(second.notifications[1], "code"), "Done");
}

TEST(StatusEvents, HandlerIsReferenceCounted)
{
    TestSandbox sandbox;
    MacTestClient client;
    CQVWebClientBaseMac::InstallAEHandlers();
    CQVWebClientBaseMac::RemoveAEHandlers();
    const unsigned int refCon = client.RefCon();
    SendStatus(&refCon, 4, R"({"type":"Notification","code":"Still"})");
    ASSERT_TRUE(RunLoopUntil([&] { return client.notifications.size() == 1; }));
    CQVWebClientBaseMac::RemoveAEHandlers();
    CQVWebClientBaseMac::RemoveAEHandlers();  // more removals than installs change nothing
    CQVWebClientBaseMac::InstallAEHandlers();
    SendStatus(&refCon, 4, R"({"type":"Notification","code":"Again"})");
    ASSERT_TRUE(RunLoopUntil([&] { return client.notifications.size() == 2; }));
}

TEST(AssistantLink, LaunchesTheAssistantAndRelaysItsStatus)
{
    TestSandbox sandbox;
    const std::string record = sandbox.Path() + "/requests.log";
    sandbox.InstallAssistantEntry(TestAssistantPath() + " --idle-seconds 10 --record " + record);
    MacTestClient client;
    client.CreateLogger();
    client.UploadList().emplace(xwstring_pair(xwstring("/up/\xC3\xA9t\xC3\xA9.txt"), xwstring("up/")), 5.0);
    client.UploadList().emplace(xwstring_pair(xwstring("/up/b.txt"), xwstring("up/")), 6.0);

    ASSERT_TRUE(client.Execute(R"({"type":"Request","code":"StartUpload","job":1})"));
    ASSERT_TRUE(RunLoopUntil([&] {
        return !client.notifications.empty() && JsonMember(client.notifications.back(), "code") == "UploadComplete";
    }, 10000));
    EXPECT_TRUE(client.UploadList().empty());
    int deletions = 0;
    for (const auto& notification : client.notifications)
        deletions += JsonMember(notification, "code") == "FilesDeletedFromUploadList";
    EXPECT_EQ(deletions, 2);
    EXPECT_EQ(client.notifications.back(), R"({ "type": "Notification", "code": "UploadComplete" })");

    // One request event with the refCon as 8 bytes and the text as UTF-8; the Assistant is
    // found running for the second request.
    client.SetDownloadLocation("/downloads");
    ASSERT_TRUE(client.Execute(R"({"type":"Request","code":"StartDownload"})"));
    ASSERT_TRUE(RunLoopUntil([&] { return JsonMember(client.notifications.back(), "code") == "DownloadComplete"; }));
    std::istringstream lines(ReadFile(record));
    std::string upload;
    std::string download;
    std::getline(lines, upload);
    std::getline(lines, download);
    const std::string prefix = "----:TEXT bPSN:psn  navG:magn navG=8:" + std::to_string(client.RefCon()) + " ";
    EXPECT_EQ(upload.substr(0, prefix.size()), prefix);
    EXPECT_NE(upload.find("\"job\": 1, \"files_ul\": [ { \"file_path\": \"\\/up\\/b.txt\""), std::string::npos) << upload;
    EXPECT_NE(upload.find("\xC3\xA9t\xC3\xA9"), std::string::npos);
    EXPECT_EQ(download, prefix + R"({ "type": "Request", "code": "StartDownload", "dest_path": "\/downloads" })");
}
