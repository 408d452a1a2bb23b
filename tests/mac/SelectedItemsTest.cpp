#include "MacTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <set>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
class PickedTree : public ::testing::Test {
protected:
    // Makes the items under root, in order: "a/" a folder, "a>b" a link to root/b, "a" a file of one byte.
    void Make(const std::vector<std::string>& items)
    {
        for (const std::string& item : items) {
            const size_t arrow = item.find('>');
            if (arrow != std::string::npos)
                ASSERT_EQ(symlink((dir / item.substr(arrow + 1)).c_str(), (dir / item.substr(0, arrow)).c_str()), 0);
            else if (item.back() == '/')
                ASSERT_EQ(mkdir((dir / item).c_str(), 0755), 0);
            else
                std::ofstream(dir / item) << 'x';
        }
    }
    static size_t WarningsAbout(const MacTestClient& client, const std::string& text)
    {
        size_t count = 0;
        for (const auto& log : client.logs)
            count += JsonMember(log, "code") == "WARNING" && JsonMember(log, "text").find(text) != std::string::npos;
        return count;
    }
    std::string OSError(const std::string& item, int status) const
    {
        return "Could not add '" + root + "/" + item + "' for upload - an operating system error has occurred (" +
               std::to_string(status) + ")";
    }
    TempDir dir{"qv-picked"};
    const std::string root = dir.Path();
};
}  // namespace

// Eight folders, each with a file and six links to the next, the last linking to the first:
// every file is listed once, however many paths lead to its folder. A pick of nothing fails.
TEST_F(PickedTree, FoldersReachedAgainThroughLinksAreWalkedOnce)
{
    for (int i = 0; i < 8; ++i)
        Make({"F" + std::to_string(i) + "/", "F" + std::to_string(i) + "/file" + std::to_string(i)});
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 6; ++j)
            Make({"F" + std::to_string(i) + "/link" + std::to_string(j) + ">F" + std::to_string((i + 1) % 8)});
    MacTestClient client;
    client.CreateLogger();
    EXPECT_TRUE(client.AddArrayOfFiles({root + "/F0", root + "/F3"}));
    std::set<std::string> names;
    for (const auto& [key, size] : client.UploadList()) {
        const std::string path = static_cast<const char*>(key.first);
        names.insert(path.substr(path.rfind('/') + 1));
    }
    EXPECT_EQ(client.UploadList().size(), 8u);
    EXPECT_EQ(names.size(), 8u);
    // Five of the six links into each of F1 to F7, all six back into F0, and the picked F3.
    EXPECT_EQ(WarningsAbout(client, "Skipped a folder that was already walked: "), 7u * 5 + 6 + 1);
    EXPECT_EQ(WarningsAbout(client, "already walked: " + root + "/F3"), 1u);
    EXPECT_TRUE(client.Errors().empty());
    EXPECT_FALSE(client.AddArrayOfFiles({}));
}

// A failure inside a picked folder names the item that failed, not the folder; each picked item
// is reported at most once, and the others are still added.
TEST_F(PickedTree, FailuresNameTheItemThatFailed)
{
    Make({"Case/", "Case/name.txt", "Case/NAME.txt", "Dangling/", "Dangling/a.txt", "Dangling/link>nowhere", "Hidden/",
          "Hidden/.link>nowhere", "single.txt"});

    const struct {
        std::vector<std::string> picked;
        std::vector<std::string> errors;
        size_t added;
    } cases[] = {
        {{dir / "Dangling"}, {OSError("Dangling/link", -43)}, 0},  // a.txt, if met first, is added
        {{dir / "Hidden", dir / "single.txt"}, {OSError("Hidden/.link", -43)}, 1},
        {{dir / "Case"}, {OSError("Case", -666)}, 1},  // the first of the two names; the record holds the folder
    };
    for (const auto& c : cases) {
        MacTestClient client;
        EXPECT_TRUE(client.AddArrayOfFiles(c.picked) || c.added == 0) << c.picked[0];
        EXPECT_EQ(client.Errors(), c.errors) << c.picked[0];
        if (c.picked[0] != dir / "Dangling") {
            EXPECT_EQ(client.UploadList().size(), c.added) << c.picked[0];
        }
    }
}

TEST_F(PickedTree, UnreadableFolderInsideAPickIsNamedAndTheRestAdded)
{
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root to act as another user";
    Make({"Open/", "Open/Locked/", "Open/Locked/secret.txt", "Other/", "Other/a.txt"});
    chmod(root.c_str(), 0755);
    chmod((root + "/Open/Locked").c_str(), 0700);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
                _exit(3);
            MacTestClient client;
            client.AddArrayOfFiles({root + "/Open", root + "/Other"});
            const std::vector<std::string> errors = client.Errors();
            _exit(errors == std::vector<std::string>{OSError("Open/Locked", -5000)} && client.UploadList().size() == 1
                      ? 0
                      : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

namespace {
// Refuses names beginning with "x" as too long, and counts how often it was asked.
class NameCheckingClient : public MacTestClient {
public:
    bool CheckFilenameLength(const xwstring& path) override
    {
        ++checks;
        const std::string text = static_cast<const char*>(path);
        return text[text.rfind('/') + 1] != 'x';
    }
    size_t checks = 0;
};
}  // namespace

// The walk stops as soon as it has found more files than the limit leaves room for: the limit's
// error comes at once, and nothing after it (a missing item picked later) is reported.
TEST_F(PickedTree, WalkStopsOnceTheLimitIsExceeded)
{
    const int kLarge = 2000;
    Make({"Large/", "Long/"});
    for (int i = 0; i < kLarge; ++i)
        Make({"Large/" + std::to_string(i)});
    for (int i = 0; i < 5; ++i)
        Make({"Long/x" + std::to_string(i)});
    const std::string large = dir / "Large", missing = dir / "missing";
    const auto tooMany = [](int limit) {
        return "Not allowed to queue more than " + std::to_string(limit) + " files for sending";
    };

    const struct {
        std::vector<std::string> picked;
        int limit;
        int onList;  // files of Large already on the list
        int other;   // other entries on the list
        size_t added;
        std::vector<std::string> errors;
    } cases[] = {
        {{large, missing}, 4, 2, 0, 2, {tooMany(4)}},  // files on the list take no room
        {{large, missing}, 3, 0, 3, 0, {tooMany(3)}},
        {{large, missing}, kLarge, 0, 0, kLarge, {OSError("missing", -43)}},
        {{large, missing}, kLarge, 0, 1, kLarge - 1, {tooMany(kLarge)}},
        // Names the list refuses take no room either: the walk goes on past them into Large,
        // whose files come first in the list and reach the limit before those names are looked at.
        {{dir / "Long", large}, 2, 0, 0, 2, {tooMany(2)}},
    };
    for (const auto& c : cases) {
        NameCheckingClient client;
        client.Execute(R"({"type":"Request","code":"SetParameter","name":"FileTransferLimit","value":)" +
                       std::to_string(c.limit) + "}");
        for (int i = 0; i < c.onList; ++i)
            client.UploadList().emplace(xwstring_pair(xwstring((root + "/Large/" + std::to_string(i)).c_str()),
                                                      xwstring("Large/")),
                                        1.0);
        for (int i = 0; i < c.other; ++i)
            client.UploadList().emplace(xwstring_pair(xwstring(("/other/" + std::to_string(i)).c_str()), xwstring("")),
                                        1.0);
        client.AddArrayOfFiles(c.picked);
        EXPECT_EQ(client.Errors(), c.errors) << c.picked[0] << " " << c.limit << " " << c.onList << " " << c.other;
        EXPECT_EQ(client.UploadList().size(), c.added + c.onList + c.other) << c.limit;
        // Names are checked only once the files found outnumber the room, each of them once.
        if (c.limit < 10) {
            EXPECT_LT(client.checks, 20u);
        }
    }
}

// The page hears of the first picked item's failure before the next item is walked, and may call
// back into the instance from there: the rest of the pick must use what the page left.
TEST_F(PickedTree, PageMayCallBackBetweenPickedItems)
{
    Make({"B/", "B/b1", "B/b2", "B/b3", "B/again>B"});  // the files come after "again" in the walk's order
    const std::string limitOf1 = R"({"type":"Request","code":"SetParameter","name":"FileTransferLimit","value":1})";
    const std::string missing = OSError("A-missing", -43);
    const struct {
        const char* name;
        std::function<void(MacTestClient*&)> page;
        size_t preloaded;  // entries on the list, at the limit, before the pick
        size_t listed;     // entries on the list after the pick
        std::vector<std::string> errors;
    } cases[] = {
        {"initializes again", [](MacTestClient*& client) { client->CreateLogger(); }, 0, 3, {missing}},
        {"lowers the limit", [&](MacTestClient*& client) { client->Execute(limitOf1); }, 0, 1,
         {missing, "Not allowed to queue more than 1 files for sending"}},
        {"resets a full list", [](MacTestClient*& client) { client->Execute(R"({"type":"Request","code":"Reset"})"); },
         2, 3, {missing}},
        {"destroys the instance", [](MacTestClient*& client) { delete client, client = nullptr; }, 0, 0, {}},
    };
    for (const auto& c : cases) {
        auto* client = new MacTestClient;
        client->CreateLogger();
        if (c.preloaded) {
            client->Execute(R"({"type":"Request","code":"SetParameter","name":"FileTransferLimit","value":2})");
            for (size_t i = 0; i < c.preloaded; ++i)
                client->UploadList().emplace(xwstring_pair(xwstring(("/other/" + std::to_string(i)).c_str()), xwstring("")), 1.0);
        }
        bool called = false;
        client->onNotification = [&](const std::string&) {
            if (!called)
                c.page(client);
            called = true;
        };
        const bool added = client->AddArrayOfFiles({root + "/A-missing", root + "/B"});
        ASSERT_TRUE(called) << c.name;
        if (!client) {
            EXPECT_FALSE(added);
            continue;
        }
        EXPECT_EQ(client->Errors(), c.errors) << c.name;
        EXPECT_EQ(client->UploadList().size(), c.listed) << c.name;
        EXPECT_EQ(WarningsAbout(*client, "already walked: " + root + "/B/again"), 1u) << c.name;
        delete client;
    }
}
