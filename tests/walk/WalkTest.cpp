#include "EnumerateFiles.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {
struct Entry {
    std::string path;
    std::string base;  // "<null>" for a null relative base
    uint64_t size;
    bool operator==(const Entry& other) const
    {
        return path == other.path && base == other.base && size == other.size;
    }
    friend std::ostream& operator<<(std::ostream& out, const Entry& entry)
    {
        return out << entry.path << " | " << entry.base << " | " << entry.size;
    }
};

struct Collector {
    std::vector<Entry> entries;
    size_t refuseAt = 0;  // 1-based call that is refused; 0 refuses none
    std::vector<std::string> cycles;
};

bool Collect(const char* path, const char* relativeBase, FSCatalogInfo* info, void* context)
{
    auto* collector = static_cast<Collector*>(context);
    collector->entries.push_back({path, relativeBase ? relativeBase : "<null>", info->dataLogicalSize});
    return collector->entries.size() != collector->refuseAt;
}

std::string Text(const xwstring& text)
{
    const char* narrow = text;
    return narrow ? narrow : "<none>";
}

void NoteCycle(const char* path, void* context) { static_cast<Collector*>(context)->cycles.push_back(path); }

class WalkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/walktest.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::permissions(root, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    }
    void TearDown() override { fs::remove_all(root); }

    std::string Make(const std::string& relative, const std::string& content = "")
    {
        const fs::path path = root / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << content;
        return path.string();
    }
    std::string Folder(const std::string& relative)
    {
        fs::create_directories(root / relative);
        return (root / relative).string();
    }
    OSStatus Walk(const std::string& path, Collector& collector, xwstring& record)
    {
        return EnumerateFiles(path.c_str(), nullptr, Collect, &collector, &record, NoteCycle, &collector);
    }

    fs::path root;
};

TEST_F(WalkTest, FolderFilesCarryRelativeBasesAndHiddenItemsAreSkipped)
{
    const std::string a = Make("Docs/a.txt", "0123456789"), b = Make("Docs/Sub/b.txt", "xy");
    Make("Docs/.hidden", "h");
    Make("Docs/.git/c.txt", "c");
    Folder("Docs/Empty");
    Collector collector;
    xwstring record;
    EXPECT_EQ(Walk(Folder("Docs") + "/", collector, record), errFSNoMoreItems);
    std::sort(collector.entries.begin(), collector.entries.end(),
              [](const Entry& l, const Entry& r) { return l.path < r.path; });  // "Sub/" before "a.txt"
    EXPECT_EQ(collector.entries, (std::vector<Entry>{{b, "Docs/Sub/", 2}, {a, "Docs/", 10}}));
    EXPECT_EQ(Text(record), Folder("Docs"));

    Collector picked;
    EXPECT_EQ(Walk(a, picked, record), 0);
    EXPECT_EQ(picked.entries, (std::vector<Entry>{{a, "<null>", 10}}));
    EXPECT_EQ(Walk(Folder("Docs/.git"), picked, record), 0);
    EXPECT_EQ(picked.entries.size(), 1u);

    Collector empty;
    EXPECT_EQ(Walk(Folder("Docs/Empty"), empty, record), errFSNoMoreItems);
    EXPECT_TRUE(empty.entries.empty());
    EXPECT_EQ(Text(record), Folder("Docs/Empty"));
}

TEST_F(WalkTest, BadArgumentsAndMissingItems)
{
    Collector collector;
    xwstring record("earlier");
    EXPECT_EQ(EnumerateFiles(nullptr, nullptr, Collect, &collector, &record), kFSParamErr);
    EXPECT_EQ(EnumerateFiles("", nullptr, Collect, &collector, &record), kFSParamErr);
    EXPECT_EQ(EnumerateFiles(root.c_str(), nullptr, nullptr, &collector, &record), kFSParamErr);
    EXPECT_EQ(Text(record), "earlier");

    const std::string missing = (root / "missing").string(), underFile = Make("f.txt") + "/x";
    EXPECT_EQ(Walk(missing, collector, record), fnfErr);
    EXPECT_EQ(Text(record), missing);
    EXPECT_EQ(Walk(underFile, collector, record), fnfErr);
    EXPECT_EQ(Text(record), underFile);

    Folder("Bare/Inner");
    const fs::path before = fs::current_path();
    fs::current_path(root / "Bare");
    EXPECT_EQ(Walk("Inner", collector, record), dirNFErr);
    fs::current_path(before);
    EXPECT_EQ(Text(record), "Inner");
    EXPECT_TRUE(collector.entries.empty());
}

TEST_F(WalkTest, RefusalStopsEveryFolderAndKeepsTheRecord)
{
    Make("Docs/one.txt");
    Make("Docs/two.txt");
    Collector collector;
    collector.refuseAt = 2;
    xwstring record("earlier");
    EXPECT_EQ(Walk(Folder("Docs"), collector, record), kEnumerationRefused);
    EXPECT_EQ(collector.entries.size(), 2u);
    EXPECT_EQ(Text(record), "earlier");

    for (int i = 0; i < 5; ++i)
        Make("Deep/" + std::to_string(i) + "/In/f.txt");
    Collector first;
    first.refuseAt = 1;
    EXPECT_EQ(Walk(Folder("Deep"), first, record), kEnumerationRefused);
    EXPECT_EQ(first.entries.size(), 1u);
}

TEST_F(WalkTest, LinksAreFollowedAndCyclesSkipped)
{
    const std::string target = Make("data.bin", "12345"), link = Folder("Docs/Sub") + "/link.bin";
    fs::create_symlink(target, link);
    fs::create_directory_symlink(root / "Docs", root / "Docs/Sub/up");
    Collector collector;
    xwstring record;
    EXPECT_EQ(Walk(Folder("Docs"), collector, record), errFSNoMoreItems);
    EXPECT_EQ(collector.entries, (std::vector<Entry>{{link, "Docs/Sub/", 5}}));
    EXPECT_EQ(collector.cycles, std::vector<std::string>{link.substr(0, link.size() - 8) + "up"});

    // A picked link to a folder is walked under the link's own name, and without a hook too.
    fs::create_directory_symlink(root / "Docs", root / "Alias");
    Collector viaLink;
    EXPECT_EQ(EnumerateFiles((root / "Alias").c_str(), nullptr, Collect, &viaLink, &record), errFSNoMoreItems);
    EXPECT_EQ(viaLink.entries, (std::vector<Entry>{{(root / "Alias/Sub/link.bin").string(), "Alias/Sub/", 5}}));

    const std::string dangling = (root / "Docs/dangling").string();
    fs::create_symlink(root / "nowhere", dangling);
    EXPECT_EQ(Walk(Folder("Docs"), collector, record), fnfErr);
    EXPECT_EQ(Text(record), dangling);
}

// The body's result, run as "nobody" when we are root; "skip" when that drop fails.
std::string RunUnprivileged(const std::function<std::string()>& body)
{
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        return geteuid() != 0 ? body() : "skip";
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    int channel[2];
    if (pipe(channel) != 0)
        return "skip";
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        const bool dropped = setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
        const std::string result = dropped ? body() : "skip";
        const ssize_t written = write(channel[1], result.data(), result.size());
        _exit(written == static_cast<ssize_t>(result.size()) ? 0 : 1);
    }
    close(channel[1]);
    std::string result;
    char buffer[512];
    for (ssize_t count; (count = read(channel[0], buffer, sizeof buffer)) > 0;)
        result.append(buffer, static_cast<size_t>(count));
    close(channel[0]);
    waitpid(child, nullptr, 0);
    return result;
}

TEST_F(WalkTest, UnreadableFolderIsAccessDenied)
{
    Make("Docs/a.txt");
    Make("Docs/Locked/b.txt");
    const std::string docs = Folder("Docs"), locked = Folder("Docs/Locked");
    const fs::perms traverseOnly = fs::perms::owner_write | fs::perms::owner_exec | fs::perms::group_exec |
                                   fs::perms::others_exec;
    fs::permissions(locked, traverseOnly);
    const std::string result = RunUnprivileged([&] {
        Collector collector;
        xwstring record;
        const OSStatus status = Walk(docs, collector, record);
        return std::to_string(status) + " " + Text(record);
    });
    fs::permissions(locked, fs::perms::owner_all);
    if (result == "skip")
        GTEST_SKIP() << "cannot drop to nobody";
    EXPECT_EQ(result, std::to_string(afpAccessDenied) + " " + locked);
}
}  // namespace
