// AESendMessage: events to another process go out as frames on its port; events to this process
// go straight into its own port's inbox.
#include "EventDelivery.h"

#include "EventPort.h"
#include "EventSender.h"
#include "Frames.h"
#include "Platform/Processes/Processes.h"

#include <algorithm>

namespace {
const long kDefaultTimeoutTicks = 3600;
// Longer time-outs are cut to a day, which keeps the deadline arithmetic in range.
const long kLongestTimeoutTicks = 60L * 60 * 60 * 24;
const size_t kKeptFrameCapacity = 1 << 20;

std::chrono::microseconds Ticks(long ticks)
{
    const long bounded = ticks < 0 ? kDefaultTimeoutTicks : std::min(ticks, kLongestTimeoutTicks);
    return std::chrono::microseconds(static_cast<int64_t>(bounded) * 1000000 / 60);
}
}  // namespace

OSErr AESendMessage(const AppleEvent* event, AppleEvent*, AESendMode sendMode, long timeOutInTicks)
{
    if (!event || event->descriptorType != typeAppleEvent || !(sendMode & kAENoReply))
        return paramErr;
    const auto timeout = Ticks(timeOutInTicks);
    ProcessSerialNumber target;
    DescType actualType = typeNull;
    Size size = 0;
    OSErr error = AEGetAttributePtr(event, keyAddressAttr, typeProcessSerialNumber, &actualType, &target,
                                    sizeof target, &size);
    if (error != noErr)
        return error;
    if (size != sizeof target)
        return errAEWrongDataType;

    ProcessSerialNumber self;
    error = GetCurrentProcess(&self);
    if (error != noErr)
        return error;
    if (self.highLongOfPSN == target.highLongOfPSN && self.lowLongOfPSN == target.lowLongOfPSN) {
        EventPort* port = EventPort::Current();
        return port ? port->PostToSelf(event, std::chrono::steady_clock::now() + timeout) : procNotFound;
    }
    // One frame buffer per thread, given back after an unusually large event.
    thread_local std::vector<char> frame;
    error = BuildEventFrame(event, &frame);
    if (error != noErr)
        return error;
    error = EventSender::Shared().Send(self, target, &frame, timeout);
    if (frame.capacity() > kKeptFrameCapacity)
        std::vector<char>().swap(frame);
    return error;
}

OSErr AEFlushPendingEvents(long timeOutInTicks)
{
    return EventSender::Shared().Flush(std::chrono::steady_clock::now() + Ticks(timeOutInTicks)) ? noErr
                                                                                               : errAETimeout;
}
