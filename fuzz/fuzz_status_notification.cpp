// Status notifications from the Assistant: each line of the input is the JSON text of one status
// event, which the process-wide status handler routes by refCon to a fresh instance holding a
// small upload list. A "FileSent" notification is never forwarded to the page, any other one is
// forwarded byte for byte, and what the plug-in builds itself is strict JSON. An input that
// starts with "!" has a page that runs the next line from inside each notification: a line
// "R:..." as a page request, "~" by destroying the instance, any other as a further status event.
#include "FuzzClient.h"

#include <json-c/json.h>
#include <strings.h>

#include <cstring>
#include <set>

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
        if (sent.count(json))
            FUZZ_CHECK(!IsFileSent(json));
        else
            FUZZ_CHECK(IsStrictJson(json, false));
        CallPage();
        return true;
    }

    std::multiset<std::string> sent;  // the texts of the status events being handled
};

void SendStatus(unsigned int refCon, const std::string& text)
{
    AppleEvent event;
    AEInitializeDesc(&event);
    FUZZ_CHECK(AECreateAppleEvent(kAssistantEventClass, kStatusEventID, nullptr, kAutoGenerateReturnID, kAnyTransactionID,
                                  &event) == noErr);
    AEPutParamPtr(&event, kStatusRefConKeyword, typeUInt32, &refCon, sizeof refCon);
    AEPutParamPtr(&event, kNotificationKeyword, typeChar, text.data(), static_cast<Size>(text.size()));
    CQVWebClientBaseMac::StatusAppleEventHandler(&event, nullptr, 0);
    AEDisposeDesc(&event);
}

void RunLine(FuzzClient& client, const std::string& line)
{
    if (line.compare(0, 2, "R:") == 0) {
        xwstring text(line.c_str() + 2);
        client.ExecuteRequest(static_cast<wchar_t*>(text));
        return;
    }
    auto& status = static_cast<StatusClient&>(client);
    // The handler reads the text up to its first NUL; the instance may be gone afterwards.
    const auto entry = status.sent.insert(line.c_str());
    const unsigned int refCon = status.RefCon();
    std::multiset<std::string>* const sent = &status.sent;
    FuzzPage* const page = status.page;
    SendStatus(refCon, line);
    if (page->client == &client)
        sent->erase(entry);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    PrepareHeadlessInstances();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzPage page;
    page.reentrant = size > 0 && data[0] == '!';
    page.run = &RunLine;
    for (std::string& line : SplitInput(data + page.reentrant, size - page.reentrant, '\n'))
        page.pending.push_back(std::move(line));
    page.client = new StatusClient;
    page.client->page = &page;
    page.client->StartLogging();
    while (page.client && page.RunNext()) {
    }
    delete page.client;
    return 0;
}
