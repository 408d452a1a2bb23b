#include "TestClient.h"

#include <gtest/gtest.h>

#include <string>

namespace {
CFileList MakeFiles(int count, const char* folder = "/data")
{
    CFileList files;
    for (int i = 0; i < count; ++i) {
        char path[64];
        snprintf(path, sizeof path, "%s/file%05d", folder, i);
        files.emplace(xwstring_pair(xwstring(path), xwstring("data/")), 10.0 * i);
    }
    return files;
}

// The "file_path" of each entry of a notification's "files_ul", in order.
std::vector<std::string> Paths(const std::string& notification)
{
    std::vector<std::string> paths;
    json_object* parsed = json_tokener_parse(notification.c_str());
    json_object* files = nullptr;
    json_object_object_get_ex(parsed, "files_ul", &files);
    for (size_t i = 0; i < json_object_array_length(files); ++i)
        paths.push_back(JsonMember(json_object_to_json_string(json_object_array_get_idx(files, i)), "file_path"));
    json_object_put(parsed);
    return paths;
}
}  // namespace

TEST(UploadList, AddsInBatchesAndUndoesARefusedBatch)
{
    TestClient client;
    CFileList files = MakeFiles(2500);
    EXPECT_TRUE(client.AddFiles(files));
    ASSERT_EQ(client.notifications.size(), 3u);
    EXPECT_EQ(Paths(client.notifications[0]).size(), 1000u);
    const std::vector<std::string> second = Paths(client.notifications[1]);
    ASSERT_EQ(second.size(), 1000u);
    EXPECT_EQ(second[0], "/data/file01000");
    EXPECT_EQ(Paths(client.notifications[2]).size(), 500u);
    EXPECT_EQ(JsonMember(client.notifications[0], "code"), "FilesAddedToUploadList");

    TestClient refusing;
    refusing.acceptNotification = [](size_t n) { return n != 2; };
    CFileList more = MakeFiles(2500);
    EXPECT_TRUE(refusing.AddFiles(more));  // the last batch decides
    EXPECT_EQ(refusing.UploadList().size(), 1500u);
    EXPECT_EQ(refusing.UploadList().count(xwstring_pair(xwstring("/data/file01500"), xwstring("data/"))), 0u);

    refusing.acceptNotification = [](size_t) { return false; };
    CFileList last = MakeFiles(3, "/other");
    EXPECT_FALSE(refusing.AddFiles(last));
    EXPECT_EQ(refusing.UploadList().size(), 1500u);
}

TEST(UploadList, LimitsAndDuplicates)
{
    TestClient client;
    client.CreateLogger();
    ASSERT_TRUE(client.Execute(R"({"type":"Request","code":"SetParameter","name":"FileTransferLimit","value":2})"));
    CFileList first = MakeFiles(1);
    client.AddFiles(first);

    const std::string name255(255, 'n');
    const std::string decomposed = "/data/" + std::string(253, 'e') + "e\xCC\x81";  // 256 bytes, 255 composed
    CFileList files = MakeFiles(3, "/more");
    files.emplace(xwstring_pair(xwstring(("/data/" + name255 + "x").c_str()), xwstring("")), 1.0);
    files.emplace(xwstring_pair(xwstring("/DATA/FILE00000"), xwstring("DATA/")), 1.0);  // already listed
    client.notifications.clear();
    EXPECT_TRUE(client.AddFiles(files));
    ASSERT_EQ(client.notifications.size(), 3u);
    EXPECT_EQ(JsonMember(client.notifications[0], "code"), "Error");
    EXPECT_EQ(JsonMember(client.notifications[0], "text"),
              "Could not add '/data/" + name255 + "x' for upload - the file name exceeds the maximum length of 255 characters");
    EXPECT_EQ(Paths(client.notifications[1]), std::vector<std::string>{"/more/file00000"});
    EXPECT_EQ(JsonMember(client.notifications[2], "text"), "Not allowed to queue more than 2 files for sending");
    EXPECT_EQ(files.size(), 1u);  // holds exactly what was added

    client.notifications.clear();
    client.logMessages.clear();
    CFileList atLimit = MakeFiles(1, "/late");
    EXPECT_FALSE(client.AddFiles(atLimit));
    EXPECT_EQ(client.notifications.size(), 1u);
    EXPECT_EQ(LogTexts(client),
              (std::vector<std::string>{"DEBUG AddFiles", "DEBUG No files to add", "DEBUG HandleNotification"}));

    TestClient unlimited;
    CFileList names;
    names.emplace(xwstring_pair(xwstring(decomposed.c_str()), xwstring("")), 1.0);
    names.emplace(xwstring_pair(xwstring(("/x/" + name255).c_str()), xwstring("")), 1.0);
    names.emplace(xwstring_pair(xwstring(std::string(400, 'z').c_str()), xwstring("")), 1.0);  // no slash
    names.emplace(xwstring_pair(xwstring("/x/bad\xFF"), xwstring("")), 1.0);
    EXPECT_TRUE(unlimited.AddFiles(names));
    EXPECT_EQ(unlimited.UploadList().size(), 4u);
}

TEST(UploadList, QueueAndDeleteRequests)
{
    TestClient client;
    EXPECT_TRUE(client.Execute(R"({"type":"Request","code":"QueueFilesForUpload","files_ul":[)"
                               R"({"file_path":"/a/One"},{"file_path":"/a/one"},{"file_path":"/a/two"},7]})"));
    EXPECT_EQ(client.queued, std::vector<size_t>{3});  // "", "/a/One", "/a/two"
    client.verifyResult = false;
    EXPECT_TRUE(client.Execute(R"({"type":"Request","code":"QueueFilesForUpload","files_ul":[{"file_path":"/b"}]})"));
    EXPECT_EQ(client.queued.size(), 1u);
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"QueueFilesForUpload","files_ul":[]})"));
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"QueueFilesForUpload","files_ul":{"file_path":"/b"}})"));

    client.notifications.clear();
    EXPECT_TRUE(client.Execute(R"({"type":"Request","code":"DeleteFilesFromUploadList","files_ul":[)"
                               R"({"file_path":"/A/ONE","relative_path":"","size":3},)"
                               R"({"file_path":"/missing","relative_path":""}]})"));
    ASSERT_EQ(client.notifications.size(), 1u);
    EXPECT_NE(client.notifications[0].find(R"([ { "file_path": "\/A\/ONE", "relative_path": "", "size": 0.000000 } ])"),
              std::string::npos)
        << client.notifications[0];
    EXPECT_EQ(client.UploadList().size(), 2u);

    client.acceptNotification = [](size_t) { return false; };
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"DeleteFilesFromUploadList","files_ul":[)"
                                R"({"file_path":"/a/TWO","relative_path":"","size":4.5}]})"));
    EXPECT_EQ(client.UploadList().size(), 2u);  // restored after the page refused
    EXPECT_EQ(client.UploadList().find(xwstring_pair(xwstring("/a/two"), xwstring("")))->second, 4.5);
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"DeleteFilesFromUploadList","files_ul":[{"file_path":"/zz"}]})"));
}
