#include "AssistantLog.h"

#include "Platform/SystemLog/SystemLog.h"

#include <cstdio>
#include <mutex>
#include <syslog.h>

void AssistantLog(LogLevel level, const std::string& text)
{
    static std::mutex mutex;
    const int priority = level == LogLevel::error ? LOG_ERR : level == LogLevel::warning ? LOG_WARNING : LOG_INFO;
    std::lock_guard<std::mutex> lock(mutex);
    SystemLogWrite("Qiravel Assistant", kSystemLogOptionPid, kSystemLogFacilityUser, priority, text.c_str());
    fprintf(stderr, "qiravel-assistant: %s\n", text.c_str());
}
