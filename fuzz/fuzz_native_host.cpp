// The native host's input: the bytes a browser writes to the host. The first byte sets the size of
// the pieces the stream arrives in (low 7 bits; 0: all at once) and, with its high bit, cuts every
// message the host writes as if the browsers' limit were kSmallMessage bytes. The rest is cut into
// frames; each frame reaches one host session, whose origin gate admits origins starting
// "https://" and asks nobody. Properties: every message the host writes is strict JSON in valid
// UTF-8, its frames stay within the limit and join back to it; every call gets exactly one result,
// its last message; after a denial nothing but results goes out; a frame read as a call is valid
// UTF-8 JSON.
#include "FuzzSupport.h"

#include "HostMessages.h"
#include "HostSession.h"
#include "NativeFrames.h"
#include "Platform/Dialogs/Dialogs.h"
#include "Platform/Dialogs/scripted/ScriptedDialogs.h"
#include "Platform/Workspace/Workspace.h"

#include <json-c/json.h>

#include <algorithm>
#include <cstring>

namespace {
const size_t kSmallMessage = 256;
const size_t kSmallPiece = 64;

// The text of the message in the frames, joined from pieces when it was split.
std::string Joined(const std::vector<std::string>& frames, size_t largestMessage)
{
    std::string joined;
    for (size_t i = 0; i < frames.size(); ++i) {
        NativeFrameReader reader;
        reader.Append(frames[i].data(), frames[i].size());
        std::string payload;
        FUZZ_CHECK(reader.Next(&payload) == NativeFrameReader::kFrame && reader.Pending() == 0);
        FUZZ_CHECK(payload.size() <= largestMessage && IsStrictJson(payload, true));
        if (frames.size() == 1)
            return payload;
        json_object* piece = json_tokener_parse(payload.c_str());
        json_object* slice = json_object_object_get(piece, "piece");
        FUZZ_CHECK(json_object_is_type(slice, json_type_string));
        FUZZ_CHECK(json_object_get_boolean(json_object_object_get(piece, "last")) == (i + 1 == frames.size()));
        joined.append(json_object_get_string(slice), static_cast<size_t>(json_object_get_string_len(slice)));
        json_object_put(piece);
    }
    return joined;
}

struct Output {
    bool split = false;
    bool denied = false;
    size_t results = 0;
    bool lastWasResult = false;

    void Take(const std::string& json)
    {
        FUZZ_CHECK(IsStrictJson(json, true));
        const size_t largestMessage = split ? kSmallMessage : kLargestOutgoingMessage;
        FUZZ_CHECK(Joined(FramesOfMessage(json, largestMessage, split ? kSmallPiece : kLargestPieceText),
                          largestMessage) == json);
        json_object* message = json_tokener_parse(json.c_str());
        const bool isResult = json_object_object_get_ex(message, "result", nullptr);
        json_object_put(message);
        FUZZ_CHECK(isResult || !denied);
        results += isResult ? 1 : 0;
        lastWasResult = isResult;
    }
};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    UsePrivateEnvironment();
    // A request that needs the Assistant fails at once, as when it is not installed.
    WorkspaceSetLauncher([](const char*, UInt32) { return false; });
    SetDialogToolkit(std::make_unique<ScriptedDialogToolkit>());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t piece = (data[0] & 0x7F) == 0 ? size : (data[0] & 0x7F);
    Output output;
    output.split = (data[0] & 0x80) != 0;
    size_t calls = 0;
    {
        HostSession session([&output](const std::string& json) { output.Take(json); },
                            [&output](const std::string& origin) {
                                output.denied = origin.compare(0, 8, "https://") != 0;
                                return !output.denied;
                            });
        NativeFrameReader reader;
        const char* stream = reinterpret_cast<const char*>(data + 1);
        const size_t length = size - 1;
        for (size_t at = 0; at < length; at += piece) {
            reader.Append(stream + at, std::min(piece, length - at));
            std::string payload;
            NativeFrameReader::Result result;
            while ((result = reader.Next(&payload)) == NativeFrameReader::kFrame) {
                HostCall call;
                std::string error;
                if (ParseHostCall(payload, &call, &error)) {
                    FUZZ_CHECK(IsStrictJson(payload, true));
                    ++calls;
                }
                session.Receive(payload);
                FUZZ_CHECK(output.results == calls && (calls == 0 || output.lastWasResult));
            }
            if (result == NativeFrameReader::kTooLarge)
                break;
        }
    }
    return 0;
}
