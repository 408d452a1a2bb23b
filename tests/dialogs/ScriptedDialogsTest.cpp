#include "Platform/Dialogs/scripted/ScriptedDialogs.h"

#include <gtest/gtest.h>

namespace {
OpenPanelRequest Panel(bool files, bool folders, bool multiple)
{
    OpenPanelRequest request;
    request.canChooseFiles = files;
    request.canChooseDirectories = folders;
    request.allowsMultipleSelection = multiple;
    return request;
}

AlertRequest Alert(std::vector<std::string> buttons)
{
    AlertRequest request;
    request.buttons = std::move(buttons);
    return request;
}
}  // namespace

TEST(ScriptedDialogs, AnswersInTurnFittingEachDialog)
{
    ScriptedDialogToolkit toolkit;
    toolkit.Enqueue(ScriptedAnswer::Choose({"/home/u/a.txt", "/home/u/Docs"}));
    toolkit.Enqueue(ScriptedAnswer::Choose({"/srv/in", "/srv/other"}));
    toolkit.Enqueue(ScriptedAnswer::Press(0));  // does not fit a panel
    toolkit.Enqueue(ScriptedAnswer::Press(2));  // a button the alert lacks
    toolkit.Enqueue(ScriptedAnswer::Choose({"/x"}));

    const OpenPanelResult mixed = toolkit.RunOpenPanel(Panel(true, true, true));
    EXPECT_TRUE(mixed.hitOK);
    EXPECT_EQ(mixed.filenames, (std::vector<std::string>{"/home/u/a.txt", "/home/u/Docs"}));
    EXPECT_EQ(mixed.directory, "/home/u");
    const OpenPanelResult folder = toolkit.RunOpenPanel(Panel(false, true, false));
    EXPECT_EQ(folder.filenames, std::vector<std::string>{"/srv/in"});  // a single item only
    EXPECT_EQ(folder.directory, "/srv/in");
    const OpenPanelResult refused = toolkit.RunOpenPanel(Panel(true, false, false));
    EXPECT_TRUE(!refused.hitOK && refused.hitCancel && refused.filenames.empty());

    EXPECT_EQ(toolkit.RunAlert(Alert({"Add Files", "Cancel"})).pressedButton, 1);  // Cancel instead
    EXPECT_EQ(toolkit.RunAlert(Alert({"OK"})).pressedButton, kNoAlertButton);
    // The queue is empty: Cancel.
    EXPECT_TRUE(toolkit.RunOpenPanel(Panel(true, true, true)).hitCancel);
    EXPECT_EQ(toolkit.RunAlert(Alert({"Cancel", "OK"})).pressedButton, 0);
}

TEST(ScriptedDialogs, CurrentToolkitIsNoneUntilOneIsSetAndAfterAReset)
{
    EXPECT_FALSE(CurrentDialogToolkit().HasApplication());
    SetDialogToolkit(std::make_unique<ScriptedDialogToolkit>());
    EXPECT_TRUE(CurrentDialogToolkit().HasApplication());
    SetDialogToolkit(nullptr);
    EXPECT_FALSE(CurrentDialogToolkit().HasApplication());
    EXPECT_FALSE(CurrentDialogToolkit().RunOpenPanel(Panel(true, true, true)).hitOK);
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
             {"--pick", "--confirm", "yes"}, {"--download-folder"}, {"--confirm", "maybe"}}) {
        error.clear();
        EXPECT_FALSE(ParseScriptedDialogOptions(bad, toolkit, error));
        EXPECT_FALSE(error.empty());
    }
}
