// The texts a page receives for picks of a generated tree of a few thousand files, compared with
// those that an earlier, plainer implementation sent (PickNotifications.golden): speeding up the
// pick must not change a byte of them. QV_UPDATE_GOLDEN=1 rewrites the file from this run. The tree holds the names that stress ordering and escaping: letter case,
// composed and decomposed accents, other scripts, quotes, backslashes, control characters and
// bytes that are no UTF-8.
#include "MacTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {
const char* const kNames[] = {
    "Alpha.txt", "alpha2.TXT", "BETA", "beta.b", "caf\xC3\xA9", "cafe\xCC\x81.txt", "\xE6\x97\xA5\xE6\x9C\xAC",
    "\xF0\x9F\x98\x80 smile", "quote\"d", "back\\slash", "tab\there", "line\nbreak", "bad\xFFutf8", "Z", "_under",
    "-dash", "~tilde", "[x]", "a b c", "\177del",
};
const size_t kNameCount = sizeof kNames / sizeof kNames[0];

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

class PickNotifications : public ::testing::Test {
protected:
    // Top/f00 to Top/f33 (2041 files: three notifications), each with the names above under three
    // prefixes of either letter case and a number, sparse sizes that follow the file's number; one
    // huge file; hidden items.
    void SetUp() override
    {
        Folder("Top");
        Folder("top2");
        Folder("Top/.hidden");
        MakeFile("Top/.hidden/inside", 1);
        MakeFile("Top/.dot", 1);
        int number = 0;
        for (int folder = 0; folder < 34; ++folder) {
            char name[32];
            snprintf(name, sizeof name, "Top/%s%02d", folder % 3 == 0 ? "f" : "F", folder);
            Folder(name);
            for (size_t i = 0; i < kNameCount; ++i) {
                for (const char* variant : {"", "UP-", "lo-"}) {
                    const std::string file = std::string(name) + "/" + variant + kNames[i] + std::to_string(folder % 4);
                    MakeFile(file, static_cast<off_t>(number) * 7919 % 100000);
                    ++number;
                }
            }
        }
        MakeFile("Top/F01/huge", off_t(1) << 40);
        for (size_t i = 0; i < kNameCount; ++i)
            MakeFile(std::string("top2/") + kNames[i], static_cast<off_t>(i));
    }
    void Folder(const std::string& relative) { ASSERT_EQ(mkdir((root + "/" + relative).c_str(), 0755), 0); }
    void MakeFile(const std::string& relative, off_t size)
    {
        const int descriptor = open((root + "/" + relative).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(descriptor, 0) << relative;
        ASSERT_EQ(ftruncate(descriptor, size), 0);
        close(descriptor);
    }

    // Every text the page received, with the tree's location taken out, one per line and each
    // entry on a line of its own (the texts hold no line breaks, so none is lost).
    std::string Received(const MacTestClient& client) const
    {
        std::string texts;
        for (const std::string& notification : client.notifications)
            texts += ReplaceAll(ReplaceAll(ReplaceAll(notification, ReplaceAll(root, "/", "\\/"), "ROOT"), root, "ROOT"),
                                "},", "},\n") + "\n";
        return texts;
    }
    std::string Listed(MacTestClient& client) const
    {
        std::string lines;
        for (const auto& [key, size] : client.UploadList())
            lines += std::string(static_cast<const char*>(key.first)).substr(root.size()) + "|" +
                     static_cast<const char*>(key.second) + "|" + std::to_string(size) + "\n";
        return lines;
    }
    std::string Path(const char* relative) const { return root + "/" + relative; }

    TempDir dir{"qv-golden"};
    const std::string root = dir.Path();
};
}  // namespace

TEST_F(PickNotifications, SameTextsAsBefore)
{
    MacTestClient client;
    client.CreateLogger();
    std::string texts;
    const auto check = [&](const char* step) {
        texts += std::string("== ") + step + ": " + std::to_string(client.notifications.size()) +
                 " notifications\n" + Received(client) + "-- upload list\n" + Listed(client);
        client.notifications.clear();
    };

    // Into the empty list: the folder, a file inside it again (another relative path), a missing
    // item, and a second folder whose names sort among the first one's.
    EXPECT_TRUE(client.AddArrayOfFiles({Path("Top"), Path("Top/F01/BETA1"), Path("missing"), Path("top2")}));
    check("first pick");

    // A list that holds most of what is picked: the new entries lie between old ones.
    client.Execute(R"({"type":"Request","code":"DeleteFilesFromUploadList","files_ul":[)"
                   R"({"file_path":")" + Path("Top/f00/Alpha.txt0") + R"(","relative_path":"Top/f00/"},)"
                   R"({"file_path":")" + Path("Top/F02/UP-z2") + R"(","relative_path":"Top/F02/"}]})");
    EXPECT_TRUE(client.AddArrayOfFiles({Path("Top/f00"), Path("Top"), Path("top2/Z")}));
    check("again with overlaps");

    // A limit that leaves room for part of a pick of single files.
    client.Execute(R"({"type":"Request","code":"Reset"})");
    client.Execute(R"({"type":"Request","code":"SetParameter","name":"FileTransferLimit","value":5})");
    client.notifications.clear();
    EXPECT_TRUE(client.AddArrayOfFiles({Path("top2/Z"), Path("top2/BETA"), Path("top2/beta.b"), Path("top2/_under"),
                                        Path("top2/a b c"), Path("top2/Alpha.txt"), Path("top2/alpha2.TXT")}));
    check("over the limit");

    if (getenv("QV_UPDATE_GOLDEN"))
        std::ofstream(GOLDEN_DIR "/PickNotifications.golden", std::ios::binary) << texts;
    std::ifstream file(GOLDEN_DIR "/PickNotifications.golden", std::ios::binary);
    ASSERT_TRUE(file) << "no PickNotifications.golden";
    std::istringstream received(texts);
    std::string expected, line, step;
    for (size_t number = 1; std::getline(file, expected); ++number) {
        ASSERT_TRUE(std::getline(received, line)) << "ends before line " << number << " of the golden file";
        step = expected.rfind("== ", 0) == 0 ? expected : step;
        ASSERT_EQ(line, expected) << "first difference at line " << number << " of the golden file, in " << step;
    }
    EXPECT_FALSE(std::getline(received, line)) << "more lines than the golden file: " << line;
}
