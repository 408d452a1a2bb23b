#include "MessageEnvelope.h"

#include "json_msg_param.h"

const char kMessageVersion[] = "8.0.1x189";

json_object* NewMessage(const char* type, const char* code)
{
    json_object* message = json_object_new_object();
    if (json_msg_is_absent(message))
        return nullptr;
    json_object_object_add(message, "version", json_object_new_string(kMessageVersion));
    json_object_object_add(message, "type", json_object_new_string(type));
    json_object_object_add(message, "code", json_object_new_string(code));
    return message;
}
