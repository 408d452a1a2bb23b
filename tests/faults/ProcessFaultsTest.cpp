// Faults across real processes: qvshell plays the plug-in and the page; the Assistant is the
// scripted test Assistant or the real one. What is checked is what the page, the files and the
// logs show, whatever way events travel underneath.
#include "FaultSession.h"

#include "Common/AssistantLink.h"
#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/Workspace/Workspace.h"
#include "tests/support/JsonMember.h"
#include "tests/support/SystemLogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
const char kEmptyDownload[] = R"({"type":"Request","code":"StartDownload","files_dl":[]})";
const char kLaunchFailed[] = "Failed to launch Qiravel Assistant";

bool Contains(const std::vector<std::string>& lines, const std::string& part)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

bool Running(pid_t pid) { return pid > 0 && kill(pid, 0) == 0; }

// Whether the process used less than half a core over a second of wall-clock time.
bool Idles(pid_t pid)
{
    const unsigned long long before = CpuTicks(pid);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return CpuTicks(pid) - before < static_cast<unsigned long long>(sysconf(_SC_CLK_TCK) / 2);
}

// The test Assistant, launched from the desktop entry too, and a plug-in that has used the link for
// an empty download and picked src/Docs (two files); a second pick would take src/More.
struct UsedLink : RecordedSession {
    Shell shell{sandbox, {"--download-folder", sandbox.Path("down"), "--pick", sandbox.Path("src/Docs"), "--pick",
                          sandbox.Path("src/More")}};

    UsedLink()
    {
        sandbox.InstallAssistantEntry(TEST_ASSISTANT_PATH);
        WriteTree(sandbox.Path("src"), {{"Docs/a.txt", "a"}, {"Docs/Sub/b.txt", "b"}, {"More/c.txt", "c"}});
        EXPECT_TRUE(shell.Accepts({kSelectFolder, kEmptyDownload}));
        EXPECT_TRUE(shell.WaitFor("DownloadComplete"));
        EXPECT_EQ(shell.Request(kSelectFiles), 1);
        EXPECT_TRUE(shell.WaitFor("FilesAddedToUploadList"));
    }
};
}  // namespace

// The Assistant dies after the plug-in found it and before the request reaches it, on a link the
// plug-in had already used: the page hears of the failure once, and its list is whole for the
// next upload, which launches a new Assistant.
TEST(ProcessFaults, AssistantGoneBetweenLookUpAndSendFailsOnceAndKeepsTheList)
{
    UsedLink link;
    const ProcessSerialNumber listed = ListedAssistant();
    kill(link.assistant.Pid(), SIGKILL);
    ASSERT_NE(link.assistant.Wait(10000), -1);
    LockHolder stillListed(link.sandbox, listed);
    ASSERT_TRUE(stillListed.Holding());
    ASSERT_EQ(ListedAssistant().lowLongOfPSN, listed.lowLongOfPSN);

    EXPECT_EQ(link.shell.Request(UploadRequest("lost")), 0);
    EXPECT_EQ(link.shell.Request(kHarmless), 1);
    const std::vector<std::string> errors = link.shell.NotificationsWithCode("Error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(JsonMember(errors[0], "text"), kLaunchFailed);
    EXPECT_EQ(link.shell.DeletedFromUploadList(), 0u);

    stillListed.Release();
    ASSERT_EQ(link.shell.Request(UploadRequest("kept")), 1);
    ASSERT_TRUE(link.shell.WaitFor("UploadComplete"));
    EXPECT_EQ(link.shell.DeletedFromUploadList(), 2u);
    EXPECT_EQ(link.shell.NotificationsWithCode("Error").size(), 1u);
    EXPECT_NE(ListedAssistant().lowLongOfPSN, listed.lowLongOfPSN);
    EXPECT_EQ(link.shell.Finish(), 0);
}

// The plug-in's process is killed as soon as the Assistant took its upload: every status event
// of the job goes to a process that is gone, and the Assistant still copies every file, says so
// in its log and takes the next job.
TEST(ProcessFaults, AssistantFinishesTheCopyWhenThePlugInIsGone)
{
    Sandbox sandbox;
    std::map<std::string, std::string> files = {{"big.bin", RandomBytes(16 << 20, 3)}};
    for (int i = 0; i < 300; ++i)
        files["Many/f" + std::to_string(i)] = std::to_string(i);
    WriteTree(sandbox.Path("src/Docs"), files);
    WriteTree(sandbox.Path("src/Later"), {{"late.txt", "late"}});
    const std::string outbox = sandbox.Path("outbox");
    Child assistant({ASSISTANT_PATH, "--outbox", outbox, "--parallel", "1", "--idle-exit", "0"}, sandbox.ErrorLog(),
                    false);
    ASSERT_TRUE(Eventually([&] { return sandbox.AssistantPid() == assistant.Pid(); }, 30000));
    {
        Shell shell(sandbox, {"--pick", sandbox.Path("src/Docs")});
        ASSERT_TRUE(shell.Accepts({kSelectFiles, UploadRequest("orphaned")}));
        kill(shell.Pid(), SIGKILL);
    }
    // The tree is read once the job is over: files still being written vanish under a reader.
    ASSERT_TRUE(Eventually([&] { return Contains(ReadLines(sandbox.ErrorLog()), "TransferComplete, "); }, 120000));
    EXPECT_EQ(ReadTree(outbox), Under("Docs/", files));
    EXPECT_TRUE(Contains(ReadLines(sandbox.ErrorLog()), "is gone; its jobs go on unheard"));

    Shell next(sandbox, {"--pick", sandbox.Path("src/Later")});
    ASSERT_TRUE(next.Accepts({kSelectFiles, UploadRequest("next")}));
    ASSERT_TRUE(next.WaitFor("TransferComplete"));
    EXPECT_EQ(JsonMember(next.NotificationsWithCode("TransferComplete")[0], "files_sent"), "1");
    EXPECT_TRUE(Running(assistant.Pid()));
    EXPECT_EQ(next.Finish(), 0);
}

// The plug-in's process stops reading, as it does while a dialog is open, for seconds after its
// socket is full (long names make long notifications). Once it reads again, the page hears of
// every file once and of the job's end, so that an upload of what is left on its list sends
// nothing twice. The stop waits for the job's start: a stopped plug-in holds its request too.
TEST(ProcessFaults, StalledPlugInLosesNoStatus)
{
    LaunchingSandbox sandbox;
    const size_t count = 1500;
    std::map<std::string, std::string> files;
    for (size_t i = 0; i < count; ++i)
        files[std::string(200, 'n') + std::to_string(i)] = "";
    WriteTree(sandbox.Path("src/Docs"), files);
    Shell shell(sandbox, {"--pick", sandbox.Path("src/Docs")});
    ASSERT_TRUE(shell.Accepts({kSelectFiles, UploadRequest("stalled")}));
    ASSERT_TRUE(shell.WaitFor("TransferStarted"));
    kill(shell.Pid(), SIGSTOP);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    kill(shell.Pid(), SIGCONT);
    const bool completed = shell.WaitFor("TransferComplete");
    EXPECT_TRUE(completed);
    EXPECT_EQ(shell.DeletedFromUploadList(), count);
    // The list is empty now: an upload of what is left sends nothing, and no file arrives twice.
    if (shell.Request(UploadRequest("left")) == 1)
        shell.WaitFor("TransferComplete", completed ? 2 : 1);
    EXPECT_EQ(ReadTree(sandbox.Path("data/qiravel/outbox")).size(), count);
}

// The runtime folder goes away, then comes back as a link to another folder, while this process,
// the test Assistant and the plug-in run. Nobody crashes; the system log says what happened; the
// link is refused, so nothing is published or looked up through it and no program is launched
// that could never check in.
TEST(ProcessFaults, RuntimeFolderRemovedOrLinkedAwayIsLoggedAndRefused)
{
    RecordedSession session;
    Sandbox& sandbox = session.sandbox;
    SystemLogCapture log;
    WriteTree(sandbox.Path("src"), {{"Docs/a.txt", "a"}, {"More/b.txt", "b"}});
    ASSERT_EQ(AEOpenEventPort(), noErr);
    const ProcessSerialNumber oldAssistant = ListedAssistant();
    Shell shell(sandbox, {"--pick", sandbox.Path("src/Docs"), "--pick", sandbox.Path("src/More")});
    ASSERT_EQ(shell.Request(kSelectFiles), 1);

    const std::string folder = RuntimeFolder(sandbox);
    std::filesystem::remove_all(folder);
    EXPECT_TRUE(WorkspaceLaunchedApplications().empty());
    EXPECT_TRUE(Contains(log.lines, "Runtime folder " + folder + " was removed while this process used it"));
    EXPECT_EQ(shell.Request(UploadRequest("removed")), 0);  // nothing listed, and no desktop entry to launch

    const std::string elsewhere = sandbox.Path("elsewhere");
    std::filesystem::remove_all(folder);
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), folder.c_str()), 0);
    sandbox.InstallAssistantEntry(TEST_ASSISTANT_PATH);
    log.lines.clear();
    EXPECT_TRUE(WorkspaceLaunchedApplications().empty());
    EXPECT_TRUE(Contains(log.lines, "Runtime folder " + folder + " refused: a symbolic link"));
    EXPECT_EQ(WorkspaceCheckIn("com.example.Faults"), kEventPortUnavailableErr);
    EXPECT_EQ(SendStatus(session.assistant.Pid(), 1, "{}"), procNotFound);
    EXPECT_EQ(SendStatus(static_cast<pid_t>(oldAssistant.lowLongOfPSN), 1, "{}"), procNotFound);
    EXPECT_FALSE(WorkspaceLaunchAppWithBundleIdentifier(kAssistantBundleIdentifier, kWorkspaceLaunchAsync));
    EXPECT_EQ(shell.Request(UploadRequest("linked")), 0);
    EXPECT_EQ(shell.Request(kSelectFiles), 1);  // the plug-in goes on with what needs no link
    EXPECT_EQ(shell.Request(kHarmless), 1);

    const std::vector<std::string> errors = shell.NotificationsWithCode("Error");
    ASSERT_EQ(errors.size(), 2u);
    for (const std::string& error : errors)
        EXPECT_EQ(JsonMember(error, "text"), kLaunchFailed);
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    EXPECT_TRUE(Running(session.assistant.Pid()));
    EXPECT_FALSE(Contains(ReadLines(sandbox.ErrorLog()), "test_assistant: cannot open its event port"));
    EXPECT_EQ(shell.Finish(), 0);
    unlink(folder.c_str());
}

// The plug-in runs into its descriptor limit: picking and uploading fail with errors the page
// sees, and neither that nor a status event's connection waiting to be taken spins its loop.
// Once the limit is raised the event arrives and the list is whole.
TEST(ProcessFaults, AtTheDescriptorLimitRequestsFailWithErrorsAndNothingSpins)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__)
    // The sanitizers' own checks need descriptors (UBSan probes memory through a pipe at each
    // dynamic type check) and report false errors without them.
    GTEST_SKIP() << "not under the sanitizers";
#endif
    UsedLink link;
    const std::vector<RecordedRequest> recorded = RecordedRequests(link.record);
    ASSERT_FALSE(recorded.empty());
    const unsigned int refCon = recorded[0].refCon;
    ASSERT_NE(refCon, 0u);
    kill(link.assistant.Pid(), SIGKILL);  // the next upload must look for and launch an Assistant
    link.assistant.Wait(10000);
    // The plug-in closes the dead Assistant's connection when its loop comes round; the limit is
    // set once its descriptors have settled.
    ASSERT_EQ(link.shell.Request(kHarmless), 1);
    int lowestFree = -1;
    ASSERT_TRUE(Eventually([&] {
        const int before = LowestFreeDescriptor(link.shell.Pid());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return (lowestFree = LowestFreeDescriptor(link.shell.Pid())) == before;
    }, 10000));

    rlimit saved;
    ASSERT_EQ(prlimit(link.shell.Pid(), RLIMIT_NOFILE, nullptr, &saved), 0);
    const rlimit full = {static_cast<rlim_t>(lowestFree), saved.rlim_max};
    ASSERT_EQ(prlimit(link.shell.Pid(), RLIMIT_NOFILE, &full, nullptr), 0);

    EXPECT_EQ(link.shell.Request(kSelectFiles), 0);
    EXPECT_EQ(link.shell.Request(UploadRequest("limited")), 0);
    EXPECT_EQ(link.shell.Request(kHarmless), 1);
    EXPECT_TRUE(Idles(link.shell.Pid()));
    const std::vector<std::string> errors = link.shell.NotificationsWithCode("Error");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(JsonMember(errors[0], "text").rfind("Could not add '" + link.sandbox.Path("src/More"), 0), 0u) << errors[0];
    EXPECT_EQ(JsonMember(errors[1], "text"), kLaunchFailed);
    EXPECT_EQ(SendStatus(link.shell.Pid(), refCon, R"({"type":"Notification","code":"Probe"})"), noErr);
    EXPECT_TRUE(Idles(link.shell.Pid()));

    ASSERT_EQ(prlimit(link.shell.Pid(), RLIMIT_NOFILE, &saved, nullptr), 0);
    EXPECT_TRUE(link.shell.WaitFor("Probe", 1, 30000));
    ASSERT_EQ(link.shell.Request(UploadRequest("after")), 1);
    ASSERT_TRUE(link.shell.WaitFor("UploadComplete"));
    EXPECT_EQ(link.shell.DeletedFromUploadList(), 2u);
    EXPECT_EQ(link.shell.Finish(), 0);
}
