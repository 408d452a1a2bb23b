#include "EnumerateFiles.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <tuple>

namespace fs = std::filesystem;

namespace {
typedef std::tuple<std::string, std::string, uint64_t> Entry;  // path, relative base ("-" for null), size

class WalkTest : public ::testing::Test {
protected:
    // Makes the file, or the folder when content is null, and returns its path.
    std::string Make(const std::string& relative, const char* content = "")
    {
        fs::create_directories(content ? (root / relative).parent_path() : root / relative);
        if (content)
            std::ofstream(root / relative) << content;
        return (root / relative).string();
    }
    static bool Collect(const char* path, const char* relativeBase, FSCatalogInfo* info, void* context)
    {
        auto& self = *static_cast<WalkTest*>(context);
        self.entries.emplace_back(path, relativeBase ? relativeBase : "-", info->dataLogicalSize);
        return self.entries.size() != self.refuseAt;
    }
    // A fresh collection refusing the refuseAt-th file, as one walk of the pick walked; the
    // record carries over, as it does between picked items.
    OSStatus Walk(const std::string& path, size_t refuseAt = 0)
    {
        entries.clear();
        this->refuseAt = refuseAt;
        return EnumerateFiles(path.c_str(), nullptr, Collect, this, &record, walked);
    }
    std::string Recorded() const { return static_cast<const char*>(record); }

    TempDir dir{"walktest"};
    const fs::path root = dir.Path();
    WalkedFolders walked;
    std::vector<Entry> entries;
    size_t refuseAt = 0;
    xwstring record{"earlier"};
};

TEST_F(WalkTest, RelativeBasesComeFromThePickedPathHiddenItemsAreSkippedLinksFollowed)
{
    const std::string a = Make("Docs/a.txt", "0123456789"), b = Make("Docs/Sub/b.txt", "xy");
    const std::string docs = Make("Docs", nullptr), empty = Make("Docs/Empty", nullptr);
    const std::string link = docs + "/Sub/link.bin";
    Make("Docs/.git/c.txt");
    fs::create_symlink(Make("data.bin", "12345"), link);
    fs::create_directory_symlink(docs, docs + "/Sub/up");
    // The relative base is the text after the picked path's last "/", then "/". Names are walked in
    // the upload list's order, which ignores case.
    // The folder reached again through Sub/up is skipped; the pick tests check that it is reported.
    const std::tuple<std::string, std::string, std::string> cases[] = {  // picked, base, recorded
        {docs, "Docs/", docs}, {docs + "/", "/", docs + "/"}, {docs + "//", "/", docs + "/"}};
    for (const auto& [picked, base, recorded] : cases) {
        walked = WalkedFolders();
        EXPECT_EQ(Walk(picked), errFSNoMoreItems) << picked;
        EXPECT_EQ(entries, (std::vector<Entry>{{a, base, 10}, {b, base + "Sub/", 2}, {link, base + "Sub/", 5}})) << picked;
        EXPECT_EQ(Recorded(), recorded);
    }

    walked = WalkedFolders();
    EXPECT_EQ(Walk(a), 0);
    EXPECT_EQ(entries, (std::vector<Entry>{{a, "-", 10}}));
    EXPECT_EQ(Walk(docs + "/.git"), 0);
    EXPECT_EQ(Walk(empty), errFSNoMoreItems);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(Recorded(), empty);
}

TEST_F(WalkTest, FailuresRecordTheItemThatFailed)
{
    EXPECT_EQ(EnumerateFiles(nullptr, nullptr, Collect, this, &record), kFSParamErr);
    EXPECT_EQ(EnumerateFiles("", nullptr, Collect, this, &record), kFSParamErr);
    EXPECT_EQ(EnumerateFiles("/", nullptr, nullptr, this, &record), kFSParamErr);
    // A refusal deep down stops every folder above it and leaves the record alone.
    Make("Deep/A/In/f.txt");
    Make("Deep/B/In/f.txt");
    EXPECT_EQ(Walk(root / "Deep", 1), kEnumerationRefused);
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_EQ(Recorded(), "earlier");

    // Dangling links and unreadable folders are named through a pick in the Mac layer's tests.
    const std::string file = Make("f.txt");
    for (const std::string& missing : {(root / "missing").string(), file + "/x"}) {
        EXPECT_EQ(Walk(missing), fnfErr);
        EXPECT_EQ(Recorded(), missing);
    }
    const fs::path before = fs::current_path();
    fs::current_path(root);
    EXPECT_EQ(Walk("Deep"), dirNFErr);
    fs::current_path(before);
    EXPECT_EQ(Recorded(), "Deep");
}
}  // namespace
