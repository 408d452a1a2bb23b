// The reference native host of the extension benchmark: answers Initialize with a fixed response
// and every ExecuteRequest with its request text as one notification and the result 1, so that a
// round trip costs the browser's path and nothing of the plug-in.
#include <json-c/json.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {
bool ReadFrame(std::string* text)
{
    uint32_t length = 0;
    if (fread(&length, sizeof length, 1, stdin) != 1)
        return false;
    text->resize(length);
    return length == 0 || fread(&(*text)[0], 1, length, stdin) == length;
}

void WriteFrame(json_object* message)
{
    size_t size = 0;
    const char* text = json_object_to_json_string_length(message, JSON_C_TO_STRING_PLAIN, &size);
    const uint32_t length = static_cast<uint32_t>(size);
    fwrite(&length, sizeof length, 1, stdout);
    fwrite(text, 1, size, stdout);
    json_object_put(message);
}

json_object* Answer(const char* key, json_object* value)
{
    json_object* answer = json_object_new_object();
    json_object_object_add(answer, key, value);
    return answer;
}
}  // namespace

int main()
{
    std::string text;
    while (ReadFrame(&text)) {
        json_object* call = json_tokener_parse(text.c_str());
        json_object* request = nullptr;
        if (call && json_object_object_get_ex(call, "request", &request)) {
            WriteFrame(Answer("notify", json_object_get(request)));
            WriteFrame(Answer("result", json_object_new_int(1)));
        } else {
            WriteFrame(Answer("result", json_object_new_string(
                                            "{ \"version\": \"echo\", \"type\": \"Response\", \"code\": "
                                            "\"Initialize\", \"support_dragdrop\": false }")));
        }
        fflush(stdout);
        json_object_put(call);
    }
    return 0;
}
