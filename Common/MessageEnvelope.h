// The envelope that starts every message the client builds.
#pragma once

#include <json-c/json.h>

extern const char kMessageVersion[];

// A new object holding "version", "type" and "code", in that order; null when it cannot be made.
json_object* NewMessage(const char* type, const char* code);
