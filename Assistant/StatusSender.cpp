#include "StatusSender.h"

#include "AssistantLog.h"
#include "Common/AssistantLink.h"
#include "Platform/EventDelivery/EventDelivery.h"

namespace {
// A receiver that takes no event for this long loses that one event, not the job.
const long kStatusTimeoutTicks = 5 * 60;

uint64_t ProcessKey(const ProcessSerialNumber& psn)
{
    return static_cast<uint64_t>(psn.highLongOfPSN) << 32 | psn.lowLongOfPSN;
}

std::string ProcessName(const ProcessSerialNumber& psn)
{
    return std::to_string(psn.highLongOfPSN) + "-" + std::to_string(psn.lowLongOfPSN);
}
}  // namespace

StatusSender::StatusSender() : mThread(&StatusSender::Run, this) {}

StatusSender::~StatusSender()
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mEnding = true;
    }
    mWake.notify_all();
    mThread.join();
}

void StatusSender::Send(const StatusAddress& address, std::string notification)
{
    if (address.process.lowLongOfPSN == 0)
        return;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mQueue.push_back({address, std::move(notification)});
    }
    mWake.notify_one();
}

bool StatusSender::Drain(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mMutex);
    return mDrained.wait_for(lock, limit, [this] { return mQueue.empty() && !mSending; });
}

void StatusSender::Run()
{
    std::unique_lock<std::mutex> lock(mMutex);
    for (;;) {
        mWake.wait(lock, [this] { return mEnding || !mQueue.empty(); });
        if (mEnding)
            return;
        const Message message = std::move(mQueue.front());
        mQueue.pop_front();
        mSending = true;
        lock.unlock();
        Deliver(message);
        lock.lock();
        mSending = false;
        if (mQueue.empty())
            mDrained.notify_all();
    }
}

void StatusSender::Deliver(const Message& message)
{
    const uint64_t key = ProcessKey(message.address.process);
    if (mGone.count(key))
        return;
    AEAddressDesc target;
    AppleEvent event;
    AppleEvent reply;
    AEInitializeDesc(&target);
    AEInitializeDesc(&event);
    AEInitializeDesc(&reply);
    const StatusAddress& address = message.address;
    OSErr error = AECreateDesc(typeProcessSerialNumber, &address.process, sizeof address.process, &target);
    if (error == noErr)
        error = AECreateAppleEvent(kAssistantEventClass, kStatusEventID, &target, kAutoGenerateReturnID, kAnyTransactionID, &event);
    if (error == noErr)
        error = AEPutParamPtr(&event, kStatusRefConKeyword, address.refConType, address.refCon.data(),
                              static_cast<Size>(address.refCon.size()));
    if (error == noErr)
        error = AEPutParamPtr(&event, kNotificationKeyword, typeChar, message.text.data(), static_cast<Size>(message.text.size()));
    if (error == noErr)
        error = AESendMessage(&event, &reply, kAENoReply | kAENeverInteract, kStatusTimeoutTicks);
    AEDisposeDesc(&reply);
    AEDisposeDesc(&event);
    AEDisposeDesc(&target);
    if (error == procNotFound) {
        mGone.insert(key);
        AssistantLog(LogLevel::info, "Process " + ProcessName(address.process) + " is gone; its jobs go on unheard");
    } else if (error != noErr) {
        AssistantLog(LogLevel::warning, "A status event for process " + ProcessName(address.process) +
                                            " was not delivered (" + std::to_string(error) + ")");
    }
}
