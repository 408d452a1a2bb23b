// What a page can make the plug-in do, seen from the Assistant's side: qvshell plays the page with
// scripted dialogs, the test Assistant records every request it is handed.
#include "FaultSession.h"

#include "tests/support/JsonMember.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <functional>

namespace {
// (file_path, relative_path, size) of each entry of the text's "files_ul".
std::vector<std::string> ListedFiles(const std::string& json)
{
    std::vector<std::string> entries;
    json_object* parsed = json_tokener_parse(json.c_str());
    json_object* files = nullptr;
    if (parsed && json_object_object_get_ex(parsed, "files_ul", &files)) {
        for (size_t i = 0; i < json_object_array_length(files); ++i) {
            const std::string entry = json_object_to_json_string(json_object_array_get_idx(files, i));
            entries.push_back(JsonMember(entry, "file_path") + " | " + JsonMember(entry, "relative_path") + " | " +
                              JsonMember(entry, "size"));
        }
    }
    json_object_put(parsed);
    return entries;
}

// The page's requests handed to a recording test Assistant.
struct RecordedSession {
    Sandbox sandbox;
    std::string record = sandbox.Path("record.log");
    Child assistant{{TEST_ASSISTANT_PATH, "--record", record, "--idle-seconds", "60"}, sandbox.ErrorLog(), false};

    RecordedSession()
    {
        EXPECT_TRUE(Eventually([&] { return ListedAssistant().lowLongOfPSN == UInt32(assistant.Pid()); }, 30000));
    }
};

// Every string value in the JSON text, at any depth.
void StringsOf(json_object* value, const std::function<void(const std::string&)>& take)
{
    if (json_object_is_type(value, json_type_string)) {
        take(json_object_get_string(value));
    } else if (json_object_is_type(value, json_type_object)) {
        json_object_object_foreach(value, key, member)
        {
            (void)key;
            StringsOf(member, take);
        }
    } else if (json_object_is_type(value, json_type_array)) {
        for (size_t i = 0; i < json_object_array_length(value); ++i)
            StringsOf(json_object_array_get_idx(value, i), take);
    }
}
}  // namespace

// Files reach the list only through the user: a page-supplied list needs the user's "Add Files",
// and a cancelled upload panel adds nothing. What the page claimed about the files (relative
// path, size) is not taken; the walk finds them.
TEST(PagePowers, FilesAreQueuedOnlyWithTheUsersConsent)
{
    RecordedSession session;
    const std::string a = session.sandbox.Path("src/a.txt");
    const std::string b = session.sandbox.Path("src/b.txt");
    WriteTree(session.sandbox.Path("src"), {{"a.txt", "aaa"}, {"b.txt", "b"}});
    // Answers in turn: refuse the queue, cancel the upload panel, consent to the queue.
    Shell shell(session.sandbox, {"--confirm", "no", "--confirm", "no", "--confirm", "yes"});
    const std::string queue = R"({"type":"Request","code":"QueueFilesForUpload","files_ul":[{"file_path":")" + a +
                              R"(","relative_path":"../../etc/","size":1e9},{"file_path":")" + b + R"("}]})";
    const std::string upload = R"({"type":"Request","code":"StartUpload"})";

    EXPECT_EQ(shell.Request(queue), 1);  // refused by the user
    EXPECT_EQ(shell.Request(kSelectFiles), 0);  // panel cancelled
    EXPECT_EQ(shell.Request(upload), 0);
    EXPECT_TRUE(shell.NotificationsWithCode("FilesAddedToUploadList").empty());
    EXPECT_TRUE(RecordedRequests(session.record).empty());

    EXPECT_EQ(shell.Request(queue), 1);  // "Add Files"
    EXPECT_EQ(shell.Request(upload), 1);
    ASSERT_TRUE(shell.WaitFor("UploadComplete"));
    const std::vector<RecordedRequest> requests = RecordedRequests(session.record);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(ListedFiles(requests[0].json), (std::vector<std::string>{a + " |  | 3.000000", b + " |  | 1.000000"}));
}

// The page cannot name the download folder: a "dest_path" of its own is replaced by the folder
// the user chose, each choice serves one download, and without a choice nothing is sent.
TEST(PagePowers, DownloadsGoOnlyToTheFolderTheUserChose)
{
    RecordedSession session;
    const std::string chosen = session.sandbox.Path("chosen");
    Shell shell(session.sandbox, {"--download-folder", chosen});
    const std::string download =
        R"({"type":"Request","code":"StartDownload","dest_path":"/etc","DEST_PATH":"/etc","files_dl":[]})";

    EXPECT_EQ(shell.Request(download), 0);
    EXPECT_EQ(shell.Request(kSelectFolder), 1);
    EXPECT_EQ(shell.Request(download), 1);
    EXPECT_EQ(shell.Request(download), 0);  // the choice is used up
    EXPECT_EQ(shell.Request(kSelectFolder), 0);  // cancelled
    EXPECT_EQ(shell.Request(download), 0);
    ASSERT_TRUE(shell.WaitFor("DownloadComplete"));

    const std::vector<RecordedRequest> requests = RecordedRequests(session.record);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(JsonMember(requests[0].json, "dest_path"), chosen);
    EXPECT_EQ(requests[0].json.find("/etc"), std::string::npos) << requests[0].json;
}

// An upload carries the upload list and nothing the page adds under "files_ul" in any letter
// case; with an empty list nothing is sent at all.
TEST(PagePowers, UploadsCarryOnlyTheListedFiles)
{
    RecordedSession session;
    WriteTree(session.sandbox.Path("src/Docs"), {{"a.txt", "a"}, {"Sub/b.txt", "bb"}});
    Shell shell(session.sandbox, {"--pick", session.sandbox.Path("src/Docs")});
    const std::string smuggled = R"([{"file_path":"/etc/passwd","relative_path":"","size":1}])";
    const std::string upload = R"({"type":"Request","code":"StartUpload","files_ul":)" + smuggled +
                               R"(,"Files_UL":)" + smuggled + R"(,"FILES_UL":)" + smuggled + "}";

    EXPECT_EQ(shell.Request(upload), 0);
    EXPECT_EQ(shell.Request(kSelectFiles), 1);
    EXPECT_EQ(shell.Request(upload), 1);
    ASSERT_TRUE(shell.WaitFor("UploadComplete"));
    EXPECT_EQ(shell.Request(upload), 0);  // the Assistant sent both: the list is empty again
    EXPECT_EQ(shell.Request(kHarmless), 1);

    const std::vector<RecordedRequest> requests = RecordedRequests(session.record);
    ASSERT_EQ(requests.size(), 1u);
    const std::string docs = session.sandbox.Path("src/Docs");
    EXPECT_EQ(ListedFiles(requests[0].json),
              (std::vector<std::string>{docs + "/a.txt | Docs/ | 1.000000", docs + "/Sub/b.txt | Docs/Sub/ | 2.000000"}));
    EXPECT_EQ(requests[0].json.find("/etc/passwd"), std::string::npos) << requests[0].json;
}

// A whole upload through the real Assistant: nothing the page receives (answers, notifications,
// log messages) carries a byte of a file's contents, and every path in it lies below what the
// user picked, or is the Assistant's outbox, where the files went.
TEST(PagePowers, PageLearnsNoContentsAndOnlyPickedPaths)
{
    Sandbox sandbox;
    const std::string marker = "contents-only-the-user-sees";
    WriteTree(sandbox.Path("src/Docs"), {{"a.txt", marker + " a"}, {"Sub/b.txt", marker + " b"}});
    WriteTree(sandbox.Path("src/Other"), {{"unpicked.txt", "x"}});
    const std::string outbox = sandbox.Path("outbox");
    Child assistant({ASSISTANT_PATH, "--outbox", outbox, "--idle-exit", "0"}, sandbox.ErrorLog(), false);
    ASSERT_TRUE(Eventually([&] { return sandbox.AssistantPid() == assistant.Pid(); }, 30000));

    const std::string picked = sandbox.Path("src/Docs");
    Child shell({QVSHELL_PATH, "--settle", "0", "--pick", picked}, sandbox.ErrorLog(), true);
    shell.Write(std::string(kSelectFiles) + "\n" + R"({"type":"Request","code":"StartUpload","job":"j"})" + "\n");
    std::vector<std::string> lines;
    std::string line;
    while (shell.ReadLine(&line, 60000)) {
        lines.push_back(line);
        if (line.find("\"TransferComplete\"") != std::string::npos)
            break;
    }
    shell.CloseInput();
    while (shell.ReadLine(&line, 10000))
        lines.push_back(line);
    EXPECT_EQ(shell.Wait(30000), 0);
    ASSERT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("\"TransferComplete\"") != std::string::npos; }));

    size_t pathsSeen = 0;
    for (const std::string& output : lines) {
        EXPECT_EQ(output.find(marker), std::string::npos) << output;
        const size_t space = output.find(' ');
        json_object* parsed = space == std::string::npos ? nullptr : json_tokener_parse(output.c_str() + space + 1);
        if (!parsed)
            continue;
        StringsOf(parsed, [&](const std::string& text) {
            for (size_t at = text.find(sandbox.Path()); at != std::string::npos; at = text.find(sandbox.Path(), at + 1)) {
                ++pathsSeen;
                const bool allowed = text.compare(at, picked.size(), picked) == 0 ||
                                     text.compare(at, outbox.size(), outbox) == 0;
                EXPECT_TRUE(allowed) << output;
            }
        });
        json_object_put(parsed);
    }
    EXPECT_GE(pathsSeen, 2u);
}
