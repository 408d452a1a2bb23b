#include "Platform/Dialogs/Dialogs.h"

#include <gtest/gtest.h>

namespace {
OpenPanelRequest Panel(bool files, bool folders, bool multiple)
{
    OpenPanelRequest request;
    request.title = "Pick";
    request.canChooseFiles = files;
    request.canChooseDirectories = folders;
    request.allowsMultipleSelection = multiple;
    return request;
}

AlertRequest Alert(std::vector<std::string> buttons)
{
    AlertRequest request;
    request.messageText = "Sure?";
    request.buttons = std::move(buttons);
    return request;
}
}  // namespace

TEST(ScriptedDialogs, AnswersPanelsInTurnAndRecordsThem)
{
    ScriptedDialogToolkit toolkit;
    toolkit.Enqueue(ScriptedAnswer::Choose({"/home/u/a.txt", "/home/u/Docs"}));
    toolkit.Enqueue(ScriptedAnswer::Choose({"/srv/in", "/srv/other"}));
    toolkit.Enqueue(ScriptedAnswer::Press(0));  // does not fit a panel

    const OpenPanelResult mixed = toolkit.RunOpenPanel(Panel(true, true, true));
    EXPECT_TRUE(mixed.hitOK);
    EXPECT_EQ(mixed.filenames, (std::vector<std::string>{"/home/u/a.txt", "/home/u/Docs"}));
    EXPECT_EQ(mixed.directory, "/home/u");

    const OpenPanelResult folder = toolkit.RunOpenPanel(Panel(false, true, false));
    EXPECT_EQ(folder.filenames, std::vector<std::string>{"/srv/in"});  // a single item only
    EXPECT_EQ(folder.directory, "/srv/in");

    for (int i = 0; i < 2; ++i) {  // the unfitting answer, then the empty queue
        const OpenPanelResult cancelled = toolkit.RunOpenPanel(Panel(true, false, false));
        EXPECT_TRUE(!cancelled.hitOK && cancelled.hitCancel && cancelled.filenames.empty());
    }
    ASSERT_EQ(toolkit.shownPanels.size(), 4u);
    EXPECT_TRUE(toolkit.shownPanels[0].allowsMultipleSelection);
    EXPECT_FALSE(toolkit.shownPanels[1].canChooseFiles);
}

TEST(ScriptedDialogs, AlertCancelPressesTheCancelButton)
{
    ScriptedDialogToolkit toolkit;
    toolkit.Enqueue(ScriptedAnswer::Press(1));
    toolkit.Enqueue(ScriptedAnswer::Press(2));  // no such button
    toolkit.Enqueue(ScriptedAnswer::Choose({"/x"}));
    EXPECT_EQ(toolkit.RunAlert(Alert({"Add Files", "Cancel", "Later"})).pressedButton, 1);
    EXPECT_EQ(toolkit.RunAlert(Alert({"Add Files", "Cancel"})).pressedButton, 1);
    EXPECT_EQ(toolkit.RunAlert(Alert({"OK"})).pressedButton, kNoAlertButton);
    EXPECT_EQ(toolkit.RunAlert(Alert({"Cancel", "OK"})).pressedButton, 0);  // empty queue
    ASSERT_EQ(toolkit.shownAlerts.size(), 4u);
    EXPECT_EQ(toolkit.shownAlerts[0].buttons.size(), 3u);
    EXPECT_EQ(toolkit.PendingAnswers(), 0u);
}

TEST(ScriptedDialogs, CurrentToolkitDefaultsToNone)
{
    EXPECT_FALSE(CurrentDialogToolkit().HasApplication());
    EXPECT_FALSE(CurrentDialogToolkit().RunOpenPanel(Panel(true, true, true)).hitOK);
    SetDialogToolkit(std::make_unique<ScriptedDialogToolkit>());
    EXPECT_TRUE(CurrentDialogToolkit().HasApplication());
    SetDialogToolkit(nullptr);
    EXPECT_FALSE(CurrentDialogToolkit().HasApplication());
    EXPECT_EQ(CurrentDialogToolkit().RunAlert(Alert({"OK"})).pressedButton, kNoAlertButton);
}

TEST(ScriptedDialogs, CommandLineQueuesAnswersInOrder)
{
    ScriptedDialogToolkit toolkit;
    std::string error;
    std::vector<std::string> args = {"--request", "{}", "--pick", "/a", "/b", "--confirm", "no",
                                     "--download-folder", "/dl", "--confirm", "yes", "--settle", "5"};
    ASSERT_TRUE(ParseScriptedDialogOptions(args, toolkit, error));
    EXPECT_EQ(args, (std::vector<std::string>{"--request", "{}", "--settle", "5"}));
    EXPECT_EQ(toolkit.RunOpenPanel(Panel(true, true, true)).filenames.size(), 2u);
    EXPECT_EQ(toolkit.RunAlert(Alert({"Add Files", "Cancel"})).pressedButton, 1);
    EXPECT_EQ(toolkit.RunOpenPanel(Panel(false, true, false)).directory, "/dl");
    EXPECT_EQ(toolkit.RunAlert(Alert({"Add Files", "Cancel"})).pressedButton, 0);

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--pick", "--confirm", "yes"}, {"--download-folder"}, {"--confirm", "maybe"}, {"--confirm"}}) {
        error.clear();
        EXPECT_FALSE(ParseScriptedDialogOptions(bad, toolkit, error));
        EXPECT_FALSE(error.empty());
    }
}
