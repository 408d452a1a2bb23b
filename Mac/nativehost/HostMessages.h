// The messages between the extension and the host: the calls it reads and the JSON texts it writes.
#pragma once

#include <string>

struct HostCall {
    enum Kind { kInitialize, kExecuteRequest };
    Kind kind = kInitialize;
    std::string argument;  // the origin of Initialize, the request text of ExecuteRequest
    bool hasArgument = false;
};

// The call a frame's payload carries; false with the reason in error for a payload that is not
// UTF-8, not one JSON object, or names no known call. A call without its string argument is still
// a call (hasArgument false), answered as a failed one.
bool ParseHostCall(const std::string& payload, HostCall* call, std::string* error);

// {"notify": text}, {"log": text}; bytes of text that are not UTF-8 become U+FFFD.
std::string NotifyMessage(const char* text);
std::string LogMessage(const char* text);
// {"result": text} and {"result": 1 or 0}.
std::string ResultMessage(const std::string& text);
std::string ResultMessage(bool result);
