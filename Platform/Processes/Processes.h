// Stand-in for the Process Manager: serial numbers that name a process for its lifetime, and the
// private per-user folder in which processes publish their event ports and check-ins.
//
// A serial number is the pid (low half, never 0) and the process's start time in clock ticks since
// boot (high half), so a later process that reuses the pid gets a different number.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"

#include <string>

// paramErr for a null pointer.
OSErr GetCurrentProcess(ProcessSerialNumber* psn);
// procNotFound when no process has that pid.
OSErr GetProcessForPID(int pid, ProcessSerialNumber* psn);
// True while the process named by psn runs (a zombie counts as gone).
Boolean IsProcessAlive(const ProcessSerialNumber* psn);

// "<high>-<low>" in decimal, the name under which a process publishes itself, and its inverse,
// which refuses anything that is not exactly such a name.
std::string ProcessSerialNumberName(const ProcessSerialNumber& psn);
bool ParseProcessSerialNumberName(const std::string& name, ProcessSerialNumber* psn);

// The runtime folder: $XDG_RUNTIME_DIR/qiravel, or /tmp/qiravel-<uid> when that is unset. It is
// created with mode 0700 and refused (false, with a system-log line) unless it is a real folder
// owned by this user and closed to everyone else.
bool GetProcessRuntimeFolder(std::string* path);
