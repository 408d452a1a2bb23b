#include "HostMessages.h"

#include <glib.h>
#include <json-c/json.h>

namespace {
std::string Serialized(const char* member, json_object* value)
{
    json_object* message = json_object_new_object();
    json_object_object_add(message, member, value);
    std::string text = json_object_to_json_string_ext(message, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    json_object_put(message);
    return text;
}

std::string TextMessage(const char* member, const char* text)
{
    gchar* valid = g_utf8_make_valid(text ? text : "", -1);
    std::string message = Serialized(member, json_object_new_string(valid));
    g_free(valid);
    return message;
}
}  // namespace

bool ParseHostCall(const std::string& payload, HostCall* call, std::string* error)
{
    if (!g_utf8_validate(payload.data(), static_cast<gssize>(payload.size()), nullptr)) {
        *error = "the message is not valid UTF-8";
        return false;
    }
    json_tokener* tokener = json_tokener_new();
    json_tokener_set_flags(tokener, JSON_TOKENER_STRICT);
    json_object* message = json_tokener_parse_ex(tokener, payload.data(), static_cast<int>(payload.size()));
    const bool whole = json_tokener_get_error(tokener) == json_tokener_success &&
                       payload.find_first_not_of(" \t\r\n", json_tokener_get_parse_end(tokener)) == std::string::npos;
    json_tokener_free(tokener);
    if (!whole || !json_object_is_type(message, json_type_object)) {
        json_object_put(message);
        *error = "the message is not one JSON object";
        return false;
    }
    json_object* name = json_object_object_get(message, "call");
    const char* nameText = json_object_is_type(name, json_type_string) ? json_object_get_string(name) : "";
    const bool known = g_strcmp0(nameText, "Initialize") == 0 || g_strcmp0(nameText, "ExecuteRequest") == 0;
    if (known) {
        call->kind = g_strcmp0(nameText, "Initialize") == 0 ? HostCall::kInitialize : HostCall::kExecuteRequest;
        json_object* argument =
            json_object_object_get(message, call->kind == HostCall::kInitialize ? "origin" : "request");
        call->hasArgument = json_object_is_type(argument, json_type_string);
        call->argument = call->hasArgument ? std::string(json_object_get_string(argument),
                                                         static_cast<size_t>(json_object_get_string_len(argument)))
                                           : std::string();
    } else {
        *error = "the message names no known call";
    }
    json_object_put(message);
    return known;
}

std::string NotifyMessage(const char* text) { return TextMessage("notify", text); }

std::string LogMessage(const char* text) { return TextMessage("log", text); }

std::string ResultMessage(const std::string& text) { return Serialized("result", json_object_new_string(text.c_str())); }

std::string ResultMessage(bool result) { return Serialized("result", json_object_new_int(result ? 1 : 0)); }
