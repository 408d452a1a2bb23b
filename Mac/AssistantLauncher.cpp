// Finding the Assistant among the running applications, launching it when it is absent.
#include "QVWebClientBaseMac.h"

#include "Platform/Workspace/Workspace.h"

#include <ctime>
#include <unistd.h>

namespace {
const long kLaunchWaitSeconds = 120;
const unsigned int kPollMicroseconds = 100000;

long WallClockSeconds() { return static_cast<long>(time(nullptr)); }
void SleepMicroseconds(unsigned int microseconds) { usleep(microseconds); }

CQVWebClientBaseMac::WaitClock sWaitClock = {&WallClockSeconds, &SleepMicroseconds};
}  // namespace

void CQVWebClientBaseMac::SetWaitClock(const WaitClock& clock) { sWaitClock = clock; }

bool FindAProcess(ProcessSerialNumber& psn)
{
    psn.highLongOfPSN = 0;
    psn.lowLongOfPSN = 0;
    for (const RunningApplication& application : WorkspaceLaunchedApplications()) {
        if (application.bundleIdentifier == kAssistantBundleIdentifier) {
            psn.highLongOfPSN = application.processSerialNumberHigh;
            psn.lowLongOfPSN = application.processSerialNumberLow;
            return true;
        }
    }
    return false;
}

bool CQVWebClientBaseMac::FindAssistantApplication(ProcessSerialNumber& psn)
{
    if (FindAProcess(psn))
        return psn.lowLongOfPSN != 0;
    try {
        const UInt32 options = kWorkspaceLaunchAndHide | kWorkspaceLaunchAsync | kWorkspaceLaunchWithoutActivation;
        if (WorkspaceLaunchAppWithBundleIdentifier(kAssistantBundleIdentifier, options)) {
            const long start = sWaitClock.now();
            while (!FindAProcess(psn)) {
                sWaitClock.sleepMicroseconds(kPollMicroseconds);
                if (sWaitClock.now() - start > kLaunchWaitSeconds) {
                    WC_WriteToSyslog("Timeout waiting for Assistant process to launch");
                    break;
                }
            }
        }
    } catch (...) {
        // The search ends; the serial number says what the last look-up found.
    }
    return psn.lowLongOfPSN != 0;
}
