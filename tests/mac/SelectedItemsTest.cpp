#include "MacTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
class PickedTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qv-picked-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        chmod(root.c_str(), 0755);
    }
    void TearDown() override
    {
        const std::string command = "chmod -R u+rwx '" + root + "' && rm -rf '" + root + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    void File(const std::string& relative, size_t bytes)
    {
        std::ofstream(root + "/" + relative) << std::string(bytes, 'x');
    }
    void Folder(const std::string& relative) { ASSERT_EQ(mkdir((root + "/" + relative).c_str(), 0755), 0); }
    // The upload list as "path|relative|size" lines, paths relative to the tree.
    std::vector<std::string> Entries(MacTestClient& client)
    {
        std::vector<std::string> entries;
        for (const auto& [key, size] : client.UploadList())
            entries.push_back(std::string(static_cast<const char*>(key.first)).substr(root.size() + 1) + "|" +
                              static_cast<const char*>(key.second) + "|" + std::to_string(static_cast<int>(size)));
        return entries;
    }
    std::string root;
};
}  // namespace

TEST_F(PickedTree, FoldersBecomeEntriesWithRelativePaths)
{
    Folder("Docs");
    Folder("Docs/Sub");
    Folder("Docs/.hidden");
    Folder("Empty");
    File("Docs/a.txt", 10);
    File("Docs/Sub/b.txt", 15);
    File("Docs/.dot", 1);
    File("Docs/.hidden/c.txt", 1);
    ASSERT_EQ(symlink((root + "/Docs").c_str(), (root + "/Docs/Sub/loop").c_str()), 0);

    MacTestClient client;
    client.CreateLogger();
    EXPECT_TRUE(client.AddArrayOfFiles({root + "/Docs", root + "/Docs/a.txt", root + "/Empty", root + "/Docs/.dot"}));
    EXPECT_EQ(Entries(client), (std::vector<std::string>{"Docs/a.txt||10", "Docs/a.txt|Docs/|10", "Docs/Sub/b.txt|Docs/Sub/|15"}));
    ASSERT_EQ(client.notifications.size(), 1u);
    EXPECT_EQ(JsonMember(client.notifications[0], "code"), "FilesAddedToUploadList");
    bool cycleLogged = false;
    for (const auto& log : client.logs)
        cycleLogged |= JsonMember(log, "code") == "WARNING" && JsonMember(log, "text").find("/Docs/Sub/loop") != std::string::npos;
    EXPECT_TRUE(cycleLogged);

    EXPECT_FALSE(client.AddArrayOfFiles({}));
}

TEST_F(PickedTree, FailuresAreReportedOncePerPickedItem)
{
    Folder("Case");
    File("Case/name.txt", 1);
    File("Case/NAME.txt", 2);
    File("single.txt", 3);
    MacTestClient client;
    EXPECT_TRUE(client.AddArrayOfFiles({root + "/missing", root + "/single.txt", root + "/Case"}));
    std::vector<std::string> errors;
    for (const auto& notification : client.notifications) {
        if (JsonMember(notification, "code") == "Error")
            errors.push_back(JsonMember(notification, "text"));
    }
    ASSERT_EQ(errors.size(), 2u);
    // Picked items are walked in case-insensitive order: Case, missing, single.txt.
    EXPECT_NE(errors[0].find("an operating system error has occurred (-666)"), std::string::npos) << errors[0];
    EXPECT_EQ(errors[1], "Could not add '" + root + "/missing' for upload - an operating system error has occurred (-43)");
    EXPECT_EQ(client.UploadList().size(), 2u);  // the single file and the first of the two names
}

TEST_F(PickedTree, UnreadableFolderIsReportedAndTheRestAdded)
{
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root to act as another user";
    Folder("Open");
    Folder("Locked");
    File("Open/a.txt", 4);
    File("Locked/secret.txt", 4);
    chmod((root + "/Locked").c_str(), 0700);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
                _exit(3);
            MacTestClient client;
            client.AddArrayOfFiles({root + "/Locked", root + "/Open"});
            const bool reported = JsonMember(client.notifications.at(0), "text") ==
                                  "Could not add '" + root + "/Locked' for upload - an operating system error has occurred (-5000)";
            _exit(reported && client.UploadList().size() == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
