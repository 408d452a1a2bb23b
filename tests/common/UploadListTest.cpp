#include "TestClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {
// The paths that format, with one %d, gives for the numbers from up to to.
std::vector<std::string> Numbered(int from, int to, const char* format = "/f%04d")
{
    std::vector<std::string> paths;
    for (int i = from; i < to; ++i) {
        char path[64];
        snprintf(path, sizeof path, format, i);
        paths.emplace_back(path);
    }
    return paths;
}

// A notification as its code followed by the "file_path" of each entry of its "files_ul".
std::string Summary(const std::string& notification)
{
    std::string text = JsonMember(notification, "code");
    json_object* parsed = json_tokener_parse(notification.c_str());
    json_object* files = nullptr;
    if (json_object_object_get_ex(parsed, "files_ul", &files) && json_object_is_type(files, json_type_array)) {
        for (size_t i = 0; i < json_object_array_length(files); ++i)
            text += " " + JsonMember(json_object_to_json_string(json_object_array_get_idx(files, i)), "file_path");
    }
    json_object_put(parsed);
    return text;
}

xwstring_pair Key(const std::string& path, const char* relative = "")
{
    return xwstring_pair(xwstring(path.c_str()), xwstring(relative));
}

CFileList MakeFiles(int count, const std::string& folder = "/data")
{
    CFileList files;
    for (const std::string& path : Numbered(0, count, (folder + "/file%05d").c_str()))
        files.emplace(Key(path, "data/"), 1.0);
    return files;
}
}  // namespace

TEST(UploadList, TooLongNamesAndEntriesPastTheLimitAreReportedListedOnesSkipped)
{
    TestClient client(true);
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
    EXPECT_EQ(Summary(client.notifications[1]), "FilesAddedToUploadList /more/file00000");
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
    // 255 composed characters, 255 bytes, no slash at all, and bad UTF-8: all are taken.
    for (const std::string& name : {decomposed, "/x/" + name255, std::string(400, 'z'), std::string("/x/bad\xFF")})
        names.emplace(Key(name), 1.0);
    EXPECT_TRUE(unlimited.AddFiles(names));
    EXPECT_EQ(unlimited.UploadList().size(), 4u);
}

TEST(UploadList, QueueingNeedsConsentAndARefusedDeletionIsUndone)
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

    client.page = [](const std::string&, size_t) { return false; };
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"DeleteFilesFromUploadList","files_ul":[)"
                                R"({"file_path":"/a/TWO","relative_path":"","size":4.5}]})"));
    EXPECT_EQ(client.UploadList().size(), 2u);  // restored after the page refused
    EXPECT_EQ(client.UploadList().find(Key("/a/two"))->second, 4.5);
    EXPECT_FALSE(client.Execute(R"({"type":"Request","code":"DeleteFilesFromUploadList","files_ul":[{"file_path":"/zz"}]})"));
}

// A path with a NUL character cannot name a file: the entry is refused, with a warning. (Sizes
// without an exact JSON form are read as 0 by the list itself.)
TEST(UploadList, EntriesWithNulPathsAreRefused)
{
    const struct {
        const char* message;
        bool result;
        std::vector<std::string> warnings;
        const char* notified;  // the "files_ul" of the one notification, or null for none
    } cases[] = {
        {R"({"type":"Request","code":"QueueFilesForUpload","files_ul":[{"file_path":"/b\u0000x"},{"file_path":"/c"}]})",
         true, {R"(WARNING Refused files_ul[0]: "file_path" holds a NUL character)"},
         R"([ { "file_path": "\/c", "relative_path": "", "size": 1.000000 } ])"},
        {R"({"type":"Request","code":"QueueFilesForUpload","files_ul":[{"file_path":"/b\u0000"}]})", false,
         {R"(WARNING Refused files_ul[0]: "file_path" holds a NUL character)",
          "WARNING Invalid request / no files to queue"},
         nullptr},
        {R"({"type":"Request","code":"DeleteFilesFromUploadList","files_ul":[{"file_path":"/c"},)"
         R"({"file_path":"/a","relative_path":"\u0000"}]})",
         false, {R"(WARNING Refused files_ul[1]: "relative_path" holds a NUL character)"}, nullptr},
    };
    for (const auto& c : cases) {
        TestClient client(true);
        client.UploadList().emplace(Key("/a"), 5.0);
        EXPECT_EQ(client.Execute(c.message), c.result) << c.message;
        std::vector<std::string> warnings;
        for (const std::string& line : LogTexts(client)) {
            if (line.rfind("WARNING", 0) == 0)
                warnings.push_back(line);
        }
        EXPECT_EQ(warnings, c.warnings) << c.message;
        ASSERT_EQ(client.notifications.size(), c.notified ? 1u : 0u) << c.message;
        if (c.notified) {
            EXPECT_NE(client.notifications[0].find(c.notified), std::string::npos) << client.notifications[0];
        }
    }
}

namespace {
// Runs a request on the instance from inside a notification: "Reset", or a code with one path.
void Request(TestClient& client, const char* code, const std::string& path = "")
{
    client.Execute(std::string(R"({"type":"Request","code":")") + code + R"(","files_ul":[{"file_path":")" + path +
                   R"(","relative_path":""}]})");
}

std::vector<std::string> PathsOf(const CFileList& list)
{
    std::vector<std::string> paths;
    for (const auto& entry : list)
        paths.emplace_back(static_cast<const char*>(entry.first.first));
    return paths;
}
}  // namespace

// The page answers notifications by calling back into the instance: every announced entry must
// be on the list, and an undo must take away only what the refused call itself added or removed.
TEST(UploadList, NotificationsMayCallBackIntoTheInstance)
{
    const std::string longName = "/b/" + std::string(300, 'n');  // its error report comes between /a and /c
    const auto without = [](std::vector<std::string> paths, const std::vector<std::string>& gone) {
        for (const std::string& path : gone)
            paths.erase(std::find(paths.begin(), paths.end(), path));
        return paths;
    };
    const auto added = [](const std::vector<std::string>& paths) {
        std::string text = "FilesAddedToUploadList";
        for (const std::string& path : paths)
            text += " " + path;
        return text;
    };
    const std::string firstAdded = added(Numbered(0, 1000));
    std::vector<std::string> keptOfThree = without(Numbered(0, 1000), {"/f0005"});
    for (const std::string& path : Numbered(2001, 2100))
        keptOfThree.push_back(path);
    const struct {
        const char* name;
        std::vector<std::string> listed;
        std::vector<std::string> adding;  // empty: the call deletes what is listed
        // Gets the client, a notification's summary and count; returns whether the page takes it.
        std::function<bool(TestClient&, const std::string&, size_t)> page;
        bool result;
        std::vector<std::string> notifications, list, changed;  // changed: the call's list on return
    } cases[] = {
        {"reset answering an error", {"/z"}, {"/a", longName, "/c"},
         [](TestClient& c, const std::string& s, size_t) { return s != "Error" || (Request(c, "Reset"), true); },
         true, {"Error", "FilesAddedToUploadList /c"}, {"/c"}, {"/c"}},
        {"queueing a file the call adds too, then refusing the call's batch", {}, {"/a", longName, "/c"},
         [](TestClient& c, const std::string& s, size_t) {
             if (s == "Error")
                 Request(c, "QueueFilesForUpload", "/c");
             return s != "FilesAddedToUploadList /a";
         },
         false, {"Error", "FilesAddedToUploadList /c", "FilesAddedToUploadList /a"}, {"/c"}, {"/a"}},
        {"deleting an added entry while an error is reported", {}, {"/a", longName, "/c"},
         [](TestClient& c, const std::string& s, size_t) {
             return s != "Error" || (Request(c, "DeleteFilesFromUploadList", "/a"), true);
         },
         true, {"Error", "FilesDeletedFromUploadList /a", "FilesAddedToUploadList /c"}, {"/c"}, {"/c"}},
        {"a refused deletion gives the entry back to the call", {}, {"/a", longName, "/c"},
         [](TestClient& c, const std::string& s, size_t) {
             if (s == "Error")
                 Request(c, "DeleteFilesFromUploadList", "/a");
             return s != "FilesDeletedFromUploadList /a";
         },
         true, {"Error", "FilesDeletedFromUploadList /a", "FilesAddedToUploadList /a /c"}, {"/a", "/c"},
         {"/a", "/c"}},
        {"a refused batch spares an entry deleted and queued again from its notification", {}, {"/a", "/c"},
         [](TestClient& c, const std::string&, size_t n) {
             if (n == 1) {
                 Request(c, "DeleteFilesFromUploadList", "/c");
                 Request(c, "QueueFilesForUpload", "/c");
             }
             return n != 1;
         },
         false, {"FilesAddedToUploadList /a /c", "FilesDeletedFromUploadList /c", "FilesAddedToUploadList /c"},
         {"/c"}, {"/a"}},
        {"refusing the last of two batches", {}, Numbered(0, 1001),
         [](TestClient&, const std::string&, size_t n) { return n != 2; }, false,
         {firstAdded, "FilesAddedToUploadList /f1000"}, Numbered(0, 1000), Numbered(0, 1001)},
        {"reset and queue answering the first of two batches", {}, Numbered(0, 1001),
         [](TestClient& c, const std::string&, size_t n) {
             if (n == 1) {
                 Request(c, "Reset");
                 Request(c, "QueueFilesForUpload", "/f1000");
             }
             return true;
         },
         true, {firstAdded, "FilesAddedToUploadList /f1000"}, {"/f1000"}, {}},
        {"deleting announced and unannounced entries, then refusing a batch", {}, Numbered(0, 2100),
         [](TestClient& c, const std::string&, size_t n) {
             if (n == 1) {
                 Request(c, "DeleteFilesFromUploadList", "/f0005");
                 Request(c, "DeleteFilesFromUploadList", "/f1500");
             }
             return n != 4;
         },
         true,
         {firstAdded, "FilesDeletedFromUploadList /f0005", "FilesDeletedFromUploadList /f1500",
          added(without(Numbered(1000, 2001), {"/f1500"})), added(Numbered(2001, 2100))},
         keptOfThree, without(Numbered(0, 2100), {"/f0005", "/f1500"})},
        {"a deletion refused after a reset puts nothing back", {"/a", "/c"}, {},
         [](TestClient& c, const std::string&, size_t n) { return n != 1 || (Request(c, "Reset"), false); },
         false, {"FilesDeletedFromUploadList /a /c"}, {}, {}},
    };
    // Adding runs both ways: copying the entries (the list given keeps what was added) and moving
    // them into the upload list (the list given is left empty).
    for (const bool moving : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (moving ? ", moving" : ""));
            TestClient client;
            for (const std::string& path : c.listed)
                client.UploadList().emplace(Key(path), 1.0);
            client.page = [&](const std::string& json, size_t n) { return c.page(client, Summary(json), n); };
            CFileList files;
            for (const std::string& path : c.adding.empty() ? c.listed : c.adding)
                files.emplace(Key(path), 1.0);
            const bool result = c.adding.empty() ? client.DeleteFiles(files)
                                : moving         ? client.AddPicked(files)
                                                 : client.AddFiles(files);
            EXPECT_EQ(result, c.result);
            std::vector<std::string> notifications;
            for (const std::string& json : client.notifications)
                notifications.push_back(Summary(json));
            EXPECT_EQ(notifications, c.notifications);
            EXPECT_EQ(PathsOf(client.UploadList()), c.list);
            EXPECT_EQ(PathsOf(files), moving && !c.adding.empty() ? std::vector<std::string>{} : c.changed);
        }
    }
}
