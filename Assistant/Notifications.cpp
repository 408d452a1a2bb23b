#include "Notifications.h"

namespace {
const char kMessageVersion[] = "8.0.1x189";
}

Notification::Notification(const char* code, json_object* job, unsigned jobNumber) : mMessage(json_object_new_object())
{
    Add("version", kMessageVersion);
    Add("type", "Notification");
    Add("code", code);
    Add("job", job ? json_object_get(job) : json_object_new_int64(jobNumber));
}

Notification& Notification::Add(const char* key, const std::string& text)
{
    return Add(key, json_object_new_string_len(text.data(), static_cast<int>(text.size())));
}

Notification& Notification::Add(const char* key, uint64_t number)
{
    return Add(key, json_object_new_int64(static_cast<int64_t>(number)));
}

Notification& Notification::Add(const char* key, json_object* value)
{
    json_object_object_add(mMessage.get(), key, value);
    return *this;
}

std::string Notification::Text() const
{
    return json_object_to_json_string_ext(mMessage.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}
