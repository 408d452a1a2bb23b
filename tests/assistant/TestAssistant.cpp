// A scripted stand-in for the Assistant, for end-to-end tests and the demo: it checks in under the
// Assistant's bundle identifier, accepts "Laso"/"ADMN" requests and answers each with status
// events: a "FileSent" per uploaded entry and then one closing notification.
//
// usage: test_assistant [--record FILE] [--idle-seconds N]
//   --record FILE     append one line per request: its parameters ("key:type", in order), the
//                     refCon sent in "navG" and the JSON text
//   --idle-seconds N  exit after N seconds without a request (default 30)
#include "Common/AssistantLink.h"
#include "Platform/AppleEvents/AppleEvents.h"
#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/Workspace/Workspace.h"

#include <glib.h>
#include <json-c/json.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
const char* sRecordPath = nullptr;
unsigned int sIdleSeconds = 30;
GMainLoop* sLoop = nullptr;
guint sIdleTimer = 0;

void RestartIdleTimer()
{
    if (sIdleTimer)
        g_source_remove(sIdleTimer);
    sIdleTimer = g_timeout_add_seconds(sIdleSeconds, [](gpointer) {
        g_main_loop_quit(sLoop);
        return gboolean(G_SOURCE_REMOVE);
    }, nullptr);
}

std::string ParamBytes(const AppleEvent* event, AEKeyword key, DescType type)
{
    Size size = 0;
    if (AEGetParamPtr(event, key, type, nullptr, nullptr, 0, &size) != noErr || size < 0)
        return {};
    std::string bytes(static_cast<size_t>(size), '\0');
    if (size > 0 && AEGetParamPtr(event, key, type, nullptr, bytes.data(), size, &size) != noErr)
        return {};
    return bytes;
}

void SendStatus(const AEDesc& host, const std::string& refCon, const std::string& notification)
{
    AppleEvent event;
    if (AECreateAppleEvent(kAssistantEventClass, kStatusEventID, &host, kAutoGenerateReturnID, kAnyTransactionID, &event) != noErr)
        return;
    AEPutParamPtr(&event, kStatusRefConKeyword, typeUInt32, refCon.data(), static_cast<Size>(refCon.size()));
    AEPutParamPtr(&event, kNotificationKeyword, typeChar, notification.data(), static_cast<Size>(notification.size()));
    AppleEvent reply;
    AEInitializeDesc(&reply);
    const OSErr error = AESendMessage(&event, &reply, kAENoReply | kAENeverInteract, 600);
    if (error != noErr)
        fprintf(stderr, "test_assistant: status event not delivered (%d)\n", error);
    AEDisposeDesc(&event);
}

// A notification in json-c's spaced form, with the entry as its one "files_ul" entry when given.
std::string Notification(const char* code, const std::string& entry = "")
{
    const std::string files = entry.empty() ? "" : ", \"files_ul\": [ " + entry + " ]";
    return std::string("{ \"type\": \"Notification\", \"code\": \"") + code + "\"" + files + " }";
}

// The event's parameters as "key:type" in their order.
std::string ParameterList(const AppleEvent* event)
{
    std::string list;
    long count = 0;
    AECountItems(event, &count);
    for (long i = 1; i <= count; ++i) {
        AEKeyword key = 0;
        AEDesc item;
        AEInitializeDesc(&item);
        if (AEGetNthDesc(event, i, typeWildCard, &key, &item) != noErr)
            continue;
        for (const uint32_t code : {key, item.descriptorType}) {
            for (int shift = 24; shift >= 0; shift -= 8)
                list += static_cast<char>((code >> shift) & 0xFF);
            list += code == key ? ":" : " ";
        }
        AEDisposeDesc(&item);
    }
    return list;
}

void Record(const std::string& parameters, const std::string& refCon, const std::string& request)
{
    FILE* file = sRecordPath ? fopen(sRecordPath, "a") : nullptr;
    if (!file)
        return;
    uint32_t firstFour = 0;
    memcpy(&firstFour, refCon.data(), std::min<size_t>(refCon.size(), 4));
    fprintf(file, "%snavG=%zu:%u %s\n", parameters.c_str(), refCon.size(), firstFour, request.c_str());
    fclose(file);
}

OSErr HandleRequest(const AppleEvent* event, AppleEvent*, SRefCon)
{
    RestartIdleTimer();
    const std::string request = ParamBytes(event, keyDirectObject, typeChar);
    const std::string refCon = ParamBytes(event, kRefConKeyword, typeWildCard);
    Record(ParameterList(event), refCon, request);

    AEDesc host;
    AEInitializeDesc(&host);
    if (AEGetParamDesc(event, kHostProcessKeyword, typeProcessSerialNumber, &host) != noErr)
        return errAEDescNotFound;
    json_object* parsed = json_tokener_parse(request.c_str());
    json_object* code = nullptr;
    json_object* files = nullptr;
    const bool isUpload = parsed && json_object_object_get_ex(parsed, "code", &code) &&
                          strcasecmp(json_object_get_string(code), "StartUpload") == 0;
    if (isUpload && json_object_object_get_ex(parsed, "files_ul", &files)) {
        for (size_t i = 0; i < json_object_array_length(files); ++i)
            SendStatus(host, refCon, Notification("FileSent", json_object_to_json_string(json_object_array_get_idx(files, i))));
    }
    SendStatus(host, refCon, Notification(isUpload ? "UploadComplete" : "DownloadComplete"));
    json_object_put(parsed);
    AEDisposeDesc(&host);
    return noErr;
}
}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--record") && i + 1 < argc) {
            sRecordPath = argv[++i];
        } else if (!strcmp(argv[i], "--idle-seconds") && i + 1 < argc) {
            sIdleSeconds = static_cast<unsigned int>(strtoul(argv[++i], nullptr, 10));
        } else {
            fprintf(stderr, "usage: test_assistant [--record FILE] [--idle-seconds N]\n");
            return 2;
        }
    }
    sLoop = g_main_loop_new(nullptr, false);
    if (AEInstallEventHandler(kAssistantEventClass, kAssistantRequestID, NewAEEventHandlerUPP(&HandleRequest), 0, false) != noErr ||
        WorkspaceCheckIn(kAssistantBundleIdentifier) != noErr) {
        fprintf(stderr, "test_assistant: cannot open its event port\n");
        return 1;
    }
    RestartIdleTimer();
    g_main_loop_run(sLoop);
    g_main_loop_unref(sLoop);
    return 0;
}
