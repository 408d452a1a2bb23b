#include "EnumerateFiles.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace fs = std::filesystem;

namespace {
typedef std::tuple<std::string, std::string, uint64_t> Entry;  // path, relative base ("-" for null), size

struct Collector {
    std::vector<Entry> entries;
    size_t refuseAt = 0;  // the 1-based call that is refused
    std::vector<std::string> cycles;
};

bool Collect(const char* path, const char* relativeBase, FSCatalogInfo* info, void* context)
{
    auto* collector = static_cast<Collector*>(context);
    collector->entries.emplace_back(path, relativeBase ? relativeBase : "-", info->dataLogicalSize);
    return collector->entries.size() != collector->refuseAt;
}

void NoteCycle(const char* path, void* context) { static_cast<Collector*>(context)->cycles.push_back(path); }

class WalkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/walktest.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::permissions(root, fs::perms::others_exec, fs::perm_options::add);  // "nobody" may pass through
    }
    void TearDown() override { fs::remove_all(root); }

    // Makes the file, or the folder when content is null, and returns its path.
    std::string Make(const std::string& relative, const char* content = "")
    {
        fs::create_directories(content ? (root / relative).parent_path() : root / relative);
        if (content)
            std::ofstream(root / relative) << content;
        return (root / relative).string();
    }
    // A fresh collection; the record carries over, as it does between picked items.
    OSStatus Walk(const std::string& path, size_t refuseAt = 0)
    {
        found = Collector{{}, refuseAt, {}};
        return EnumerateFiles(path.c_str(), nullptr, Collect, &found, &record, NoteCycle, &found);
    }
    std::string Recorded() const { return static_cast<const char*>(record); }

    fs::path root;
    Collector found;
    xwstring record{"earlier"};
};

TEST_F(WalkTest, FolderFilesCarryRelativeBasesAndHiddenItemsAreSkipped)
{
    const std::string a = Make("Docs/a.txt", "0123456789"), b = Make("Docs/Sub/b.txt", "xy");
    Make("Docs/.hidden");
    Make("Docs/.git/c.txt");
    EXPECT_EQ(Walk(Make("Docs", nullptr) + "/"), errFSNoMoreItems);
    std::sort(found.entries.begin(), found.entries.end());
    EXPECT_EQ(found.entries, (std::vector<Entry>{{b, "Docs/Sub/", 2}, {a, "Docs/", 10}}));
    EXPECT_EQ(Recorded(), Make("Docs", nullptr));

    EXPECT_EQ(Walk(a), 0);
    EXPECT_EQ(found.entries, (std::vector<Entry>{{a, "-", 10}}));
    EXPECT_EQ(Walk(Make("Docs/.git", nullptr)), 0);
    EXPECT_EQ(Walk(Make("Docs/Empty", nullptr)), errFSNoMoreItems);
    EXPECT_TRUE(found.entries.empty());
    EXPECT_EQ(Recorded(), Make("Docs/Empty", nullptr));
}

TEST_F(WalkTest, BadInputAndRefusalLeaveTheRecordMissingItemsSetIt)
{
    EXPECT_EQ(EnumerateFiles(nullptr, nullptr, Collect, &found, &record), kFSParamErr);
    EXPECT_EQ(EnumerateFiles("", nullptr, Collect, &found, &record), kFSParamErr);
    EXPECT_EQ(EnumerateFiles("/", nullptr, nullptr, &found, &record), kFSParamErr);
    Make("Docs/one.txt");
    Make("Docs/two.txt");
    EXPECT_EQ(Walk(root / "Docs", 2), kEnumerationRefused);
    EXPECT_EQ(found.entries.size(), 2u);
    // A refusal deep down stops every folder above it.
    Make("Deep/A/In/f.txt");
    Make("Deep/B/In/f.txt");
    EXPECT_EQ(Walk(root / "Deep", 1), kEnumerationRefused);
    EXPECT_EQ(found.entries.size(), 1u);
    EXPECT_EQ(Recorded(), "earlier");

    for (const std::string& missing : {(root / "missing").string(), Make("f.txt") + "/x"}) {
        EXPECT_EQ(Walk(missing), fnfErr);
        EXPECT_EQ(Recorded(), missing);
    }
    const fs::path before = fs::current_path();
    fs::current_path(root);
    EXPECT_EQ(Walk("Docs"), dirNFErr);
    fs::current_path(before);
    EXPECT_EQ(Recorded(), "Docs");
}

TEST_F(WalkTest, LinksAreFollowedAndCyclesSkipped)
{
    const std::string link = Make("Docs/Sub", nullptr) + "/link.bin", up = root / "Docs/Sub/up";
    fs::create_symlink(Make("data.bin", "12345"), link);
    fs::create_directory_symlink(root / "Docs", up);
    EXPECT_EQ(Walk(root / "Docs"), errFSNoMoreItems);
    EXPECT_EQ(found.entries, (std::vector<Entry>{{link, "Docs/Sub/", 5}}));
    EXPECT_EQ(found.cycles, std::vector<std::string>{up});

    fs::create_symlink(root / "nowhere", root / "Docs/dangling");
    EXPECT_EQ(Walk(root / "Docs"), fnfErr);
    EXPECT_EQ(Recorded(), root / "Docs/dangling");
}

TEST_F(WalkTest, UnreadableFolderIsAccessDenied)
{
    Make("Docs/a.txt");
    Make("Docs/Locked/b.txt");
    const std::string locked = Make("Docs/Locked", nullptr);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::remove);
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() == 0 && !nobody)
        GTEST_SKIP() << "no user to drop to";
    // Root reads every folder, so the walk runs in a child that has dropped to nobody.
    EXPECT_EXIT(
        {
            if (geteuid() == 0 &&
                (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)) {
                fprintf(stderr, "cannot drop to nobody\n");
                _exit(1);
            }
            const OSStatus status = Walk(root / "Docs");
            fprintf(stderr, "%d %s\n", status, Recorded().c_str());
            _exit(0);
        },
        ::testing::ExitedWithCode(0), std::to_string(afpAccessDenied) + " " + locked);
    fs::permissions(locked, fs::perms::owner_read, fs::perm_options::add);
}
}  // namespace
