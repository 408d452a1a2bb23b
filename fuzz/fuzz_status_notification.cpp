// Status notifications from the Assistant: each line of the input is the JSON text of one status
// event, which the process-wide status handler routes by refCon to a fresh instance holding a
// small upload list. A "FileSent" notification is never forwarded to the page, any other one is
// forwarded byte for byte, and what the plug-in builds itself is strict JSON.
#include "FuzzClient.h"

#include <json-c/json.h>
#include <strings.h>

#include <cstring>

namespace {
// The members of a text as the notification handler reads them: a "FileSent" notification.
bool IsFileSent(const char* text)
{
    json_object* parsed = json_tokener_parse(text);
    if (!parsed)
        return false;
    json_object* type = nullptr;
    json_object* code = nullptr;
    const bool fileSent = json_object_is_type(parsed, json_type_object) &&
                          json_object_object_get_ex(parsed, "type", &type) &&
                          json_object_object_get_ex(parsed, "code", &code) &&
                          json_object_is_type(type, json_type_string) && json_object_is_type(code, json_type_string) &&
                          strcasecmp(json_object_get_string(type), "Notification") == 0 &&
                          strcasecmp(json_object_get_string(code), "FileSent") == 0 &&
                          strlen(json_object_get_string(code)) == static_cast<size_t>(json_object_get_string_len(code));
    json_object_put(parsed);
    return fileSent;
}

class StatusClient : public FuzzClient {
public:
    StatusClient()
    {
        checkNotifications = false;
        const char* const paths[][2] = {
            {"/home/u/Docs/a.txt", "Docs/"}, {"/home/u/Docs/Sub/b.txt", "Docs/Sub/"}, {"/tmp/\xC3\xA9t\xC3\xA9", ""}};
        for (const auto& path : paths)
            UploadList().emplace(xwstring_pair(xwstring(path[0]), xwstring(path[1])), 1536.0);
    }

    bool NotifyBrowser(const char* json) override
    {
        if (strcmp(json, sent.c_str()) == 0)
            FUZZ_CHECK(!IsFileSent(json));
        else
            FUZZ_CHECK(IsStrictJson(json, false));
        return FuzzClient::NotifyBrowser(json);
    }

    std::string sent;  // the text of the status event being handled
};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    PrepareHeadlessInstances();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    StatusClient client;
    client.StartLogging();
    const unsigned int refCon = client.RefCon();
    for (const std::string& text : SplitInput(data, size, '\n')) {
        client.sent = text.c_str();  // the handler reads the text up to its first NUL
        AppleEvent event;
        AEInitializeDesc(&event);
        FUZZ_CHECK(AECreateAppleEvent(kAssistantEventClass, 'assS', nullptr, kAutoGenerateReturnID,
                                      kAnyTransactionID, &event) == noErr);
        AEPutParamPtr(&event, 'STr1', typeUInt32, &refCon, sizeof refCon);
        AEPutParamPtr(&event, 'NMsg', typeChar, text.data(), static_cast<Size>(text.size()));
        CQVWebClientBaseMac::StatusAppleEventHandler(&event, nullptr, 0);
        AEDisposeDesc(&event);
    }
    return 0;
}
