// The host dialog toolkit against the host's answering side, joined by a transport in the test.
#include "Platform/Dialogs/host/HostDialogs.h"
#include "Platform/Dialogs/scripted/ScriptedDialogs.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
struct Link {
    ScriptedDialogToolkit host;           // what the host application shows
    std::unique_ptr<ScriptedDialogToolkit> unmadeLocal = std::make_unique<ScriptedDialogToolkit>();
    ScriptedDialogToolkit* local = unmadeLocal.get();  // the in-process fallback, once handed over
    int fallbacksMade = 0;
    std::unique_ptr<DialogToolkit> toolkit;
    int messages = 0;
    std::vector<HostReply> script;        // how the host treats each message; answered when empty
    const char* replyType = nullptr;      // a reply of this type instead of the host's answer
    DialogWindow hostWindow = reinterpret_cast<DialogWindow>(0x1000);

    Link()
    {
        toolkit = MakeHostDialogToolkit(
            [this](const char* name, GVariant* parameters, GVariant** reply) {
                ++messages;
                const HostReply how = script.empty() ? HostReply::answered : script.front();
                if (!script.empty())
                    script.erase(script.begin());
                if (how != HostReply::answered)
                    return how;
                if (replyType) {
                    *reply = g_variant_ref_sink(g_variant_new_tuple(nullptr, 0));
                    return how;
                }
                GVariant* answer = AnswerHostDialogMessage(name, parameters, host, hostWindow);
                if (!answer)
                    return HostReply::unhandled;
                *reply = g_variant_ref_sink(answer);
                return how;
            },
            [this]() -> std::unique_ptr<DialogToolkit> {
                ++fallbacksMade;
                return std::move(unmadeLocal);
            });
    }

    // The upload panel, every choice of the request switched on.
    OpenPanelResult Panel()
    {
        OpenPanelRequest request;
        request.title = "Choose files and folders\u2026";
        request.message = "Choose files and/or folders you wish to send";
        request.prompt = "Choose";
        request.canChooseDirectories = request.allowsMultipleSelection = request.canCreateDirectories = true;
        request.parent = toolkit->MainWindow();
        return toolkit->RunOpenPanel(request);
    }
};
}  // namespace

TEST(HostDialogs, PanelsAndAlertsTravelToTheHostAndBack)
{
    Link link;
    const std::string odd = "/data/caf\xC3\xA9/\xFF\xFE raw";  // not UTF-8 throughout
    link.host.Enqueue(ScriptedAnswer::Choose({odd, "/data/b"}));
    link.host.Enqueue(ScriptedAnswer::Press(1));
    link.host.Enqueue(ScriptedAnswer::Cancel());
    EXPECT_TRUE(link.toolkit->HasApplication());

    const OpenPanelResult chosen = link.Panel();
    EXPECT_TRUE(chosen.hitOK);
    EXPECT_FALSE(chosen.hitCancel);
    EXPECT_EQ(chosen.filenames, (std::vector<std::string>{odd, "/data/b"}));
    EXPECT_EQ(chosen.directory, "/data/caf\xC3\xA9");

    // The host shows the request as given, in front of its own window.
    ASSERT_EQ(link.host.shownPanels.size(), 1u);
    const OpenPanelRequest& shown = link.host.shownPanels[0];
    EXPECT_EQ(shown.title, "Choose files and folders\u2026");
    EXPECT_EQ(shown.message, "Choose files and/or folders you wish to send");
    EXPECT_EQ(shown.prompt, "Choose");
    EXPECT_TRUE(shown.canChooseFiles && shown.canChooseDirectories && shown.allowsMultipleSelection &&
                shown.canCreateDirectories);
    EXPECT_EQ(shown.parent, link.hostWindow);
    EXPECT_FALSE(shown.shieldingLevel);

    AlertRequest alert;
    alert.messageText = "Add 3 item(s) for sending?\n";
    alert.style = kCriticalAlertStyle;
    alert.buttons = {"Add Files", "Cancel"};
    EXPECT_EQ(link.toolkit->RunAlert(alert).pressedButton, 1);
    ASSERT_EQ(link.host.shownAlerts.size(), 1u);
    EXPECT_EQ(link.host.shownAlerts[0].messageText, alert.messageText);
    EXPECT_EQ(link.host.shownAlerts[0].style, kCriticalAlertStyle);
    EXPECT_EQ(link.host.shownAlerts[0].buttons, alert.buttons);

    // Cancelled on the host: cancelled here; the in-process toolkit was never even made.
    const OpenPanelResult cancelled = link.Panel();
    EXPECT_FALSE(cancelled.hitOK);
    EXPECT_TRUE(cancelled.hitCancel);
    EXPECT_EQ(link.fallbacksMade, 0);
}

// A host that does not speak the protocol is given up for good; a message that fails or gets a
// reply of the wrong shape costs only that one dialog.
TEST(HostDialogs, DialogsRunHereWhenTheHostDoesNotAnswer)
{
    struct Case {
        const char* name;
        HostReply firstReply;
        const char* replyType;
        int messagesForTwoDialogs;
    };
    const Case cases[] = {
        {"unhandled", HostReply::unhandled, nullptr, 1},
        {"failed", HostReply::failed, nullptr, 2},
        {"wrong reply", HostReply::answered, "()", 2},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Link link;
        link.script = {test.firstReply};
        link.replyType = test.replyType;
        link.local->Enqueue(ScriptedAnswer::Choose({"/here/a"}));
        const OpenPanelResult first = link.Panel();
        EXPECT_TRUE(first.hitOK);
        EXPECT_EQ(first.filenames, std::vector<std::string>{"/here/a"});
        // Run here, it stands free above other windows.
        ASSERT_EQ(link.local->shownPanels.size(), 1u);
        EXPECT_EQ(link.local->shownPanels[0].parent, nullptr);
        EXPECT_TRUE(link.local->shownPanels[0].shieldingLevel);

        link.replyType = nullptr;
        link.Panel();
        EXPECT_EQ(link.messages, test.messagesForTwoDialogs);
        const bool hostKept = test.firstReply != HostReply::unhandled;
        EXPECT_EQ(link.host.shownPanels.size(), hostKept ? 1u : 0u);
        EXPECT_EQ(link.local->shownPanels.size(), hostKept ? 1u : 2u);
        EXPECT_EQ(link.toolkit->MainWindow() != nullptr, hostKept);
        EXPECT_EQ(link.fallbacksMade, 1);
    }
}

TEST(HostDialogs, HostAnswersOnlyWellFormedDialogMessages)
{
    ScriptedDialogToolkit host;
    GVariant* empty = g_variant_ref_sink(g_variant_new_tuple(nullptr, 0));
    GVariant* panel = g_variant_ref_sink(g_variant_new("(@ay@ay@aybbbb)", g_variant_new_bytestring("t"),
                                                       g_variant_new_bytestring(""), g_variant_new_bytestring(""),
                                                       true, false, false, false));
    EXPECT_EQ(AnswerHostDialogMessage("other.message", panel, host, nullptr), nullptr);
    EXPECT_EQ(AnswerHostDialogMessage(nullptr, panel, host, nullptr), nullptr);
    EXPECT_EQ(AnswerHostDialogMessage(kHostOpenPanelMessage, empty, host, nullptr), nullptr);
    EXPECT_EQ(AnswerHostDialogMessage(kHostAlertMessage, panel, host, nullptr), nullptr);
    EXPECT_EQ(AnswerHostDialogMessage(kHostOpenPanelMessage, nullptr, host, nullptr), nullptr);
    EXPECT_TRUE(host.shownPanels.empty() && host.shownAlerts.empty());

    // A style the host does not know is shown as a warning; an alert without buttons presses none.
    host.Enqueue(ScriptedAnswer::Press(0));
    GVariant* alert = g_variant_ref_sink(g_variant_new("(@ay@ayi@aay)", g_variant_new_bytestring("m"),
                                                       g_variant_new_bytestring(""), 7,
                                                       g_variant_new_array(G_VARIANT_TYPE_BYTESTRING, nullptr, 0)));
    GVariant* answer = g_variant_ref_sink(AnswerHostDialogMessage(kHostAlertMessage, alert, host, nullptr));
    ASSERT_STREQ(g_variant_get_type_string(answer), "(i)");
    int pressed = 0;
    g_variant_get(answer, "(i)", &pressed);
    EXPECT_EQ(pressed, kNoAlertButton);
    EXPECT_EQ(host.shownAlerts.at(0).style, kWarningAlertStyle);
    for (GVariant* value : {empty, panel, alert, answer})
        g_variant_unref(value);
}

// The reply channel carries any reply whole, says "unhandled" for a host that closes without a
// word, and refuses bytes that are no reply, from a host that sends large replies in one go.
TEST(HostDialogs, RepliesCrossTheChannelWholeOrNotAtAll)
{
    const std::string manyPaths(3 << 20, 'p');
    struct Case {
        const char* what;
        GVariant* reply;       // written by the host, or null
        std::string raw;       // written instead when reply is null
        HostReply expected;
    } cases[] = {
        {"a launch answer", g_variant_new("(b)", TRUE), "", HostReply::answered},
        {"a panel with a long path", g_variant_new("(bb@aay^ay)", TRUE, FALSE,
                                                  g_variant_new_array(G_VARIANT_TYPE_BYTESTRING, nullptr, 0),
                                                  manyPaths.c_str()), "",
         HostReply::answered},
        {"nothing", nullptr, "", HostReply::unhandled},
        {"a variant of an unknown type", nullptr, std::string("\x01\0(", 3), HostReply::failed},
    };
    for (Case& c : cases) {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        GVariant* sent = c.reply ? g_variant_ref_sink(c.reply) : nullptr;
        // The host writes from another thread, as a large reply does not fit the socket's buffer.
        std::thread host([&] {
            if (sent)
                EXPECT_TRUE(WriteHostReply(ends[1], sent)) << c.what;
            else
                EXPECT_EQ(write(ends[1], c.raw.data(), c.raw.size()), static_cast<ssize_t>(c.raw.size()));
            close(ends[1]);
        });
        GVariant* received = nullptr;
        EXPECT_EQ(ReadHostReply(ends[0], &received), c.expected) << c.what;
        host.join();
        close(ends[0]);
        if (c.expected == HostReply::answered) {
            ASSERT_NE(received, nullptr) << c.what;
            EXPECT_TRUE(g_variant_equal(received, sent)) << c.what;
            g_variant_unref(received);
        } else {
            EXPECT_EQ(received, nullptr) << c.what;
        }
        if (sent)
            g_variant_unref(sent);
    }
}
