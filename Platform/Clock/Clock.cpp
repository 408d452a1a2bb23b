#include "Clock.h"

#include <chrono>

namespace {
// Seconds between the Unix epoch and 1 January 2001 00:00:00 GMT.
const double kUnixToAbsoluteEpoch = 978307200.0;
CFAbsoluteTime (*sSource)() = nullptr;
}  // namespace

CFAbsoluteTime CFAbsoluteTimeGetCurrent()
{
    if (sSource)
        return sSource();
    const auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceUnixEpoch).count() - kUnixToAbsoluteEpoch;
}

void ClockSetSourceForTesting(CFAbsoluteTime (*source)()) { sSource = source; }
