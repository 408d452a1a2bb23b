// The host's frames, messages and origin decisions.
#include "HostMessages.h"
#include "NativeFrames.h"
#include "OriginPolicy.h"
#include "Platform/Dialogs/scripted/ScriptedDialogs.h"
#include "tests/support/TempDir.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {
std::string Header(uint32_t length) { return std::string(reinterpret_cast<const char*>(&length), sizeof length); }

// What the extension does with the frames of one message: checks each, joins the pieces.
std::string Joined(const std::vector<std::string>& frames)
{
    std::string joined;
    for (size_t i = 0; i < frames.size(); ++i) {
        NativeFrameReader reader;
        reader.Append(frames[i].data(), frames[i].size());
        std::string payload;
        EXPECT_EQ(reader.Next(&payload), NativeFrameReader::kFrame);
        EXPECT_EQ(reader.Pending(), 0u);
        EXPECT_LE(payload.size(), kLargestOutgoingMessage);
        if (frames.size() == 1)
            return payload;
        EXPECT_TRUE(g_utf8_validate(payload.data(), static_cast<gssize>(payload.size()), nullptr));
        json_object* piece = json_tokener_parse(payload.c_str());
        EXPECT_EQ(json_object_get_boolean(json_object_object_get(piece, "last")), i + 1 == frames.size());
        joined += json_object_get_string(json_object_object_get(piece, "piece"));
        json_object_put(piece);
    }
    return joined;
}

std::string Repeated(const std::string& unit, size_t bytes)
{
    std::string text;
    while (text.size() + unit.size() <= bytes)
        text += unit;
    return text + std::string(bytes - text.size(), 'x');
}
}  // namespace

TEST(NativeFrames, ReaderTakesTheStreamInAnyPieces)
{
    const std::string two = Header(3) + "abc" + Header(0) + Header(2) + "de";
    struct Case {
        const char* name;
        std::string stream;
        size_t chunk;  // bytes per Append
        std::vector<std::string> frames;
        NativeFrameReader::Result last;
        size_t pending;
    } cases[] = {
        {"frames in one piece", two, two.size(), {"abc", "", "de"}, NativeFrameReader::kNeedMore, 0},
        {"frames byte by byte", two, 1, {"abc", "", "de"}, NativeFrameReader::kNeedMore, 0},
        {"end inside a header", Header(3) + "abc" + Header(5).substr(0, 2), 2, {"abc"}, NativeFrameReader::kNeedMore, 2},
        {"end inside a payload", Header(5) + "abc", 3, {}, NativeFrameReader::kNeedMore, 7},
        {"largest announced length waits", Header(kLargestIncomingFrame) + "x", 5, {}, NativeFrameReader::kNeedMore, 5},
        {"longer announced length", Header(3) + "abc" + Header(kLargestIncomingFrame + 1), 64, {"abc"},
         NativeFrameReader::kTooLarge, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NativeFrameReader reader;
        std::vector<std::string> frames;
        NativeFrameReader::Result result = NativeFrameReader::kNeedMore;
        for (size_t at = 0; at < c.stream.size(); at += c.chunk) {
            reader.Append(c.stream.data() + at, std::min(c.chunk, c.stream.size() - at));
            std::string payload;
            while ((result = reader.Next(&payload)) == NativeFrameReader::kFrame)
                frames.push_back(payload);
        }
        EXPECT_EQ(frames, c.frames);
        EXPECT_EQ(result, c.last);
        EXPECT_EQ(reader.Pending(), c.pending);
    }
}

// Messages up to the browsers' limit go whole; longer ones in pieces cut between characters, each
// frame within the limit after escaping, that join to the message.
TEST(NativeFrames, WriterSplitsOnlyWhatTheBrowsersRefuse)
{
    struct Case {
        const char* name;
        std::string message;
        size_t frames;
    } cases[] = {
        {"exactly the limit", Repeated("a", kLargestOutgoingMessage), 1},
        {"one byte more", Repeated("a", kLargestOutgoingMessage + 1), 5},
        {"two-byte characters", Repeated("\xC3\xA9", 1300000), 5},
        {"four-byte characters and escapes", Repeated("\xF0\x9F\x98\x80\"\\", 1300000), 5},
        {"control escapes", Repeated("\\u0001\\n", 1300000), 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> frames = FramesOfMessage(c.message);
        EXPECT_EQ(frames.size(), c.frames);
        EXPECT_EQ(Joined(frames), c.message);
    }
}

TEST(HostMessages, CallsAreReadStrictly)
{
    struct Case {
        const char* name;
        std::string payload;
        bool parsed;
        HostCall::Kind kind = HostCall::kInitialize;  // the rest only where parsed
        bool hasArgument = false;
        std::string argument = "";
    } cases[] = {
        {"initialize", R"({"call":"Initialize","origin":"https://example.org"})", true, HostCall::kInitialize, true,
         "https://example.org"},
        {"request with a NUL kept", R"({"request":"{}\u0000x","call":"ExecuteRequest"} )", true,
         HostCall::kExecuteRequest, true, std::string("{}\0x", 4)},
        {"call without its argument", R"({"call":"ExecuteRequest","request":7})", true, HostCall::kExecuteRequest},
        {"not UTF-8", "{\"call\":\"Initialize\",\"origin\":\"\xC3\"}", false},
        {"not an object", R"(["Initialize"])", false},
        {"text after the object", R"({"call":"Initialize"} {})", false},
        {"empty", "", false},
        {"unknown call", R"({"call":"initialize"})", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HostCall call;
        std::string error;
        EXPECT_EQ(ParseHostCall(c.payload, &call, &error), c.parsed);
        EXPECT_EQ(error.empty(), c.parsed);
        if (!c.parsed)
            continue;
        EXPECT_EQ(call.kind, c.kind);
        EXPECT_EQ(call.hasArgument, c.hasArgument);
        EXPECT_EQ(call.argument, c.argument);
    }
}

// A text the page cannot take as it is (not UTF-8) still arrives, with U+FFFD for the bad bytes.
TEST(HostMessages, OutgoingTextsAreUtf8Json)
{
    EXPECT_EQ(NotifyMessage("caf\xE9 \"/\n"), "{\"notify\":\"caf\xEF\xBF\xBD \\\"/\\n\"}");
    EXPECT_EQ(LogMessage(nullptr), R"({"log":""})");
    EXPECT_EQ(ResultMessage(true), R"({"result":1})");
}

namespace {
std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
}  // namespace

// The administrator's list wins, the user's answers are remembered, and nobody is asked without a
// display; the question names the origin and offers Allow and Deny.
TEST(OriginPolicy, DecidesFromTheListsThenTheUser)
{
    enum Asker { kNoDisplay, kPressAllow, kPressDeny, kClose, kMustNotAsk };
    struct Case {
        const char* name;
        const char* system;
        const char* user;
        const char* origin;
        Asker asker;
        bool allowed;
        const char* userAfter;  // the user's file afterwards ("" for none)
    } cases[] = {
        {"administrator allows over the user", "[Origins]\nallow=https://a.org;\n", "[Origins]\ndeny=https://a.org\n",
         "https://a.org", kMustNotAsk, true, "[Origins]\ndeny=https://a.org\n"},
        {"administrator denies over the user", "[Origins]\ndeny=https://a.org; https://b.org\n",
         "[Origins]\nallow=https://b.org\n", "https://b.org", kMustNotAsk, false, "[Origins]\nallow=https://b.org\n"},
        {"both lists of a file: denied", "", "[Origins]\nallow=https://a.org\ndeny=https://a.org\n", "https://a.org",
         kMustNotAsk, false, "[Origins]\nallow=https://a.org\ndeny=https://a.org\n"},
        {"remembered, case and slash aside", "", "[Origins]\nallow=http://127.0.0.1:8080/;\n",
         "HTTP://127.0.0.1:8080", kMustNotAsk, true, "[Origins]\nallow=http://127.0.0.1:8080/;\n"},
        {"another port is another origin", "", "[Origins]\nallow=http://127.0.0.1:8080\n", "http://127.0.0.1:8081",
         kNoDisplay, false, "[Origins]\nallow=http://127.0.0.1:8080\n"},
        {"no display: denied, nothing kept", "", "", "https://a.org", kNoDisplay, false, ""},
        {"Allow is remembered", "", "[Origins]\nallow=https://b.org;\n", "https://a.org", kPressAllow, true,
         "[Origins]\nallow=https://b.org;https://a.org;\ndeny=\n"},
        {"Deny is remembered", "", "", "https://a.org", kPressDeny, false, "[Origins]\nallow=\ndeny=https://a.org;\n"},
        {"closed unanswered: denied once", "", "", "https://a.org", kClose, false, ""},
        {"no origin at all", "", "", "example.org", kMustNotAsk, false, ""},
        {"a list separator in it", "", "", "https://a.org;https://b.org", kMustNotAsk, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir folder("qv-origins");
        const std::string system = folder / "system.conf", user = folder / "user/origins.conf";
        g_mkdir_with_parents((folder / "user").c_str(), 0700);
        for (const auto& [path, text] : {std::make_pair(system, c.system), std::make_pair(user, c.user)})
            if (*text)
                g_file_set_contents(path.c_str(), text, -1, nullptr);
        ScriptedDialogToolkit scripted;
        if (c.asker == kPressAllow || c.asker == kPressDeny)
            scripted.Enqueue(ScriptedAnswer::Press(c.asker == kPressAllow ? 0 : 1));
        std::unique_ptr<DialogToolkit> none = MakeNoDialogToolkit();
        DialogToolkit& toolkit = c.asker == kNoDisplay ? *none : static_cast<DialogToolkit&>(scripted);

        EXPECT_EQ(OriginPolicy(system, user).Decide(c.origin, toolkit), c.allowed);
        EXPECT_EQ(ReadFile(user), c.userAfter);
        if (c.asker == kMustNotAsk || c.asker == kNoDisplay) {
            EXPECT_TRUE(scripted.shownAlerts.empty());
            continue;
        }
        ASSERT_EQ(scripted.shownAlerts.size(), 1u);
        EXPECT_EQ(scripted.shownAlerts[0].messageText, std::string("Allow ") + c.origin + " to use Qiravel Web Client?");
        EXPECT_EQ(scripted.shownAlerts[0].buttons, (std::vector<std::string>{"Allow", "Deny"}));
    }
}
