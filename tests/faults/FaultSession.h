// Helpers of the fault tests on top of the transfer sessions: the runtime folder of a sandbox,
// the test Assistant's desktop entry, holding a dead process's number, and a process's use of
// descriptors and CPU.
#pragma once

#include "TransferSession.h"

#include "Platform/AppleEvents/AppleEvents.h"

#include <string>
#include <sys/types.h>

// A page request that touches neither the list nor the Assistant: once its result is in, so is
// every notification of the requests before it.
inline const char kHarmless[] =
    R"({"type":"Request","code":"SetParameter","name":"FileTransferLimit","value":100000})";

// A sandbox with the test Assistant running and checked in, recording every request it is handed.
struct RecordedSession {
    Sandbox sandbox;
    std::string record = sandbox.Path("record.log");
    Child assistant{{TEST_ASSISTANT_PATH, "--record", record, "--idle-seconds", "60"}, sandbox.ErrorLog(), false};

    RecordedSession() { EXPECT_TRUE(Eventually([&] { return ListedAssistant().lowLongOfPSN == UInt32(assistant.Pid()); }, 30000)); }
};

// The folder in which the sandbox's processes publish their ports, check-ins and locks.
std::string RuntimeFolder(const Sandbox& sandbox);

// Holds the lock file of a process that has ended, from a forked process, so that others still
// take it for alive: the state in which a look-up has just found it and it dies right after.
// Given another user, it makes the lock itself and listens at the process's port as that user.
class LockHolder {
public:
    LockHolder(const Sandbox& sandbox, const ProcessSerialNumber& psn, uid_t listenAs = 0);
    ~LockHolder() { Release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool Holding() const { return mPid > 0; }
    void Release();

private:
    pid_t mPid = -1;
};

// Sends the process a notification through a status event, as the Assistant would.
OSErr SendStatus(const ProcessSerialNumber& target, unsigned int refCon, const std::string& notification);
// The same to the process with the id; procNotFound when there is none.
OSErr SendStatus(pid_t pid, unsigned int refCon, const std::string& notification);

// The lowest descriptor number the process has free: with its limit there, it can open no more.
int LowestFreeDescriptor(pid_t pid);
// User and system CPU time the process has used, in clock ticks.
unsigned long long CpuTicks(pid_t pid);
// A request the test Assistant recorded ("... navG=<size>:<refCon> <json>"), in order.
struct RecordedRequest {
    unsigned int refCon;
    std::string json;
};
std::vector<RecordedRequest> RecordedRequests(const std::string& record);
