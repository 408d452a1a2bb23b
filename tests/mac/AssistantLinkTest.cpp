#include "MacTestSupport.h"

#include "Platform/Processes/Processes.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>

namespace {
// A status event as the Assistant builds it, with the refCon as the given type and bytes (none
// when empty).
void BuildStatus(AppleEvent* event, DescType refConType, const std::string& refCon, DescType textType,
                 const std::string& text, const AEAddressDesc* target = nullptr)
{
    ASSERT_EQ(AECreateAppleEvent(kAssistantEventClass, kStatusEventID, target, kAutoGenerateReturnID, kAnyTransactionID, event), noErr);
    if (!refCon.empty())
        AEPutParamPtr(event, kStatusRefConKeyword, refConType, refCon.data(), static_cast<Size>(refCon.size()));
    AEPutParamPtr(event, kNotificationKeyword, textType, text.data(), static_cast<Size>(text.size()));
}

// Sends a status event to this process, as the Assistant would.
void SendStatus(const std::string& refCon, const std::string& text)
{
    ProcessSerialNumber self;
    GetCurrentProcess(&self);
    StAEDescriptor target(typeProcessSerialNumber, &self, sizeof self);
    StAEDescriptor event;
    BuildStatus(event, typeUInt32, refCon, typeChar, text, target);
    StAEDescriptor reply;
    ASSERT_EQ(AESendMessage(event, reply, kAENoReply, 600), noErr);
}

// Hands a status event straight to the handler.
OSErr Handle(DescType refConType, const std::string& refCon, DescType textType, const std::string& text)
{
    StAEDescriptor event;
    BuildStatus(event, refConType, refCon, textType, text);
    return CQVWebClientBaseMac::StatusAppleEventHandler(event, nullptr, nullptr);
}
}  // namespace

TEST(StatusEvents, RoutedByRefConToLiveInstances)
{
    TestSandbox sandbox;
    auto* first = new MacTestClient;
    MacTestClient second;
    SendStatus(Bytes(first->RefCon()), R"({"type":"Notification","code":"First"})");
    const std::string secondRefCon = Bytes(second.RefCon());
    const std::string progress = "{\"type\":\"Notification\", \"code\":\"Progress\",\"text\":\"\xC3\xA9\"}";
    SendStatus(secondRefCon, progress);
    ASSERT_TRUE(RunLoopUntil([&] { return !first->notifications.empty() && !second.notifications.empty(); }));
    EXPECT_EQ(first->notifications, std::vector<std::string>{R"({"type":"Notification","code":"First"})"});
    EXPECT_EQ(second.notifications, std::vector<std::string>{progress});

    // Events for a destroyed instance, or without a refCon, reach nobody; the handler stays
    // installed for the instance that is left.
    const std::string goneRefCon = Bytes(first->RefCon());
    delete first;
    SendStatus(goneRefCon, progress);
    SendStatus("", progress);
    SendStatus(secondRefCon, R"({"type":"Notification","code":"Done"})");
    ASSERT_TRUE(RunLoopUntil([&] { return second.notifications.size() == 2; }));
    EXPECT_EQ(JsonMember(second.notifications[1], "code"), "Done");

    // The last claim given up removes the handler; the next claim installs it again.
    CQVWebClientBaseMac::RemoveAEHandlers();
    CQVWebClientBaseMac::InstallAEHandlers();
    SendStatus(secondRefCon, progress);
    ASSERT_TRUE(RunLoopUntil([&] { return second.notifications.size() == 3; }));
}

TEST(AssistantLink, LaunchesTheAssistantAndRelaysItsStatus)
{
    TestSandbox sandbox;
    const std::string record = sandbox.Path() + "/requests.log";
    sandbox.InstallAssistantEntry(TEST_ASSISTANT_PATH " --idle-seconds 10 --record " + record);
    MacTestClient client;
    client.CreateLogger();
    client.UploadList().emplace(xwstring_pair(xwstring("/up/\xC3\xA9t\xC3\xA9.txt"), xwstring("up/")), 5.0);
    client.UploadList().emplace(xwstring_pair(xwstring("/up/b.txt"), xwstring("up/")), 6.0);

    ASSERT_TRUE(client.Execute(R"({"type":"Request","code":"StartUpload","job":1})"));
    ASSERT_TRUE(RunLoopUntil([&] {
        return !client.notifications.empty() && JsonMember(client.notifications.back(), "code") == "UploadComplete";
    }, 10000));
    EXPECT_TRUE(client.UploadList().empty());
    EXPECT_EQ(std::count_if(client.notifications.begin(), client.notifications.end(),
                            [](const std::string& text) { return JsonMember(text, "code") == "FilesDeletedFromUploadList"; }),
              2);
    EXPECT_EQ(client.notifications.back(), R"({ "type": "Notification", "code": "UploadComplete" })");

    // One request event with the refCon as 8 bytes and the text as UTF-8; the Assistant is
    // found running for the second request.
    client.SetDownloadLocation("/downloads");
    ASSERT_TRUE(client.Execute(R"({"type":"Request","code":"StartDownload"})"));
    ASSERT_TRUE(RunLoopUntil([&] { return JsonMember(client.notifications.back(), "code") == "DownloadComplete"; }));
    std::ifstream lines(record);
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

// A request that no event can carry (a pick of a million files comes to more) is refused as too
// large, not as a failed launch, and the Assistant is not looked for.
TEST(AssistantLink, RequestTooLargeForAnEventSaysSo)
{
    TestSandbox sandbox;
    MacTestClient client;
    client.CreateLogger();
    std::wstring request = L"{\"type\":\"Request\",\"code\":\"StartUpload\",\"pad\":\"";
    request.append(static_cast<size_t>(kAEMaxFlattenedSize), L'x');
    request += L"\"}";
    EXPECT_FALSE(client.ProxyExecuteRequest(request.data()));
    ASSERT_EQ(client.Errors().size(), 1u);
    EXPECT_EQ(client.Errors()[0].rfind("The request is too large to pass to Qiravel Assistant", 0), 0u)
        << client.Errors()[0];
    ASSERT_FALSE(client.logs.empty());
    EXPECT_EQ(JsonMember(client.logs[0], "code"), "ERROR");
    EXPECT_NE(JsonMember(client.logs[0], "text").find("is too large to pass to the Assistant"), std::string::npos);
}


// The refCon arrives when its value fits 32 unsigned bits, whatever numeric type carries it, and
// is refused otherwise; an instance under the refCon that a wrong reading would give hears nothing.
TEST(StatusEvents, RefConOfAnyNumericTypeArrivesWhenItFits)
{
    const struct {
        DescType type;
        std::string bytes;
        unsigned int refCon;  // where the event goes, or where a wrong reading would send it
        bool arrives;
    } cases[] = {
        {typeSInt16, Bytes<int16_t>(32767), 32767, true},
        {typeSInt16, Bytes<int16_t>(-1), 0xFFFFFFFF, false},
        {typeSInt16, Bytes<int32_t>(7), 7, false},  // the size does not suit the type
        {typeUInt16, Bytes<uint16_t>(65535), 65535, true},
        {typeSInt32, Bytes<int32_t>(2147483647), 2147483647, true},
        {typeSInt32, Bytes<int32_t>(-2), 0xFFFFFFFE, false},
        {typeUInt32, Bytes<uint32_t>(0xFFFFFFFF), 0xFFFFFFFF, true},
        {typeUInt32, Bytes<uint64_t>(0x500000007), 7, true},  // widened: its first four bytes
        {typeSInt64, Bytes<int64_t>(0xFFFFFFFF), 0xFFFFFFFF, true},
        {typeSInt64, Bytes<int64_t>(0x100000007), 7, false},
        {typeSInt64, Bytes<int64_t>(-1), 0xFFFFFFFF, false},
        {typeUInt64, Bytes<uint64_t>(0xFFFFFFFF), 0xFFFFFFFF, true},
        {typeUInt64, Bytes<uint64_t>(0x100000000), 0, false},
        {typeIEEE64BitFloatingPoint, Bytes(4294967295.0), 0xFFFFFFFF, true},
        {typeIEEE64BitFloatingPoint, Bytes(4294967296.0), 0, false},
        {typeIEEE64BitFloatingPoint, Bytes(1.5), 1, false},
        {typeIEEE64BitFloatingPoint, Bytes(-1.0), 0xFFFFFFFF, false},
        {typeIEEE64BitFloatingPoint, Bytes(std::nan("")), 0, false},
        {typeChar, "7", 7, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.type << " " << c.bytes.size() << " " << c.refCon);
        MacTestClient client;
        client.SetRefCon(c.refCon);
        const std::string text = R"({"type":"Notification","code":"Progress"})";
        EXPECT_EQ(Handle(c.type, c.bytes, typeChar, text), c.arrives ? noErr : errAECoercionFail);
        EXPECT_EQ(client.notifications, c.arrives ? std::vector<std::string>{text} : std::vector<std::string>{});
    }

    // The notification may come as UTF-8 text; as a number it is dropped with a warning.
    MacTestClient client;
    client.CreateLogger();
    client.SetRefCon(9);
    for (DescType textType : {typeUTF8Text, typeSInt32})
        EXPECT_EQ(Handle(typeSInt32, Bytes<int32_t>(9), textType, "{\"type\":\"Notification\",\"code\":\"\xC3\xA9\"}"), noErr);
    ASSERT_EQ(client.notifications.size(), 1u);
    EXPECT_EQ(JsonMember(client.notifications[0], "code"), "\xC3\xA9");
    EXPECT_EQ(JsonMember(client.logs.back(), "text"), "Unhandled exception while processing a notification");
}

// The page's callback runs inside the handler and may reset the instance, take a further status
// event, or destroy the instance.
TEST(StatusEvents, PageMayCallBackWhileAnEventIsHandled)
{
    auto* client = new MacTestClient;
    client->SetRefCon(11);
    client->UploadList().emplace(xwstring_pair(xwstring("/up/a"), xwstring("")), 1.0);
    std::vector<std::string> heard;
    OSErr nestedResult = 1;
    client->onNotification = [&](const std::string& text) {
        heard.push_back(JsonMember(text, "code"));
        if (heard.size() == 1) {
            EXPECT_TRUE(client->Execute(R"({"type":"Request","code":"Reset"})"));
            nestedResult = Handle(typeUInt32, Bytes<uint32_t>(11), typeChar, R"({"type":"Notification","code":"Second"})");
        } else {
            delete client;
            client = nullptr;
        }
    };
    EXPECT_EQ(Handle(typeUInt32, Bytes<uint32_t>(11), typeChar, R"({"type":"Notification","code":"First"})"), noErr);
    EXPECT_EQ(nestedResult, noErr);
    EXPECT_EQ(heard, (std::vector<std::string>{"First", "Second"}));
    EXPECT_EQ(client, nullptr);
}
