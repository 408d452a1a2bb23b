#include "TestClient.h"

#include <gtest/gtest.h>

TEST(Transfers, StartUploadSendsWholeListLast)
{
    TestClient client(true);
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"StartUpload"})"));
    EXPECT_TRUE(client.proxied.empty());
    EXPECT_EQ(LogTexts(client).back(), "ERROR Failed to convert list of files to JSON");

    client.UploadList().emplace(xwstring_pair(xwstring("/u/b"), xwstring("")), 2.0);
    client.UploadList().emplace(xwstring_pair(xwstring("/u/\xC3\xA9"), xwstring("u/")), 1536.0);
    EXPECT_TRUE(client.Execute(R"({"type":"Request","files_ul":[{"file_path":"/forged"}],"code":"StartUpload","job":7})"));
    ASSERT_EQ(client.proxied.size(), 1u);
    EXPECT_EQ(client.proxied[0], R"({ "type": "Request", "code": "StartUpload", "job": 7, "files_ul": [ )"
                                 R"({ "file_path": "\/u\/b", "relative_path": "", "size": 2.000000 }, )"
                                 "{ \"file_path\": \"\\/u\\/\xC3\xA9\", \"relative_path\": \"u\\/\", \"size\": 1536.000000 } ] }");
    EXPECT_EQ(client.UploadList().size(), 2u);

    client.proxyResult = false;
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"StartUpload"})"));
    EXPECT_EQ(LogTexts(client).back(), "ERROR Failed to pass request to file transfer proxy");
}

TEST(Transfers, StartDownloadConsumesTheFolder)
{
    TestClient client(true);
    client.SetDownloadFolder("/home/u/Downloads");
    client.proxyResult = false;
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"StartDownload"})"));
    client.proxyResult = true;
    EXPECT_TRUE(client.Execute(R"({"type":"Request","code":"StartDownload","dest_path":"/etc"})"));
    EXPECT_EQ(client.proxied.back(),
              R"({ "type": "Request", "code": "StartDownload", "dest_path": "\/home\/u\/Downloads" })");
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"StartDownload"})"));
    EXPECT_EQ(client.proxied.size(), 2u);
    EXPECT_EQ(LogTexts(client).back(), "ERROR Download location not specified");

    // A folder chosen from a page callback while the request is handed over is kept for the next.
    client.SetDownloadFolder("/first");
    client.duringProxy = [&client] { client.SetDownloadFolder("/second"); };
    EXPECT_TRUE(client.Execute(R"({"type":"Request","code":"StartDownload"})"));
    client.duringProxy = nullptr;
    EXPECT_TRUE(client.Execute(R"({"type":"Request","code":"StartDownload"})"));
    EXPECT_EQ(JsonMember(client.proxied.back(), "dest_path"), "/second");

    // Reset forgets a chosen folder.
    client.SetDownloadFolder("/d");
    EXPECT_TRUE(client.Execute(R"({"type":"Request","code":"reset"})"));
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"StartDownload"})"));
}

// Only a positive whole number sets the limit; the parameter's name ignores case.
TEST(Transfers, SetParameterTakesOnlyAPositiveLimit)
{
    TestClient client(true);
    for (const char* refused : {R"("value":0)", R"("value":-5)", R"("value":"10")", R"("value":10.0)"}) {
        EXPECT_FALSE(client.Execute(std::string(R"({"type":"Request","code":"SetParameter","name":"FileTransferLimit",)") +
                                    refused + "}"));
        EXPECT_EQ(client.Limit(), INT32_MAX);
    }
    EXPECT_EQ(LogTexts(client).back(), "WARNING Invalid upload limit specified: 0");
    EXPECT_TRUE(client.Execute(R"({"type":"Request","code":"SetParameter","name":"filetransferlimit","value":10})"));
    EXPECT_EQ(client.Limit(), 10);
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"SetParameter","value":3})"));
    EXPECT_EQ(LogTexts(client).back(), "ERROR Invalid plug-in parameter: ");
}
