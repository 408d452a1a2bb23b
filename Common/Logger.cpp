#include "Logger.h"

#include "MessageEnvelope.h"
#include "json_msg_param.h"

#include "Platform/SystemLog/SystemLog.h"

#include <json-c/json.h>

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {
const size_t kLineBufferSize = 1024;
}  // namespace

CLogger::CLogger() : mCallback(nullptr), mCallbackData(0) {}

CLogger::~CLogger() = default;

void CLogger::Log(const char*, char*) { assert(mCallback != NULL); }

void CLogger::SetOutputProc(OutputProc proc, long data)
{
    mCallback = proc;
    mCallbackData = data;
}

void CLogger::LogFormatted(const char* level, const char* format, va_list arguments)
{
    if (!format)
        return;
    char buffer[kLineBufferSize];
    // Cut at 1023 bytes exactly, even inside a character: the line is passed on as formatted.
    vsnprintf(buffer, kLineBufferSize, format, arguments);
    buffer[kLineBufferSize - 1] = 0;
    Log(level, buffer);
}

#define QV_LOG_FORMATTED(level)              \
    va_list arguments;                       \
    va_start(arguments, format);             \
    LogFormatted(level, format, arguments);  \
    va_end(arguments)

void CLogger::Error(const char* format, ...) { QV_LOG_FORMATTED("ERROR"); }
void CLogger::Warning(const char* format, ...) { QV_LOG_FORMATTED("WARNING"); }
void CLogger::Info(const char* format, ...) { QV_LOG_FORMATTED("INFO"); }
void CLogger::Debug(const char* format, ...) { QV_LOG_FORMATTED("DEBUG"); }

void CLogger::DebugMsg(const char* text) { Log("DEBUG", const_cast<char*>(text)); }

void CLoggerMac::Log(const char* level, char* text)
{
    WC_WriteToSyslog(text);
    if (!mCallback || !level)
        return;
    json_object* message = json_object_new_object();
    if (json_msg_is_absent(message))
        return;
    // The text changes once a second, so it is formatted again only then.
    thread_local char timestamp[256] = {};
    thread_local time_t formattedAt = -1;
    const time_t now = time(nullptr);
    if (now != formattedAt) {
        strftime(timestamp, sizeof timestamp - 1, "%Y.%m.%d %H.%M.%S.000", localtime(&now));
        formattedAt = now;
    }
    json_object_object_add(message, "timestamp", json_object_new_string(timestamp));
    json_object_object_add(message, "text", json_object_new_string(text));
    json_object_object_add(message, "version", json_object_new_string(kMessageVersion));
    json_object_object_add(message, "type", json_object_new_string("Log"));
    json_object_object_add(message, "code", json_object_new_string(level));
    mCallback(mCallbackData, json_object_to_json_string(message));
    json_object_put(message);
}

CLogger* CLoggerFactory::CreateLogger() { return new CLoggerMac; }

void WC_WriteToSyslog(const char* text)
{
    SystemLogWrite("Qiravel Web Client", kSystemLogOptionPid, kSystemLogFacilityUser, kSystemLogPriorityDebug, text);
}
