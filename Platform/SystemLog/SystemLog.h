// The system log: one finished text per call, opened and closed around each line. When no
// system-log socket takes connections (none there, or nobody reading it), the line goes to standard
// error instead, as "identity[pid]: text" on one line, so that it is not lost unseen.
// Observers see every line as written, so tests can read the log without a syslog daemon.
#pragma once

enum {
    kSystemLogOptionPid = 0x01,    // LOG_PID
    kSystemLogFacilityUser = 1 << 3,  // LOG_USER
    kSystemLogPriorityDebug = 7,   // LOG_DEBUG
};

void SystemLogWrite(const char* identity, int options, int facility, int priority, const char* text);

// While one lives on a thread, the lines that go to standard error there are gathered and written
// together when the outermost one ends (sooner once they would pass PIPE_BUF bytes), so that the
// lines of one request cost one write. The system log itself and the observer get each line at once.
class SystemLogBatch {
public:
    SystemLogBatch();
    ~SystemLogBatch();
    SystemLogBatch(const SystemLogBatch&) = delete;
    SystemLogBatch& operator=(const SystemLogBatch&) = delete;
};

// Receives each line after it was handed to the system log; null removes the observer.
typedef void (*SystemLogObserver)(const char* identity, int priority, const char* text, void* context);
void SystemLogSetObserver(SystemLogObserver observer, void* context);

// The socket that decides between the system log and standard error; null restores "/dev/log".
void SystemLogSetSocketPathForTesting(const char* path);
