#include "SystemLog.h"

#include <syslog.h>

static_assert(kSystemLogOptionPid == LOG_PID && kSystemLogFacilityUser == LOG_USER &&
                  kSystemLogPriorityDebug == LOG_DEBUG,
              "system-log constants must match syslog.h");

namespace {
SystemLogObserver sObserver = nullptr;
void* sObserverContext = nullptr;
}  // namespace

void SystemLogWrite(const char* identity, int options, int facility, int priority, const char* text)
{
    openlog(identity, options, facility);
    syslog(priority, "%s", text);
    closelog();
    if (sObserver)
        sObserver(identity, priority, text, sObserverContext);
}

void SystemLogSetObserver(SystemLogObserver observer, void* context)
{
    sObserver = observer;
    sObserverContext = context;
}
