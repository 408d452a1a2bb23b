// The absolute-time clock: seconds since 1 January 2001 00:00:00 GMT.
#pragma once

typedef double CFAbsoluteTime;

CFAbsoluteTime CFAbsoluteTimeGetCurrent();

// Replaces the clock's source (null restores the system clock); for tests.
void ClockSetSourceForTesting(CFAbsoluteTime (*source)());
