// Start times from /proc/<pid>/stat (field 22, clock ticks since boot).
#pragma once

// The start time of the process with this pid as this process's /proc shows it, or of this
// process itself for pid 0; false when there is no such process or /proc cannot be read.
bool ReadProcessStartTime(int pid, unsigned long long* startTime);
