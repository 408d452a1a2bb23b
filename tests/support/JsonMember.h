// Reading one member of a JSON text in tests.
#pragma once

#include <json-c/json.h>

#include <string>

// The member as text (a string's value, any other value as JSON); "<missing>" when absent.
inline std::string JsonMember(const std::string& json, const char* key)
{
    json_object* parsed = json_tokener_parse(json.c_str());
    json_object* value = nullptr;
    std::string text = "<missing>";
    if (parsed && json_object_object_get_ex(parsed, key, &value))
        text = json_object_get_type(value) == json_type_string ? json_object_get_string(value)
                                                                : json_object_to_json_string(value);
    json_object_put(parsed);
    return text;
}
