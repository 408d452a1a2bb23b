#include "MacTestSupport.h"

#include "Platform/Dialogs/scripted/ScriptedDialogs.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace {
// Runs an action inside the next dialog's modal run, as a nested main loop would run page script
// or the browser's teardown, before answering as scripted.
class ReenteringToolkit : public ScriptedDialogToolkit {
public:
    OpenPanelResult RunOpenPanel(const OpenPanelRequest& request) override
    {
        RunAction();
        return ScriptedDialogToolkit::RunOpenPanel(request);
    }
    AlertResult RunAlert(const AlertRequest& request) override
    {
        RunAction();
        return ScriptedDialogToolkit::RunAlert(request);
    }
    std::function<void()> action;

private:
    void RunAction()
    {
        const std::function<void()> once = std::move(action);
        action = nullptr;
        if (once)
            once();
    }
};

// Makes a fresh scripted toolkit the current one; it runs no action until given one.
ReenteringToolkit& InstallScripted()
{
    auto toolkit = std::make_unique<ReenteringToolkit>();
    ReenteringToolkit& scripted = *toolkit;
    SetDialogToolkit(std::move(toolkit));
    return scripted;
}
}  // namespace

// Each panel shows its own texts and choices; a cancelled panel changes nothing, and a later
// choice adds to the list or replaces the folder.
TEST(Dialogs, PanelsShowTheirTextsAndOnlyAChoiceActs)
{
    const TempDir dir("qv-dialog");
    std::ofstream(dir / "one.txt") << "1";
    std::ofstream(dir / "two.txt") << "2";
    const struct {
        const char* code;
        const char* title;
        const char* message;
        bool files;  // files and many items, or one folder that may be new
        std::vector<std::string> choices;
        std::vector<std::string> states;  // after the first choice, the cancel and the second choice
        size_t notifications;
    } cases[] = {
        {"SelectFilesToUpload", "Choose files and folders\u2026", "Choose files and/or folders you wish to send", true,
         {dir / "one.txt", dir / "two.txt"}, {"1", "1", "2"}, 2},
        {"SelectDownloadLocation", "Choose a folder", "", false, {"/srv/first", "/srv/second"},
         {"/srv/first", "/srv/first", "/srv/second"}, 0},
    };
    for (const auto& c : cases) {
        ReenteringToolkit& toolkit = InstallScripted();
        toolkit.Enqueue(ScriptedAnswer::Choose({c.choices[0]}));
        toolkit.Enqueue(ScriptedAnswer());  // cancel
        toolkit.Enqueue(ScriptedAnswer::Choose({c.choices[1]}));
        MacTestClient client;
        const auto state = [&] {
            return c.files ? std::to_string(client.UploadList().size())
                           : std::string(static_cast<const char*>(client.DownloadLocation()));
        };
        const std::string request = std::string(R"({"type":"Request","code":")") + c.code + "\"}";
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(client.Execute(request), i != 1) << c.code << " " << i;
            EXPECT_EQ(state(), c.states[i]) << c.code << " " << i;
        }
        EXPECT_EQ(client.notifications.size(), c.notifications) << c.code;

        ASSERT_EQ(toolkit.shownPanels.size(), 3u);
        const OpenPanelRequest& panel = toolkit.shownPanels[0];
        EXPECT_EQ(panel.title, c.title);
        EXPECT_EQ(panel.message, c.message);
        EXPECT_EQ(panel.prompt, "Choose");
        EXPECT_TRUE(panel.canChooseDirectories);
        EXPECT_EQ(panel.canChooseFiles, c.files);
        EXPECT_EQ(panel.allowsMultipleSelection, c.files);
        EXPECT_EQ(panel.canCreateDirectories, !c.files);
        EXPECT_TRUE(panel.shieldingLevel);  // no main window
        EXPECT_EQ(panel.parent, nullptr);
    }
    SetDialogToolkit(nullptr);
}

TEST(Dialogs, QueuedFilesNeedConsent)
{
    ReenteringToolkit& toolkit = InstallScripted();
    toolkit.Enqueue(ScriptedAnswer::Press(1));  // Cancel
    toolkit.Enqueue(ScriptedAnswer::Press(0));  // Add Files
    MacTestClient client;
    const char* request = R"({"type":"Request","code":"QueueFilesForUpload","files_ul":[)"
                          R"({"file_path":"/nowhere/a"},{"file_path":"/nowhere/A"},{"file_path":"/nowhere/b"},{"file_path":"/nowhere/c"}]})";
    EXPECT_TRUE(client.Execute(request));
    EXPECT_TRUE(client.notifications.empty());
    EXPECT_TRUE(client.Execute(request));  // consent given: the missing files are reported
    EXPECT_EQ(client.notifications.size(), 3u);

    ASSERT_EQ(toolkit.shownAlerts.size(), 2u);
    EXPECT_EQ(toolkit.shownAlerts[0].messageText, "Add 3 item(s) for sending?\n");
    EXPECT_EQ(toolkit.shownAlerts[0].informativeText, "");
    EXPECT_EQ(toolkit.shownAlerts[0].style, kWarningAlertStyle);
    EXPECT_EQ(toolkit.shownAlerts[0].buttons, (std::vector<std::string>{"Add Files", "Cancel"}));
    SetDialogToolkit(nullptr);
}

TEST(Dialogs, InstanceMayBeUsedOrDestroyedWhileADialogRuns)
{
    const TempDir dir("qv-dialog");
    const std::string one = dir / "one.txt", two = dir / "two.txt";
    std::ofstream(one) << "1";
    std::ofstream(two) << "2";
    const std::string upload = R"({"type":"Request","code":"SelectFilesToUpload"})";
    const std::string queue =
        R"({"type":"Request","code":"QueueFilesForUpload","files_ul":[{"file_path":")" + one + R"("}]})";
    const auto destroy = [](MacTestClient*& client) { delete client, client = nullptr; };
    const struct {
        const char* name;
        std::string request;
        std::vector<ScriptedAnswer> answers;
        std::function<void(MacTestClient*&)> action;
        bool result;
        size_t listed;  // when the instance is left
    } cases[] = {
        {"destroyed in the upload panel", upload, {ScriptedAnswer::Choose({one})}, destroy, false, 0},
        {"destroyed in the folder panel", R"({"type":"Request","code":"SelectDownloadLocation"})",
         {ScriptedAnswer::Choose({dir.Path()})}, destroy, false, 0},
        {"destroyed in the confirmation", queue, {ScriptedAnswer::Press(0)}, destroy, true, 0},
        // The nested request's panel answers first.
        {"upload requested again in the upload panel", upload,
         {ScriptedAnswer::Choose({two}), ScriptedAnswer::Choose({one})},
         [&](MacTestClient*& client) { EXPECT_TRUE(client->Execute(upload)); }, true, 2},
        {"reset in the confirmation", queue, {ScriptedAnswer::Press(0)},
         [](MacTestClient*& client) { client->Execute(R"({"type":"Request","code":"Reset"})"); }, true, 1},
    };
    for (const auto& c : cases) {
        ReenteringToolkit& reentering = InstallScripted();
        for (const ScriptedAnswer& answer : c.answers)
            reentering.Enqueue(answer);
        auto* client = new MacTestClient;
        reentering.action = [&] { c.action(client); };
        EXPECT_EQ(client->Execute(c.request), c.result) << c.name;
        if (client) {
            EXPECT_EQ(client->UploadList().size(), c.listed) << c.name;
            delete client;
        }
    }
    SetDialogToolkit(nullptr);
}
