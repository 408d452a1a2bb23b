// User-visible failures, sent to the page as "Error" notifications.
#include "QVWebClientBase.h"

#include "MessageEnvelope.h"
#include "Utf8Prefix.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
const size_t kReportBufferSize = 1024;
}  // namespace

void CQVWebClientBase::ReportError(tErrorStringID id, ...)
{
    xwstring format;
    if (!RetrieveErrorString(id, format) || !static_cast<const char*>(format)) {
        if (mLogger)
            mLogger->Error("Failed to retrieve error string %d", static_cast<int>(id));
        return;
    }

    // The text is cut to 1022 bytes, and a character cut in half is dropped so the page always
    // receives valid UTF-8.
    char text[kReportBufferSize];
    va_list arguments;
    va_start(arguments, id);
    vsnprintf(text, kReportBufferSize - 1, static_cast<const char*>(format), arguments);
    va_end(arguments);
    text[kReportBufferSize - 1] = 0;
    text[CompleteUTF8PrefixLength(text, strlen(text))] = 0;

    json_object* notification = NewMessage("Notification", "Error");
    if (!notification) {
        if (mLogger)
            mLogger->Error("Failed to create notification object");
        return;
    }
    json_object_object_add(notification, "text", json_object_new_string(text));
    HandleNotification(json_object_to_json_string(notification));
    json_object_put(notification);
}
