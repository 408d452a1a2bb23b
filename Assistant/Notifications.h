// One status notification for the page, in the plug-in's message envelope: "version", "type"
// "Notification", "code", then "job" and the members of the code.
#pragma once

#include "TransferRequest.h"

#include <cstdint>
#include <string>

class Notification {
public:
    // job: the page's own "job" member, repeated as it was given, or null for the job number.
    Notification(const char* code, json_object* job, unsigned jobNumber);

    Notification& Add(const char* key, const std::string& text);
    Notification& Add(const char* key, uint64_t number);
    // Takes the value.
    Notification& Add(const char* key, json_object* value);

    // Compact JSON text, with "/" unescaped.
    std::string Text() const;

private:
    JsonPtr mMessage;
};
