// Stand-in for the Process Manager: serial numbers that name a process for its lifetime, and the
// private per-user folder in which processes publish their event ports and check-ins.
//
// A serial number is the pid (low half, never 0) and the process's start time in clock ticks since
// boot (high half), so a later process that reuses the pid gets a different number. A process
// takes its number with its first GetCurrentProcess and holds it until it ends through an
// exclusive lock on a file named after it in the runtime folder. Whether a process still runs is
// whether that lock is held, which every process that sees the folder can tell, whatever pid
// namespace it or the holder runs in (a sandboxed process sees its own pids and /proc). Should
// a process in another pid namespace hold the number already (the same namespace pid started in
// the same tick), the newcomer takes another high half.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"

#include <string>

// paramErr for a null pointer; procNotFound when the runtime folder is refused or the number
// cannot be held. A forked child takes a number of its own and holds none of its parent's.
OSErr GetCurrentProcess(ProcessSerialNumber* psn);
// The number that the process with this pid in this pid namespace takes (unless a process in
// another namespace had it first); procNotFound when no process has that pid.
OSErr GetProcessForPID(int pid, ProcessSerialNumber* psn);
// True while the process named by psn runs and holds its number; a process that never took one
// counts as gone, and so does one that has exited but is not reaped yet.
Boolean IsProcessAlive(const ProcessSerialNumber* psn);

// "<high>-<low>" in decimal, the name under which a process publishes itself, and its inverse,
// which refuses anything that is not exactly such a name.
std::string ProcessSerialNumberName(const ProcessSerialNumber& psn);
bool ParseProcessSerialNumberName(const std::string& name, ProcessSerialNumber* psn);

// The runtime folder: $QIRAVEL_RUNTIME_DIR when set (a browser sets it for its sandboxed web
// processes, which see another $XDG_RUNTIME_DIR), else $XDG_RUNTIME_DIR/qiravel, else
// /tmp/qiravel-<uid>. It is created with mode 0700 and refused (false, with a system-log line)
// unless it is a real folder owned by this user and closed to everyone else.
bool GetProcessRuntimeFolder(std::string* path);
