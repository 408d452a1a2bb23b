// Jobs that outlive a crash of the Assistant: killed with SIGKILL mid-job, it is started again and
// takes the job up from its journal, reporting to the page that is still there.
#include "TransferSession.h"
#include "tests/support/JsonMember.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>

namespace fs = std::filesystem;

namespace {
std::vector<std::string> FilesEndingIn(const std::string& folder, const std::string& extension)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.path().extension() == extension)
            names.push_back(entry.path().filename().string());
    }
    return names;
}

// The tree without the temporary files a killed run leaves, and without a second copy of the
// file that may have arrived in the instant between its rename and its journal record.
std::map<std::string, std::string> Arrived(std::map<std::string, std::string> tree)
{
    size_t copies = 0;
    for (auto file = tree.begin(); file != tree.end();) {
        const bool copy = file->first.find(" (2)") != std::string::npos;
        copies += copy;
        file = copy || file->first.find(".qiravel-") != std::string::npos ? tree.erase(file) : std::next(file);
    }
    EXPECT_LE(copies, 1u);
    return tree;
}

struct KilledJob {
    const char* name;
    std::vector<std::string> shellArguments;  // after the sandbox's own
    std::string request;
    std::function<bool(Shell&)> midway;  // waits until the Assistant is to be killed
    std::string destination;
    std::map<std::string, std::string> expected;  // the destination's files at the end
};
}  // namespace

TEST(Resume, AKilledJobGoesOnAtTheNextStartAndADamagedJournalIsSetAside)
{
    LaunchingSandbox sandbox;
    HttpTestServer server(sandbox);
    const std::string big = RandomBytes(8 << 20, 7);
    WriteTree(server.Root(), {{"stall/big.bin", big}});
    // Files too large to share a sync: each is made durable alone, so the job takes a while.
    std::map<std::string, std::string> files;
    for (int i = 0; i < 100; ++i)
        files["f" + std::to_string(i) + ".bin"] = RandomBytes((1 << 20) + 1, i);
    WriteTree(sandbox.Path("src/Docs"), files);

    const KilledJob cases[] = {
        {"outbox upload", {"--pick", sandbox.Path("src/Docs")},
         R"({"type":"Request","code":"StartUpload","job":"up"})",
         [&](Shell&) {
             // Killed once a few files arrived, long before the last; their names are quick to count.
             return Eventually([&] { return FilesEndingIn(sandbox.Path("data/qiravel/outbox/Docs"), ".bin").size() >= 3; }, 60000);
         },
         sandbox.Path("data/qiravel/outbox"), Under("Docs/", files)},
        {"cut download", {"--download-folder", sandbox.Path("dl")},
         DownloadRequest({{server.Url("/stall/big.bin"), ""}}, R"("job":"down",)"),
         [](Shell& shell) { return shell.WaitFor("TransferProgress"); }, sandbox.Path("dl"), Fingerprints({{"big.bin", big}})},
    };
    const std::string journals = sandbox.Path("state/qiravel/jobs");
    for (const KilledJob& job : cases) {
        SCOPED_TRACE(job.name);
        // One file at a time, so that the job is still under way when the Assistant is killed.
        Child first({ASSISTANT_PATH, "--parallel", "1"}, sandbox.ErrorLog(), false);
        ASSERT_TRUE(Eventually([&] { return sandbox.AssistantPid() == first.Pid(); }, 30000));
        Shell shell(sandbox, job.shellArguments);
        ASSERT_TRUE(shell.Accepts({job.shellArguments[0] == "--pick" ? kSelectFiles : kSelectFolder, job.request}));
        ASSERT_TRUE(job.midway(shell));
        ASSERT_TRUE(sandbox.StopAssistant(SIGKILL));
        first.Wait(10000);

        // The journal outlived the process.
        ASSERT_EQ(FilesEndingIn(journals, ".job").size(), 1u) << "the job ended before it was killed";
        EXPECT_NE(Arrived(ReadTree(job.destination)), job.expected);
        std::ofstream(journals + "/0-damaged.job") << "{\"request\":";

        Child second({ASSISTANT_PATH}, sandbox.ErrorLog(), false);
        ASSERT_TRUE(shell.WaitFor("TransferComplete", 1, 120000));
        EXPECT_EQ(JsonMember(shell.Notifications().back(), "files_failed"), "0");
        EXPECT_EQ(Arrived(ReadTree(job.destination)), job.expected);
        EXPECT_TRUE(Eventually([&] { return FilesEndingIn(journals, ".job").empty(); }, 5000));
        EXPECT_EQ(FilesEndingIn(journals, ".damaged"), std::vector<std::string>{"0-damaged.job.damaged"});
        EXPECT_NE(ReadWhole(sandbox.ErrorLog()).find("0-damaged.job\" cannot be read"), std::string::npos);
        fs::remove(journals + "/0-damaged.job.damaged");
        ASSERT_TRUE(sandbox.StopAssistant(SIGTERM));
    }
    // The download's second run asked for the rest of the file only.
    bool ranged = false;
    for (const std::string& line : server.Requests())
        ranged |= line.rfind("GET /stall/big.bin bytes=", 0) == 0 && line != "GET /stall/big.bin bytes=0-";
    EXPECT_TRUE(ranged) << ::testing::PrintToString(server.Requests());
}
