// The Assistant against a real S3 server: Ceph's RADOS Gateway started once for all these tests
// (tests/s3), reached through qvshell playing the plug-in and the page.
#include "TransferSession.h"
#include "tests/support/JsonMember.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <unistd.h>

namespace {
// A member of the description of the gateway that tests/s3 started.
std::string Gateway(const char* member)
{
    const char* path = getenv("QIRAVEL_S3_GATEWAY");
    const std::string text = JsonMember(path ? ReadWhole(path) : "", member);
    EXPECT_NE(text, "<missing>") << member << " is not in the gateway's description (QIRAVEL_S3_GATEWAY)";
    return text;
}

// The gateway's user unless given others.
struct Credentials {
    std::string accessKeyId = Gateway("access_key_id");
    std::string secret = Gateway("secret_access_key");
    std::string token;
};

// Runs a program to its end; its standard output, or "<failed>".
std::string RunProgram(const std::vector<std::string>& argv)
{
    std::vector<const gchar*> args;
    for (const std::string& arg : argv)
        args.push_back(arg.c_str());
    args.push_back(nullptr);
    GSubprocess* process = g_subprocess_newv(args.data(), G_SUBPROCESS_FLAGS_STDOUT_PIPE, nullptr);
    GBytes* out = nullptr;
    std::string text = "<failed>";
    if (process && g_subprocess_communicate(process, nullptr, nullptr, &out, nullptr, nullptr) &&
        g_subprocess_get_successful(process)) {
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(out, &size));
        text.assign(data ? data : "", size);
    }
    if (out)
        g_bytes_unref(out);
    if (process)
        g_object_unref(process);
    return text;
}

// The request's "s3" member for the credentials and the endpoint, the gateway's unless given. The
// gateway's keys and tokens need no escaping in JSON.
std::string S3Member(const Credentials& credentials = {}, const std::string& endpoint = Gateway("endpoint"))
{
    const std::string token = credentials.token.empty() ? "" : R"(,"session_token":")" + credentials.token + "\"";
    return R"({"endpoint":")" + endpoint + R"(","region":")" + Gateway("region") + R"(","addressing":"path",)" +
           R"("credentials":{"access_key_id":")" + credentials.accessKeyId + R"(","secret_access_key":")" +
           credentials.secret + "\"" + token + "}}";
}

// An upload into the gateway's bucket below the key prefix.
std::string Upload(const std::string& prefix, const std::string& s3 = S3Member())
{
    return R"({"type":"Request","code":"StartUpload","upload_url":"s3://)" + Gateway("bucket") + "/" + prefix +
           R"(","s3":)" + s3 + "}";
}

// A key prefix of its own for each test of each run, so that runs against one gateway never meet.
std::string RunPrefix(const std::string& test)
{
    return test + "-" + std::to_string(getpid()) + "/";
}

// Every notification of the page and every line the programs logged is free of the secrets; the
// Assistant's log lines go to the system log and to standard error alike.
void ExpectSecretsKept(const Shell& shell, const Sandbox& sandbox, const std::vector<std::string>& secrets)
{
    const std::string errors = ReadWhole(sandbox.ErrorLog());
    EXPECT_NE(errors.find("qiravel-assistant: Job"), std::string::npos) << "the Assistant logged nothing";
    for (const std::string& secret : secrets) {
        ASSERT_FALSE(secret.empty());
        EXPECT_EQ(errors.find(secret), std::string::npos);
        for (const std::string& notification : shell.Notifications())
            EXPECT_EQ(notification.find(secret), std::string::npos) << notification;
    }
}

// Whether a multipart upload under the prefix is still open on the gateway.
bool UploadLeftOpen(const std::string& prefix)
{
    const std::string open = RunProgram({S3_TEST_TOOL, "uploads"});
    EXPECT_NE(open, "<failed>");
    return open.find(prefix) != std::string::npos;
}

std::vector<std::string> Reasons(const Shell& shell)
{
    std::vector<std::string> reasons;
    for (const std::string& failed : shell.NotificationsWithCode("FileFailed"))
        reasons.push_back(JsonMember(failed, "reason"));
    return reasons;
}
}  // namespace

TEST(S3Transfer, UploadsAndDownloadsArriveByteForByteUnderAwkwardKeys)
{
    LaunchingSandbox sandbox;
    const std::map<std::string, std::string> files = {
        {"a.txt", "first file\n"},
        {"Sub Dir/\xC3\xA9t\xC3\xA9 +(1)!'=&$.txt", "awkward\n"},
        {"empty", ""},
        {"big.bin", RandomBytes((18 << 20) + 5, 1)},  // three parts
    };
    WriteTree(sandbox.Path("src/Docs"), files);
    const std::string prefix = RunPrefix("whole");

    Shell shell(sandbox, {"--pick", sandbox.Path("src/Docs")});
    ASSERT_TRUE(shell.Accepts({kSelectFiles, Upload(prefix)}));
    ASSERT_TRUE(shell.WaitFor("TransferComplete", 1, 120000));
    const std::string url = "s3://" + Gateway("bucket") + "/" + prefix;
    EXPECT_EQ(JsonMember(shell.NotificationsWithCode("TransferStarted")[0], "destination"), url);
    EXPECT_EQ(JsonMember(shell.Notifications().back(), "files_sent"), "4") << ::testing::PrintToString(Reasons(shell));
    for (const auto& file : files)
        EXPECT_EQ(Fingerprints({{file.first, RunProgram({S3_TEST_TOOL, "get", prefix + "Docs/" + file.first})}}),
                  Fingerprints({file}));
    EXPECT_FALSE(UploadLeftOpen(prefix));

    // Downloads of the same objects, one of them in parts of its own.
    const std::string destination = sandbox.Path("downloads");
    Shell downloader(sandbox, {"--download-folder", destination});
    ASSERT_TRUE(downloader.Accepts({kSelectFolder, DownloadRequest({{url + "Docs/Sub Dir/\xC3\xA9t\xC3\xA9 +(1)!'=&$.txt", "Set/"},
                                                                     {url + "Docs/big.bin", ""}, {url + "Docs/missing", ""}},
                                                                    R"("s3":)" + S3Member() + ",")}));
    ASSERT_TRUE(downloader.WaitFor("TransferComplete", 1, 120000));
    EXPECT_EQ(ReadTree(destination), Fingerprints({{"Set/\xC3\xA9t\xC3\xA9 +(1)!'=&$.txt", "awkward\n"},
                                                   {"big.bin", files.at("big.bin")}}));
    ASSERT_EQ(Reasons(downloader).size(), 1u);
    EXPECT_NE(Reasons(downloader)[0].find("status 404: NoSuchKey"), std::string::npos) << Reasons(downloader)[0];
    ExpectSecretsKept(shell, sandbox, {Credentials().secret});
    ExpectSecretsKept(downloader, sandbox, {Credentials().secret});
}

// Credentials the gateway refuses fail every file with the gateway's reason: a wrong secret, and
// temporary ones used outside the one prefix they may write to.
TEST(S3Transfer, RefusedCredentialsFailEveryFileWithTheServersReason)
{
    LaunchingSandbox sandbox;
    WriteTree(sandbox.Path("src/Docs"), {{"small.txt", "x"}, {"big.bin", RandomBytes(17 << 20, 2)}});
    const std::string minted = RunProgram({S3_GATEWAY_SCRIPT, "assume-role", "--dir", Gateway("dir")});
    const Credentials temporary = {JsonMember(minted, "access_key_id"), JsonMember(minted, "secret_access_key"),
                                   JsonMember(minted, "session_token")};
    const Credentials user;
    const Credentials wrong = {user.accessKeyId, "wrong" + user.secret, ""};
    const std::string inside = Gateway("prefix") + RunPrefix("sts");
    const struct {
        const char* name;
        Credentials credentials;
        std::string prefix;
        const char* code;  // the server's, for every file; null when both arrive
    } cases[] = {
        {"temporary inside", temporary, inside, nullptr},
        {"temporary outside", temporary, RunPrefix("outside"), "AccessDenied"},
        {"wrong secret", wrong, RunPrefix("wrong"), "SignatureDoesNotMatch"},
    };
    Shell shell(sandbox, {"--pick", sandbox.Path("src/Docs"), "--pick", sandbox.Path("src/Docs")});
    size_t jobs = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t failedBefore = Reasons(shell).size();
        // Failed files stay listed for the next job; the files are picked again once the list is empty.
        std::vector<std::string> requests = {Upload(c.prefix, S3Member(c.credentials))};
        if (failedBefore == 0)
            requests.insert(requests.begin(), kSelectFiles);
        ASSERT_TRUE(shell.Accepts(requests));
        ASSERT_TRUE(shell.WaitFor("TransferComplete", ++jobs, 60000));
        EXPECT_EQ(JsonMember(shell.Notifications().back(), "files_failed"), c.code ? "2" : "0");
        for (size_t i = failedBefore; i < Reasons(shell).size(); ++i)
            EXPECT_EQ(Reasons(shell)[i].find(std::string("The server answered with status 403: ") + (c.code ? c.code : "")), 0u)
                << Reasons(shell)[i];
    }
    EXPECT_EQ(RunProgram({S3_TEST_TOOL, "get", inside + "Docs/small.txt"}), "x");
    ExpectSecretsKept(shell, sandbox, {wrong.secret, user.secret, temporary.secret, temporary.token});
}

TEST(S3Transfer, AFaultMidJobFailsTheFileAfterItsRetriesAndAbortsItsUpload)
{
    const struct {
        const char* name;
        bool stopGateway;  // else the file shrinks
        const char* reason;
    } faults[] = {
        {"stopped", true, "onnect"},
        {"shrunk", false, "shorter"},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.name);
        LaunchingSandbox sandbox;
        WriteTree(sandbox.Path("src/Docs"), {{"big.bin", RandomBytes(24 << 20, 3)}});
        // The gateway behind a relay slow enough that the job is still running at the fault.
        Child relay({S3_TEST_TOOL, "relay", "2000000"}, sandbox.ErrorLog(), true);
        std::string port;
        ASSERT_TRUE(relay.ReadLine(&port, 10000));
        const std::string prefix = RunPrefix(fault.name);

        Shell shell(sandbox, {"--pick", sandbox.Path("src/Docs")});
        ASSERT_TRUE(shell.Accepts({kSelectFiles, Upload(prefix, S3Member({}, "http://127.0.0.1:" + port))}));
        ASSERT_TRUE(shell.WaitFor("TransferProgress", 1, 60000));
        if (fault.stopGateway)
            kill(relay.Pid(), SIGUSR1);
        else
            ASSERT_EQ(truncate(sandbox.Path("src/Docs/big.bin").c_str(), 1 << 20), 0);
        const auto faulted = std::chrono::steady_clock::now();
        ASSERT_TRUE(shell.WaitFor("TransferComplete", 1, 60000));
        ASSERT_EQ(Reasons(shell).size(), 1u);
        EXPECT_NE(Reasons(shell)[0].find(fault.reason), std::string::npos) << Reasons(shell)[0];
        if (fault.stopGateway) {
            // Three retries wait 0.5, 1 and 2 s before the part is given up.
            EXPECT_GE(std::chrono::steady_clock::now() - faulted, std::chrono::milliseconds(3500));
        } else {
            EXPECT_FALSE(UploadLeftOpen(prefix));  // aborted
        }
    }
}

TEST(S3Transfer, AKilledMultipartUploadGoesOnWithThePartsTheServerHas)
{
    LaunchingSandbox sandbox;
    const std::string big = RandomBytes(30 << 20, 5);  // six parts of 5 MiB
    WriteTree(sandbox.Path("src/Docs"), {{"big.bin", big}});
    const std::string key = RunPrefix("killed") + "Docs/big.bin";
    // Slow enough that the Assistant is killed with parts stored and parts still to send.
    Child relay({S3_TEST_TOOL, "relay", "8000000"}, sandbox.ErrorLog(), true);
    std::string port;
    ASSERT_TRUE(relay.ReadLine(&port, 10000));
    std::string s3 = S3Member({}, "http://127.0.0.1:" + port);
    s3.insert(1, R"("part_size":5242880,)");
    const auto storedParts = [&] {
        const std::string parts = RunProgram({S3_TEST_TOOL, "parts", key});
        return parts == "<failed>" ? 0 : std::count(parts.begin(), parts.end(), '\n');
    };

    Child first({ASSISTANT_PATH, "--parallel", "2"}, sandbox.ErrorLog(), false);
    ASSERT_TRUE(Eventually([&] { return sandbox.AssistantPid() == first.Pid(); }, 30000));
    Shell shell(sandbox, {"--pick", sandbox.Path("src/Docs")});
    ASSERT_TRUE(shell.Accepts({kSelectFiles, Upload(RunPrefix("killed"), s3)}));
    ASSERT_TRUE(Eventually([&] { return storedParts() >= 2; }, 60000));
    ASSERT_TRUE(sandbox.StopAssistant(SIGKILL));
    first.Wait(10000);
    const long stored = storedParts();
    ASSERT_LT(stored, 6);

    Child second({ASSISTANT_PATH}, sandbox.ErrorLog(), false);
    ASSERT_TRUE(shell.WaitFor("TransferComplete", 1, 120000));
    EXPECT_EQ(JsonMember(shell.Notifications().back(), "files_sent"), "1") << ::testing::PrintToString(Reasons(shell));
    EXPECT_EQ(Fingerprints({{"big.bin", RunProgram({S3_TEST_TOOL, "get", key})}}), Fingerprints({{"big.bin", big}}));
    EXPECT_EQ(RunProgram({S3_TEST_TOOL, "uploads"}).find(key), std::string::npos);
    // Every part the server held was kept, not sent again.
    const std::string logged = ReadWhole(sandbox.ErrorLog());
    const size_t kept = logged.find(" of 6 parts were stored before and kept");
    ASSERT_NE(kept, std::string::npos);
    EXPECT_GE(std::stol(logged.substr(logged.rfind(' ', kept - 1) + 1)), stored);
    ExpectSecretsKept(shell, sandbox, {Credentials().secret});
}
