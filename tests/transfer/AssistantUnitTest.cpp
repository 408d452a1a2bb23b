// The Assistant's units: destination paths and names, URLs, addresses, request parsing, partial
// files, local copies, and the order of a job's notifications.
#include "Assistant/AddressPolicy.h"
#include "Assistant/CopyGroups.h"
#include "Assistant/DestinationPaths.h"
#include "Assistant/LocalCopy.h"
#include "Assistant/PartialFile.h"
#include "Assistant/TransferRequest.h"
#include "Assistant/TransferService.h"
#include "Common/AssistantLink.h"
#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/Processes/Processes.h"
#include "tests/support/JsonMember.h"
#include "tests/support/MainLoop.h"
#include "tests/support/TempDir.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
std::string ReadFile(const std::string& path)
{
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::vector<std::string> FolderNames(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Every sync call looks at the watched folder: whether the file has its final name yet, and
// whether its temporary file holds all of its data. The tests see the order of syncing and naming.
struct SyncWatch {
    std::mutex mutex;
    std::string folder;
    std::string name;
    uintmax_t size = 0;
    bool syncedBeforeNamed = false;

    void Watch(const std::string& watchedFolder, const std::string& watchedName, uintmax_t watchedSize)
    {
        std::lock_guard<std::mutex> lock(mutex);
        folder = watchedFolder, name = watchedName, size = watchedSize, syncedBeforeNamed = false;
    }
    // The complete file is there under a temporary name, or under none (an open file of the folder).
    void Note()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::error_code error;
        if (std::filesystem::exists(folder + "/" + name, error))
            return;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            syncedBeforeNamed |=
                entry.path().filename().string().rfind(".qiravel-", 0) == 0 && entry.file_size(error) == size;
        }
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
            struct stat info;
            syncedBeforeNamed |= std::filesystem::read_symlink(entry, error).string().rfind(folder + "/#", 0) == 0 &&
                                 stat(entry.path().c_str(), &info) == 0 && static_cast<uintmax_t>(info.st_size) == size;
        }
    }
} sSyncWatch;
}  // namespace

// The sync calls of this program pass through here on their way to the kernel.
extern "C" int fsync(int fd)
{
    sSyncWatch.Note();
    return static_cast<int>(syscall(SYS_fsync, fd));
}
extern "C" int syncfs(int fd) noexcept
{
    sSyncWatch.Note();
    return static_cast<int>(syscall(SYS_syncfs, fd));
}

TEST(DestinationPaths, RelativeFoldersStayInsideTheDestination)
{
    const struct {
        const char* relative;
        bool accepted;
        const char* normalized;
    } cases[] = {
        {"", true, ""},
        {"Docs/", true, "Docs"},
        {"Docs/Sub/", true, "Docs/Sub"},
        {"a//b/./c/", true, "a/b/c"},
        {"./", true, ""},
        {"..a/b../", true, "..a/b.."},
        {"\xC3\xA9t\xC3\xA9 x/", true, "\xC3\xA9t\xC3\xA9 x"},
        {"/etc/", false, ""},
        {"../x/", false, ""},
        {"a/../b/", false, ""},
        {"a/..", false, ""},
        {"..", false, ""},
    };
    for (const auto& c : cases) {
        std::string normalized;
        std::string reason;
        EXPECT_EQ(NormalizeRelativeFolder(c.relative, &normalized, &reason), c.accepted) << c.relative;
        if (c.accepted) {
            EXPECT_EQ(normalized, c.normalized) << c.relative;
        } else {
            EXPECT_NE(reason.find(c.relative), std::string::npos) << reason;
        }
    }
}

TEST(DestinationPaths, FileNamesOfPathsAndUrls)
{
    const struct {
        const char* path;
        const char* name;  // null: names no file
    } paths[] = {
        {"/a/b.txt", "b.txt"}, {"/x/.hidden", ".hidden"}, {"/a/", nullptr}, {"/", nullptr},
        {"/a/..", nullptr},    {"/a/.", nullptr},
    };
    for (const auto& c : paths) {
        std::string name;
        EXPECT_EQ(FileNameOfPath(c.path, &name), c.name != nullptr) << c.path;
        if (c.name) {
            EXPECT_EQ(name, c.name);
        }
    }
    const struct {
        const char* url;
        const char* name;
    } urls[] = {
        {"http://h/a/b%20c.txt", "b c.txt"},
        {"https://h:8443/dir/file.bin?x=1#top", "file.bin"},
        {"http://h/%C3%BC.txt", "\xC3\xBC.txt"},
        {"file:///tmp/a%20b", "a b"},
        {"http://h/a/%2Fetc", nullptr},
        {"http://h/a/x%00y", nullptr},
        {"http://h/a/%2E%2E", nullptr},
        {"http://h/a/..", nullptr},
        {"http://h/", nullptr},
        {"not a url", nullptr},
    };
    for (const auto& c : urls) {
        std::string name;
        std::string reason;
        EXPECT_EQ(FileNameOfUrl(c.url, &name, &reason), c.name != nullptr) << c.url;
        if (c.name) {
            EXPECT_EQ(name, c.name);
        } else {
            EXPECT_FALSE(reason.empty());
        }
    }
}

TEST(DestinationPaths, NumberedNamesAndJoinedUrls)
{
    EXPECT_EQ(NumberedName("a.txt", 2), "a (2).txt");
    EXPECT_EQ(NumberedName("archive.tar.gz", 3), "archive.tar (3).gz");
    EXPECT_EQ(NumberedName(".bashrc", 2), ".bashrc (2)");
    EXPECT_EQ(NumberedName("README", 12), "README (12)");
    EXPECT_EQ(NumberedName("dot.", 2), "dot. (2)");

    const struct {
        const char* base;
        const char* folder;
        const char* name;
        const char* url;
    } joins[] = {
        {"http://127.0.0.1:8080/up", "Docs/Sub", "a b.txt", "http://127.0.0.1:8080/up/Docs/Sub/a%20b.txt"},
        {"http://h/up/", "", "n.txt", "http://h/up/n.txt"},
        {"http://h", "", "n.txt", "http://h/n.txt"},
        {"https://h/up/?token=x%2By", "D", "n.txt", "https://h/up/D/n.txt?token=x%2By"},
        {"http://h/up%20load/", "", "#?%&+;=.txt", "http://h/up%20load/%23%3F%25%26%2B%3B%3D.txt"},
        {"http://h/", "\xC3\xA9", "\xC3\xBC", "http://h/%C3%A9/%C3%BC"},
        {"http://user@[::1]:81/u", "", "n", "http://user@[::1]:81/u/n"},
        {"no scheme", "", "n", ""},
    };
    for (const auto& c : joins)
        EXPECT_EQ(JoinUrl(c.base, c.folder, c.name), c.url) << c.base;

    const struct {
        const char* url;
        const char* shown;
    } shown[] = {
        {"http://alice:s3cret@h:81/a/../b?x@y", "http://h:81/a/../b?x@y"},
        {"HTTPS://a@b@h", "HTTPS://h"},
        {"http://h/p@q#r@s", "http://h/p@q#r@s"},
        {"/home/u/a@b://c", "/home/u/a@b://c"},
    };
    for (const auto& c : shown)
        EXPECT_EQ(ShownUrl(c.url), c.shown) << c.url;
}

// Settings read from a key file, with entries that cannot be used skipped, decide which addresses
// a transfer reaches.
TEST(AddressPolicy, LocalAddressesOnlyWhenAllowed)
{
    const TempDir temp("qv-assistant-unit");
    std::ofstream(temp.Path() + "/a.conf") << "[Allow]\naddresses= 10.1.0.0/16 ;NAS.local;fd00::1;bad/99;\n"
                                           "[Limits]\nlowest_rate=5\nlowest_rate_seconds=0\n";
    AssistantConfig config;
    std::vector<std::string> problems;
    EXPECT_TRUE(ReadAssistantConfig(temp.Path() + "/missing.conf", &config, &problems));
    ASSERT_TRUE(ReadAssistantConfig(temp.Path() + "/a.conf", &config, &problems));
    EXPECT_EQ(problems.size(), 2u);  // "bad/99" and a zero window
    EXPECT_EQ(config.lowestRate, 5u);
    EXPECT_EQ(config.lowestRateSeconds, 60u);
    const struct {
        const char* address;
        const char* host;
        bool allowed;
    } cases[] = {
        {"93.184.216.34", "example.org", true},   {"2606:2800:220:1::1", "example.org", true},
        {"127.0.0.1", "localhost", false},        {"::1", "localhost", false},
        {"::ffff:127.0.0.1", "h", false},         {"0.0.0.0", "h", false},
        {"169.254.169.254", "h", false},          {"fe80::1", "h", false},
        {"192.168.1.1", "h", false},              {"172.31.0.1", "h", false},
        {"100.64.0.1", "h", false},               {"fc00::5", "h", false},
        {"10.1.2.3", "h", true},                  {"10.2.0.1", "h", false},
        {"192.168.1.9", "nas.local", true},       {"fd00::1", "h", true},
        {"::ffff:10.1.0.9", "h", true},
    };
    for (const auto& c : cases) {
        GInetAddress* inet = g_inet_address_new_from_string(c.address);
        GSocketAddress* socket = g_inet_socket_address_new(inet, 80);
        sockaddr_storage native;
        ASSERT_TRUE(g_socket_address_to_native(socket, &native, sizeof native, nullptr));
        EXPECT_EQ(IsAddressAllowed(reinterpret_cast<sockaddr*>(&native), c.host, config), c.allowed) << c.address;
        g_object_unref(socket);
        g_object_unref(inet);
    }
}

TEST(TransferRequest, RefusesRequestsThatCannotRun)
{
    const std::string upload = R"({"type":"Request","code":"StartUpload",)";
    const std::string one = R"("files_ul":[{"file_path":"/a"}]})";
    const struct {
        std::string text;
        const char* reason;  // a part of the reason
    } cases[] = {
        {"", "empty"},
        {"not json", "not one JSON text"},
        {R"({"type":"Request","code":"StartUpload"} trailing)", "not one JSON text"},
        {"{\"type\":\"Request\",\"code\":\"StartUpload\",\"x\":\"\xFF\"}", "not one JSON text"},
        {R"([1,2])", "not a JSON object"},
        {R"({"type":"Notification","code":"StartUpload"})", "not a request"},
        {R"({"type":"Request","code":"Reset"})", "\"Reset\" is not a transfer"},
        {R"({"type":"Request","code":"StartUpload"})", "lists no files"},
        {upload + R"("files_ul":[]})", "lists no files"},
        {upload + R"("upload_url":"ftp://h/",)" + one, "is not an http:"},
        {upload + R"("upload_url":"file://elsewhere/x",)" + one, "is not an http:"},
        {upload + R"("upload_url":"http:///nohost",)" + one, "is not an http:"},
        {upload + R"("upload_url":7,)" + one, "not a text"},
        {R"({"type":"Request","code":"StartDownload","files_dl":[{"url":"http://h/a"}]})", "no download folder"},
        {R"({"type":"Request","code":"StartDownload","dest_path":"rel","files_dl":[{"url":"http://h/a"}]})",
         "not an absolute path"},
        {R"({"type":"Request","code":"StartDownload","dest_path":"/d","files_ul":[{"file_path":"/a"}]})",
         "lists no files"},
    };
    for (const auto& c : cases) {
        TransferRequest request;
        std::string reason;
        EXPECT_FALSE(ParseTransferRequest(c.text.data(), c.text.size(), &request, &reason)) << c.text;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.text << " gave: " << reason;
    }
}

TEST(TransferRequest, ReadsUploadsWithTheirTargetsAndEntryProblems)
{
    const struct {
        const char* uploadUrl;  // null: none
        UploadTarget target;
        const char* destination;
    } targets[] = {
        {nullptr, UploadTarget::outbox, ""},
        {"", UploadTarget::outbox, ""},
        {"file:///tmp/out%20box", UploadTarget::folder, "/tmp/out box"},
        {"FILE://localhost/tmp/x", UploadTarget::folder, "/tmp/x"},
        {"HTTPS://h:1/up?t=1", UploadTarget::http, "HTTPS://h:1/up?t=1"},
    };
    const std::string entries = R"("files_ul":[
        {"file_path":"/src/Docs/a.txt","relative_path":"Docs/","size":1536.000000},
        {"file_path":"/src/b.txt","size":7},
        {"file_path":"/src/c.txt","relative_path":"../up/"},
        {"file_path":"/src/d.txt","relative_path":"/abs/"},
        {"file_path":"/src/e.txt","relative_path":5},
        {"file_path":"rel/f.txt"},
        {"file_path":"/src/"},
        {"relative_path":"x/"},
        {"file_path":"/src/n\u0000ul"},
        "not an object",
        {"file_path":"/src/huge","size":1e300},
        {"file_path":"/src/negative","size":-5}])";
    const struct {
        const char* problem;  // a part of it; "" for none
        const char* folder;
        const char* name;
        double size;
    } expected[] = {
        {"", "Docs", "a.txt", 1536}, {"", "", "b.txt", 7},
        {"leaves the destination", "", "", 0}, {"is absolute", "", "", 0},
        {"not a text", "", "", 0}, {"not absolute", "", "", 0},
        {"names no file", "", "", 0}, {"no file path", "", "", 0},
        {"no file path", "", "", 0}, {"not an object", "", "", 0},
        {"", "", "huge", 4611686018427387904.0}, {"", "", "negative", 0},
    };
    for (const auto& t : targets) {
        std::string text = R"({"type":"request","code":"startupload","job":{"tag":[1]},)";
        if (t.uploadUrl)
            text += std::string("\"upload_url\":\"") + t.uploadUrl + "\",";
        text += entries + "}";
        TransferRequest request;
        std::string reason;
        ASSERT_TRUE(ParseTransferRequest(text.data(), text.size(), &request, &reason)) << reason;
        EXPECT_EQ(request.kind, TransferKind::upload);
        EXPECT_EQ(request.target, t.target);
        EXPECT_EQ(request.destination, t.destination);
        EXPECT_STREQ(json_object_to_json_string_ext(request.job, JSON_C_TO_STRING_PLAIN), R"({"tag":[1]})");
        ASSERT_EQ(request.entries.size(), std::size(expected));
        for (size_t i = 0; i < request.entries.size(); ++i) {
            const TransferEntry& entry = request.entries[i];
            SCOPED_TRACE(i);
            EXPECT_NE(entry.problem.find(expected[i].problem), std::string::npos) << entry.problem;
            EXPECT_EQ(entry.problem.empty(), !*expected[i].problem);
            if (entry.problem.empty()) {
                EXPECT_EQ(entry.folder, expected[i].folder);
                EXPECT_EQ(entry.name, expected[i].name);
                EXPECT_EQ(entry.size, expected[i].size);
            }
        }
        // The entry goes back in "FileSent" as it came, its size in the form it was written in.
        EXPECT_STREQ(json_object_to_json_string_ext(request.entries[0].original, JSON_C_TO_STRING_PLAIN),
                     R"({"file_path":"\/src\/Docs\/a.txt","relative_path":"Docs\/","size":1536.000000})");
    }
}

TEST(TransferRequest, ReadsDownloadsWithTheirEntryProblems)
{
    const std::string text = R"({"type":"Request","code":"StartDownload","dest_path":"/home/u/Downloads","files_dl":[
        {"url":"http://h/a/b%20c.txt","relative_path":"Set/"},
        {"url":"file:///tmp/local.txt"},
        {"url":"ftp://h/x"},
        {"url":"file://other/tmp/x"},
        {"url":"http://h/dir/"},
        {"url":"http://h/x","relative_path":"../"},
        {"relative_path":"x/"}]})";
    TransferRequest request;
    std::string reason;
    ASSERT_TRUE(ParseTransferRequest(text.data(), text.size(), &request, &reason)) << reason;
    EXPECT_EQ(request.job, nullptr);
    const char* problems[] = {"", "", "not an http:", "not an http:", "names no file", "leaves", "no URL"};
    ASSERT_EQ(request.entries.size(), std::size(problems));
    for (size_t i = 0; i < request.entries.size(); ++i) {
        EXPECT_NE(request.entries[i].problem.find(problems[i]), std::string::npos) << i;
        EXPECT_EQ(request.entries[i].problem.empty(), !*problems[i]) << i << request.entries[i].problem;
    }
}

TEST(PartialFile, CommitsUnderAFreeNameAndLeavesNothingWhenAbandoned)
{
    const TempDir temp("qv-assistant-unit");
    for (const bool named : {true, false}) {
        const std::string folder = temp.Path() + (named ? "/named" : "/unnamed") + "/sub";
        SCOPED_TRACE(folder);
        std::string reason;
        std::string finalPath;
        ASSERT_EQ(g_mkdir_with_parents(folder.c_str(), 0700), 0);
        const int folderFd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        const auto create = [&](const std::string& name) {
            return named ? PartialFile::Create(folder, name, 0644, &reason)
                         : PartialFile::CreateUnnamed(folderFd, folder, name, 0644, &reason);
        };
        // Taken names are kept; the file gets the first free number, and no name before it is complete.
        const char* contents[] = {"one", "two", "three"};
        const char* names[] = {"a.txt", "a (2).txt", "a (3).txt"};
        for (size_t i = 0; i < std::size(contents); ++i) {
            std::unique_ptr<PartialFile> file = create("a.txt");
            ASSERT_TRUE(file) << reason;
            ASSERT_EQ(write(file->Fd(), contents[i], strlen(contents[i])), static_cast<ssize_t>(strlen(contents[i])));
            sSyncWatch.Watch(folder, names[i], strlen(contents[i]));
            ASSERT_TRUE(file->Commit(&finalPath, &reason)) << reason;
            EXPECT_TRUE(sSyncWatch.syncedBeforeNamed);
            EXPECT_EQ(finalPath, folder + "/" + names[i]);
        }
        EXPECT_EQ(FolderNames(folder), (std::vector<std::string>{"a (2).txt", "a (3).txt", "a.txt"}));
        EXPECT_EQ(ReadFile(folder + "/a.txt"), "one");
        EXPECT_EQ(ReadFile(folder + "/a (3).txt"), "three");

        // Abandoned or removed at a stop: no temporary file stays, and a later commit fails, while
        // a file made after the stop commits.
        { auto abandoned = create("b.txt"); }
        auto stopped = create("c.txt");
        ASSERT_TRUE(stopped);
        PartialFile::RemoveAllTemporary();
        EXPECT_FALSE(stopped->Commit(&finalPath, &reason));
        EXPECT_EQ(FolderNames(folder).size(), 3u);
        EXPECT_TRUE(create("d.txt")->Commit(&finalPath, &reason)) << reason;
        close(folderFd);
    }
    // A folder that cannot be made is a reason, not a crash.
    std::string reason;
    EXPECT_FALSE(PartialFile::Create(temp.Path() + "/named/sub/a.txt/x", "d", 0644, &reason));
    EXPECT_NE(reason.find("Could not create the folder"), std::string::npos);
}

TEST(CopyGroups, SmallFilesGoTogetherWithinTheGroupsLimits)
{
    const double kB = 1024, MB = 1024 * kB;
    const struct {
        std::vector<double> sizes;  // negative: an entry with a problem
        size_t mostFiles;
        std::vector<size_t> groups;
    } cases[] = {
        {std::vector<double>(3000, 4 * kB), 2048, {2048, 952}},
        {std::vector<double>(3000, 4 * kB), 1000, {1000, 1000, 1000}},
        {std::vector<double>(40, 1 * MB), 2048, {32, 8}},
        {{2 * MB, 4 * kB, 4 * kB}, 2048, {1, 2}},
        {{4 * kB, 2 * MB, 4 * kB}, 2048, {1, 1, 1}},
        {{4 * kB, -1, 4 * kB, 4 * kB}, 2048, {1, 2}},
    };
    for (const auto& c : cases) {
        std::vector<TransferEntry> entries(c.sizes.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            entries[i].size = std::max(c.sizes[i], 0.0);
            entries[i].problem = c.sizes[i] < 0 ? "refused" : "";
        }
        std::vector<size_t> groups;
        for (size_t next = 0; next < entries.size();) {
            const size_t first = next++;
            if (entries[first].problem.empty())
                groups.push_back(TakeCopyGroup(entries, first, &next, c.mostFiles).size());
        }
        EXPECT_EQ(groups, c.groups) << c.sizes.size() << " entries";
    }

    // Parallel groups, with a descriptor per file and one per folder, fit the descriptor limit.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const struct {
        rlim_t limit;
        unsigned parallel;
        size_t mostFiles;
    } limits[] = {{512, 4, 32}, {200, 4, 1}, {4352, 1, 2048}, {4352, 4, 512}};
    for (const auto& c : limits) {
        struct rlimit lowered = {c.limit, saved.rlim_max};
        if (c.limit <= saved.rlim_max && setrlimit(RLIMIT_NOFILE, &lowered) == 0) {
            EXPECT_EQ(MostGroupedFiles(c.parallel), c.mostFiles) << c.limit;
        }
    }
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(LocalCopy, GroupsCopyWithinAndAcrossFileSystemsAndFailFileByFile)
{
    const TempDir temp("qv-assistant-unit");
    const std::string content = std::string(3 << 20, 'x') + "end";
    std::vector<std::string> sources = {temp.Path() + "/source.bin", temp.Path() + "/missing"};
    // /dev/shm is another file system, where the kernel's copy path gives way to the buffer copy.
    if (access("/dev/shm", W_OK) == 0)
        sources.push_back("/dev/shm/qv-assistant-unit-" + std::to_string(getpid()));
    for (const std::string& source : sources) {
        if (source != sources[1])
            std::ofstream(source, std::ios::binary) << content;
    }
    std::atomic<bool> cancel{false};
    for (const bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled);
        cancel = cancelled;
        std::vector<FileProgress> progress(sources.size());
        std::vector<CopyItem> items(sources.size());
        for (size_t i = 0; i < sources.size(); ++i)
            items[i] = {sources[i], temp.Path() + "/out/" + std::to_string(i / 2), "copy.bin", &progress[i], false, {}, {}};
        sSyncWatch.Watch(temp.Path() + "/out/0", "copy.bin", content.size());
        size_t namedBeforeAllowed = 9;
        CopyFilesInto(&items, cancel, [&] { namedBeforeAllowed = FolderNames(temp.Path() + "/out/0").size(); });
        EXPECT_EQ(namedBeforeAllowed, cancelled ? 1u : 0u);  // the first round's copy stays
        EXPECT_EQ(sSyncWatch.syncedBeforeNamed, !cancelled);
        for (size_t i = 0; i < sources.size(); ++i) {
            const bool copied = !cancelled && i != 1;
            EXPECT_EQ(items[i].ok, copied) << sources[i] << ": " << items[i].reason;
            if (copied) {
                EXPECT_EQ(ReadFile(items[i].finalPath), content);
                EXPECT_EQ(progress[i].done, content.size());
                EXPECT_EQ(progress[i].total, content.size());
            }
        }
        EXPECT_NE(items[1].reason.find(cancelled ? "stopped" : "No such file"), std::string::npos) << items[1].reason;
    }
    // Two folders, each with one copy and no temporary file.
    EXPECT_EQ(FolderNames(temp.Path() + "/out/0"), (std::vector<std::string>{"copy.bin"}));
    if (sources.size() == 3) {
        EXPECT_EQ(FolderNames(temp.Path() + "/out/1"), (std::vector<std::string>{"copy.bin"}));
        unlink(sources.back().c_str());
    }

    // A named pipe, whose opening waits for no writer, and a folder are refused.
    const std::string fifo = temp.Path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, temp.Path()}) {
        struct stat info;
        std::string reason;
        EXPECT_EQ(OpenSourceFile(path, &info, &reason), -1) << path;
        EXPECT_EQ(reason, "The file is not a regular file");
    }
}

namespace {
std::vector<std::string> sNotifications;

OSErr RecordNotification(const AppleEvent* event, AppleEvent*, SRefCon)
{
    DescType type;
    Size size = 0;
    AEGetParamPtr(event, kNotificationKeyword, typeChar, &type, nullptr, 0, &size);
    std::string text(static_cast<size_t>(size), '\0');
    AEGetParamPtr(event, kNotificationKeyword, typeChar, &type, text.data(), size, &size);
    sNotifications.push_back(text);
    return noErr;
}

// Runs one request through a service in this process, whose status events come back here, and
// returns the notifications' codes, each "FileSent" with its number of files.
std::vector<std::string> RunJob(ServiceSettings settings, const std::string& request)
{
    static const TempDir runtime("qv-assistant-unit");
    setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    EXPECT_EQ(AEInstallEventHandler(kAssistantEventClass, kStatusEventID, &RecordNotification, nullptr, false), noErr);
    TransferService service(settings);
    StatusAddress address;
    GetCurrentProcess(&address.process);
    sNotifications.clear();
    service.Accept(request.data(), request.size(), address);
    EXPECT_TRUE(RunLoopUntil([] { return !sNotifications.empty() && JsonMember(sNotifications.back(), "code") == "TransferComplete"; }, 60000));
    std::vector<std::string> codes;
    for (const std::string& notification : sNotifications) {
        codes.push_back(JsonMember(notification, "code"));
        if (codes.back() == "FileSent")
            codes.back() += " " + std::to_string(std::count(notification.begin(), notification.end(), '{') - 1);
    }
    return codes;
}
}  // namespace

// With few descriptors to spare the small files still go, in smaller groups.
TEST(TransferService, SentFilesGoOutInBatchesOfAtMost1000BeforeALaterFailureAndWithinFewDescriptors)
{
    const TempDir temp("qv-assistant-unit");
    ServiceSettings settings;
    settings.outbox = temp.Path() + "/outbox";
    settings.parallel = 1;
    settings.progressInterval = std::chrono::hours(1);  // no batch goes out on a timer
    // 1001 files, one that is missing, one more.
    std::string files;
    for (int i = 0; i < 1003; ++i) {
        const std::string path = temp.Path() + "/f" + std::to_string(i);
        if (i != 1001)
            std::ofstream(path) << i;
        files += R"({"file_path":")" + path + R"(","size":1.000000},)";
    }
    files.pop_back();
    const std::vector<std::string> expected = {"TransferStarted", "FileSent 1000", "FileSent 1", "FileFailed",
                                               "FileSent 1", "TransferComplete"};
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit few = {std::min<rlim_t>(512, saved.rlim_max), saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
    EXPECT_EQ(RunJob(settings, R"({"type":"Request","code":"StartUpload","files_ul":[)" + files + "]}"), expected);
    setrlimit(RLIMIT_NOFILE, &saved);
}
