// The Assistant against a real S3 server: Ceph's RADOS Gateway started once for all these tests
// (tests/s3), reached through qvshell playing the plug-in and the page.
#include "TransferSession.h"
#include "tests/support/JsonMember.h"

#include <gio/gio.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <unistd.h>

namespace {
const char kSelectFiles[] = R"({"type":"Request","code":"SelectFilesToUpload"})";
const char kSelectFolder[] = R"({"type":"Request","code":"SelectDownloadLocation"})";

struct Credentials {
    std::string accessKeyId;
    std::string secret;
    std::string token;
};

struct Gateway {
    std::string endpoint;
    std::string region;
    std::string bucket;
    std::string rolePrefix;
    Credentials user;
};

std::string Member(json_object* object, const char* key)
{
    json_object* value = nullptr;
    return json_object_object_get_ex(object, key, &value) ? json_object_get_string(value) : "";
}

Gateway LoadGateway()
{
    const char* path = getenv("QIRAVEL_S3_GATEWAY");
    json_object* info = path ? json_object_from_file(path) : nullptr;
    Gateway gateway;
    if (!info) {
        ADD_FAILURE() << "no gateway description in QIRAVEL_S3_GATEWAY";
        return gateway;
    }
    gateway = {Member(info, "endpoint"), Member(info, "region"), Member(info, "bucket"), Member(info, "prefix"),
               {Member(info, "access_key_id"), Member(info, "secret_access_key"), ""}};
    json_object_put(info);
    return gateway;
}

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

std::string Tool(const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv = {S3_TEST_TOOL};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProgram(argv);
}

std::string JsonText(json_object* object)
{
    const std::string text = json_object_to_json_string_ext(object, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    json_object_put(object);
    return text;
}

// The request's "s3" member for the gateway and the credentials, with the endpoint given.
std::string S3Member(const Gateway& gateway, const Credentials& credentials, const std::string& endpoint)
{
    json_object* keys = json_object_new_object();
    json_object_object_add(keys, "access_key_id", json_object_new_string(credentials.accessKeyId.c_str()));
    json_object_object_add(keys, "secret_access_key", json_object_new_string(credentials.secret.c_str()));
    if (!credentials.token.empty())
        json_object_object_add(keys, "session_token", json_object_new_string(credentials.token.c_str()));
    json_object* s3 = json_object_new_object();
    json_object_object_add(s3, "endpoint", json_object_new_string(endpoint.c_str()));
    json_object_object_add(s3, "region", json_object_new_string(gateway.region.c_str()));
    json_object_object_add(s3, "addressing", json_object_new_string("path"));
    json_object_object_add(s3, "credentials", keys);
    return JsonText(s3);
}

std::string Upload(const std::string& url, const std::string& s3)
{
    return R"({"type":"Request","code":"StartUpload","upload_url":")" + url + R"(","s3":)" + s3 + "}";
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
    gchar* log = nullptr;
    g_file_get_contents(sandbox.ErrorLog().c_str(), &log, nullptr, nullptr);
    const std::string errors = log ? log : "";
    g_free(log);
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
    const std::string open = Tool({"uploads"});
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
    const Gateway gateway = LoadGateway();
    Sandbox sandbox;
    sandbox.InstallAssistantEntry();
    const std::map<std::string, std::string> files = {
        {"a.txt", "first file\n"},
        {"Sub Dir/\xC3\xA9t\xC3\xA9 +(1)!'=&$.txt", "awkward\n"},
        {"empty", ""},
        {"big.bin", RandomBytes((18 << 20) + 5, 1)},  // three parts
    };
    WriteTree(sandbox.Path("src/Docs"), files);
    const std::string prefix = RunPrefix("whole");
    const std::string s3 = S3Member(gateway, gateway.user, gateway.endpoint);

    Shell shell(sandbox, {"--pick", sandbox.Path("src/Docs")});
    ASSERT_EQ(shell.Request(kSelectFiles), 1);
    ASSERT_EQ(shell.Request(Upload("s3://" + gateway.bucket + "/" + prefix, s3)), 1);
    ASSERT_TRUE(shell.WaitFor("TransferComplete", 1, 120000));
    EXPECT_EQ(JsonMember(shell.NotificationsWithCode("TransferStarted")[0], "destination"),
              "s3://" + gateway.bucket + "/" + prefix);
    EXPECT_EQ(JsonMember(shell.Notifications().back(), "files_sent"), "4") << ::testing::PrintToString(Reasons(shell));
    for (const auto& file : files)
        EXPECT_EQ(Fingerprints({{file.first, Tool({"get", prefix + "Docs/" + file.first})}}), Fingerprints({file}));
    EXPECT_FALSE(UploadLeftOpen(prefix));

    // Downloads of the same objects, one of them in parts of its own.
    const std::string destination = sandbox.Path("downloads");
    Shell downloader(sandbox, {"--download-folder", destination});
    ASSERT_EQ(downloader.Request(kSelectFolder), 1);
    const std::string url = "s3://" + gateway.bucket + "/" + prefix + "Docs/";
    ASSERT_EQ(downloader.Request(R"({"type":"Request","code":"StartDownload","s3":)" + s3 + R"(,"files_dl":[)" +
                                 R"({"url":")" + url + "Sub Dir/\xC3\xA9t\xC3\xA9 +(1)!'=&$.txt\",\"relative_path\":\"Set/\"}," +
                                 R"({"url":")" + url + R"(big.bin"},{"url":")" + url + R"(missing"}]})"),
              1);
    ASSERT_TRUE(downloader.WaitFor("TransferComplete", 1, 120000));
    EXPECT_EQ(ReadTree(destination), Fingerprints({{"Set/\xC3\xA9t\xC3\xA9 +(1)!'=&$.txt", "awkward\n"},
                                                   {"big.bin", files.at("big.bin")}}));
    ASSERT_EQ(Reasons(downloader).size(), 1u);
    EXPECT_NE(Reasons(downloader)[0].find("status 404: NoSuchKey"), std::string::npos) << Reasons(downloader)[0];
    ExpectSecretsKept(shell, sandbox, {gateway.user.secret});
    ExpectSecretsKept(downloader, sandbox, {gateway.user.secret});
}

TEST(S3Transfer, AWrongSecretFailsEveryFileWithTheServersReason)
{
    const Gateway gateway = LoadGateway();
    Sandbox sandbox;
    sandbox.InstallAssistantEntry();
    WriteTree(sandbox.Path("src/Docs"), {{"small.txt", "x"}, {"big.bin", RandomBytes(17 << 20, 2)}});
    const Credentials wrong = {gateway.user.accessKeyId, "wrong" + gateway.user.secret, ""};

    Shell shell(sandbox, {"--pick", sandbox.Path("src/Docs")});
    ASSERT_EQ(shell.Request(kSelectFiles), 1);
    ASSERT_EQ(shell.Request(Upload("s3://" + gateway.bucket + "/" + RunPrefix("wrong"),
                                   S3Member(gateway, wrong, gateway.endpoint))),
              1);
    ASSERT_TRUE(shell.WaitFor("TransferComplete", 1, 60000));
    EXPECT_EQ(JsonMember(shell.Notifications().back(), "files_failed"), "2");
    for (const std::string& reason : Reasons(shell))
        EXPECT_EQ(reason.find("The server answered with status 403: SignatureDoesNotMatch"), 0u) << reason;
    ExpectSecretsKept(shell, sandbox, {wrong.secret, gateway.user.secret});
}

TEST(S3Transfer, TemporaryCredentialsWriteInsideTheirPrefixOnly)
{
    const Gateway gateway = LoadGateway();
    Sandbox sandbox;
    sandbox.InstallAssistantEntry();
    WriteTree(sandbox.Path("src/Docs"), {{"note.txt", "granted\n"}});
    gchar* folder = g_path_get_dirname(getenv("QIRAVEL_S3_GATEWAY") ? getenv("QIRAVEL_S3_GATEWAY") : ".");
    const std::string gatewayDir = folder;
    g_free(folder);
    json_object* minted = json_tokener_parse(RunProgram({S3_GATEWAY_SCRIPT, "assume-role", "--dir", gatewayDir}).c_str());
    ASSERT_NE(minted, nullptr);
    const Credentials temporary = {Member(minted, "access_key_id"), Member(minted, "secret_access_key"),
                                   Member(minted, "session_token")};
    json_object_put(minted);
    const std::string s3 = S3Member(gateway, temporary, gateway.endpoint);
    const std::string inside = gateway.rolePrefix + RunPrefix("sts");

    Shell shell(sandbox, {"--pick", sandbox.Path("src/Docs"), "--pick", sandbox.Path("src/Docs")});
    size_t jobs = 0;
    for (const std::string& prefix : {inside, RunPrefix("outside")}) {
        ASSERT_EQ(shell.Request(kSelectFiles), 1);
        ASSERT_EQ(shell.Request(Upload("s3://" + gateway.bucket + "/" + prefix, s3)), 1);
        ASSERT_TRUE(shell.WaitFor("TransferComplete", ++jobs, 60000));
    }
    EXPECT_EQ(Tool({"get", inside + "Docs/note.txt"}), "granted\n");
    ASSERT_EQ(Reasons(shell).size(), 1u);
    EXPECT_EQ(Reasons(shell)[0].find("The server answered with status 403: AccessDenied"), 0u) << Reasons(shell)[0];
    ExpectSecretsKept(shell, sandbox, {temporary.secret, temporary.token});
}

TEST(S3Transfer, AFaultMidJobFailsTheFileAfterItsRetriesAndAbortsItsUpload)
{
    const Gateway gateway = LoadGateway();
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
        Sandbox sandbox;
        sandbox.InstallAssistantEntry();
        WriteTree(sandbox.Path("src/Docs"), {{"big.bin", RandomBytes(24 << 20, 3)}});
        // The gateway behind a relay slow enough that the job is still running at the fault.
        Child relay({S3_TEST_TOOL, "relay", "2000000"}, sandbox.ErrorLog(), true);
        std::string port;
        ASSERT_TRUE(relay.ReadLine(&port, 10000));
        const std::string prefix = RunPrefix(fault.name);

        Shell shell(sandbox, {"--pick", sandbox.Path("src/Docs")});
        ASSERT_EQ(shell.Request(kSelectFiles), 1);
        ASSERT_EQ(shell.Request(Upload("s3://" + gateway.bucket + "/" + prefix,
                                       S3Member(gateway, gateway.user, "http://127.0.0.1:" + port))),
                  1);
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
    const Gateway gateway = LoadGateway();
    Sandbox sandbox;
    sandbox.InstallAssistantEntry();
    const std::string big = RandomBytes(30 << 20, 5);  // six parts of 5 MiB
    WriteTree(sandbox.Path("src/Docs"), {{"big.bin", big}});
    const std::string key = RunPrefix("killed") + "Docs/big.bin";
    // Slow enough that the Assistant is killed with parts stored and parts still to send.
    Child relay({S3_TEST_TOOL, "relay", "8000000"}, sandbox.ErrorLog(), true);
    std::string port;
    ASSERT_TRUE(relay.ReadLine(&port, 10000));
    std::string s3 = S3Member(gateway, gateway.user, "http://127.0.0.1:" + port);
    s3.insert(1, R"("part_size":5242880,)");
    const auto storedParts = [&] {
        const std::string parts = Tool({"parts", key});
        return parts == "<failed>" ? 0 : std::count(parts.begin(), parts.end(), '\n');
    };

    Child first({ASSISTANT_PATH, "--parallel", "2"}, sandbox.ErrorLog(), false);
    ASSERT_TRUE(Eventually([&] { return sandbox.AssistantPid() == first.Pid(); }, 30000));
    Shell shell(sandbox, {"--pick", sandbox.Path("src/Docs")});
    ASSERT_EQ(shell.Request(kSelectFiles), 1);
    ASSERT_EQ(shell.Request(Upload("s3://" + gateway.bucket + "/" + RunPrefix("killed"), s3)), 1);
    ASSERT_TRUE(Eventually([&] { return storedParts() >= 2; }, 60000));
    ASSERT_TRUE(sandbox.StopAssistant(SIGKILL));
    first.Wait(10000);
    const long stored = storedParts();
    ASSERT_LT(stored, 6);

    Child second({ASSISTANT_PATH}, sandbox.ErrorLog(), false);
    ASSERT_TRUE(shell.WaitFor("TransferComplete", 1, 120000));
    EXPECT_EQ(JsonMember(shell.Notifications().back(), "files_sent"), "1") << ::testing::PrintToString(Reasons(shell));
    EXPECT_EQ(Fingerprints({{"big.bin", Tool({"get", key})}}), Fingerprints({{"big.bin", big}}));
    EXPECT_EQ(Tool({"uploads"}).find(key), std::string::npos);
    // Every part the server held was kept, not sent again.
    gchar* log = nullptr;
    g_file_get_contents(sandbox.ErrorLog().c_str(), &log, nullptr, nullptr);
    const std::string logged = log ? log : "";
    g_free(log);
    const size_t kept = logged.find(" of 6 parts were stored before and kept");
    ASSERT_NE(kept, std::string::npos);
    EXPECT_GE(std::stol(logged.substr(logged.rfind(' ', kept - 1) + 1)), stored);
    ExpectSecretsKept(shell, sandbox, {gateway.user.secret});
}
