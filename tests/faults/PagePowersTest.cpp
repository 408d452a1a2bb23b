// What a page can make the plug-in do, seen from the Assistant's side: qvshell plays the page with
// scripted dialogs, the test Assistant records every request it is handed.
#include "FaultSession.h"

#include "tests/support/JsonMember.h"

#include <gtest/gtest.h>
#include <json-c/json.h>


namespace {
// What a request carries: its "dest_path", if any, then "file_path | relative_path | size" of each
// entry of its "files_ul".
std::string Carried(const std::string& json)
{
    std::string carried = JsonMember(json, "dest_path") == "<missing>" ? "" : "dest_path " + JsonMember(json, "dest_path");
    json_object* parsed = json_tokener_parse(json.c_str());
    json_object* files = nullptr;
    if (parsed && json_object_object_get_ex(parsed, "files_ul", &files)) {
        for (size_t i = 0; i < json_object_array_length(files); ++i) {
            const std::string entry = json_object_to_json_string(json_object_array_get_idx(files, i));
            carried += (carried.empty() ? "" : ", ") + JsonMember(entry, "file_path") + " | " +
                       JsonMember(entry, "relative_path") + " | " + JsonMember(entry, "size");
        }
    }
    json_object_put(parsed);
    return carried;
}
}  // namespace

// What reaches the Assistant is what the user chose, whatever the page claims: a page-supplied
// list needs the user's "Add Files" and the page's relative paths and sizes are not taken; a
// cancelled panel adds nothing; the download folder is the one the user chose, each choice serving
// one download; an upload carries the list and nothing the page adds under "files_ul" in any
// letter case. Without the user's part nothing is sent.
TEST(PagePowers, OnlyWhatTheUserChoseReachesTheAssistant)
{
    RecordedSession session;
    const std::string src = session.sandbox.Path("src");
    WriteTree(src, {{"a.txt", "aaa"}, {"b.txt", "b"}, {"Docs/a.txt", "a"}, {"Docs/Sub/b.txt", "bb"}});
    const std::string smuggled = R"([{"file_path":"/etc/passwd","relative_path":"","size":1}])";
    const std::string upload = R"({"type":"Request","code":"StartUpload"})";
    const std::string smuggling = R"({"type":"Request","code":"StartUpload","files_ul":)" + smuggled +
                                  R"(,"Files_UL":)" + smuggled + R"(,"FILES_UL":)" + smuggled + "}";
    const std::string download =
        R"({"type":"Request","code":"StartDownload","dest_path":"/etc","DEST_PATH":"/etc","files_dl":[]})";
    const std::string queue = R"({"type":"Request","code":"QueueFilesForUpload","files_ul":[{"file_path":")" + src +
                              R"(/a.txt","relative_path":"../../etc/","size":1e9},{"file_path":")" + src + R"(/b.txt"}]})";
    // Answers in turn: refuse the queue, cancel the upload panel (an answer that fits no panel),
    // consent to the queue; choose the folder, cancel the next folder panel; pick a folder.
    Shell shell(session.sandbox, {"--confirm", "no", "--confirm", "no", "--confirm", "yes", "--download-folder",
                                  session.sandbox.Path("chosen"), "--confirm", "no", "--pick", src + "/Docs"});
    const struct {
        const char* name;
        std::vector<std::pair<std::string, int>> steps;  // requests with their results, or -N: wait for N notifications
        size_t added;                                     // "FilesAddedToUploadList" the page heard so far
        std::string sent;  // what the one request of the case handed to the Assistant carries
    } cases[] = {
        {"queued", {{queue, 1}, {kSelectFiles, 0}, {upload, 0}, {queue, 1}, {upload, 1}, {"UploadComplete", -1}}, 1,
         src + "/a.txt |  | 3.000000, " + src + "/b.txt |  | 1.000000"},
        {"download", {{download, 0}, {kSelectFolder, 1}, {download, 1}, {download, 0}, {kSelectFolder, 0}, {download, 0},
                      {"DownloadComplete", -1}}, 1,
         "dest_path " + session.sandbox.Path("chosen")},
        {"picked", {{smuggling, 0}, {kSelectFiles, 1}, {smuggling, 1}, {"UploadComplete", -2}, {smuggling, 0}, {kHarmless, 1}}, 2,
         src + "/Docs/a.txt | Docs/ | 1.000000, " + src + "/Docs/Sub/b.txt | Docs/Sub/ | 2.000000"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        for (const auto& [request, result] : cases[i].steps) {
            if (result < 0)
                ASSERT_TRUE(shell.WaitFor(request, static_cast<size_t>(-result)));
            else
                EXPECT_EQ(shell.Request(request), result) << request;
        }
        EXPECT_EQ(shell.NotificationsWithCode("FilesAddedToUploadList").size(), cases[i].added);
        const std::vector<RecordedRequest> requests = RecordedRequests(session.record);
        ASSERT_EQ(requests.size(), i + 1);
        EXPECT_EQ(Carried(requests[i].json), cases[i].sent);
        EXPECT_EQ(requests[i].json.find("/etc"), std::string::npos) << requests[i].json;
    }
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
    Shell shell(sandbox, {"--pick", picked});
    ASSERT_TRUE(shell.Accepts({kSelectFiles, UploadRequest("j")}));
    ASSERT_TRUE(shell.WaitFor("TransferComplete"));
    EXPECT_EQ(shell.Finish(), 0);
    size_t pathsSeen = 0;
    for (std::string output : shell.Lines()) {
        EXPECT_EQ(output.find(marker), std::string::npos) << output;
        for (size_t slash; (slash = output.find("\\/")) != std::string::npos;)
            output.erase(slash, 1);  // JSON's escaped slash
        for (size_t at = output.find(sandbox.Path()); at != std::string::npos; at = output.find(sandbox.Path(), at + 1)) {
            ++pathsSeen;
            const bool allowed = output.compare(at, picked.size(), picked) == 0 || output.compare(at, outbox.size(), outbox) == 0;
            EXPECT_TRUE(allowed) << output;
        }
    }
    EXPECT_GE(pathsSeen, 2u);
}
