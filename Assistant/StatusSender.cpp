#include "StatusSender.h"

#include "AssistantLog.h"
#include "Common/AssistantLink.h"
#include "MainThread.h"
#include "Platform/EventDelivery/EventDelivery.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {
// A receiver that is alive but takes nothing keeps its events this long before the link gives them
// up (ticks of 1/60 s): an hour, far longer than any dialog stays open.
const long kStatusTimeoutTicks = 60 * 60 * 60;

uint64_t ProcessKey(const ProcessSerialNumber& psn)
{
    return static_cast<uint64_t>(psn.highLongOfPSN) << 32 | psn.lowLongOfPSN;
}

std::string ProcessName(const ProcessSerialNumber& psn)
{
    return std::to_string(psn.highLongOfPSN) + "-" + std::to_string(psn.lowLongOfPSN);
}
}  // namespace


struct StatusSender::Receiver {
    struct Message {
        std::string text;
        unsigned progressOf;
    };
    StatusAddress address;
    std::deque<Message> queue;
    bool sending = false;
    bool full = false;  // reached the bound, and not yet down to half of it
    std::thread thread;
};

// What the threads use; they hold it, so that one stuck in a send outlives the sender safely.
struct StatusSender::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable drained;
    std::map<uint64_t, Receiver> receivers;
    std::set<uint64_t> gone;
    bool ending = false;
    std::function<void()> onDrained;

    bool Idle() const
    {
        for (const auto& receiver : receivers) {
            if (!receiver.second.queue.empty() || receiver.second.sending)
                return false;
        }
        return true;
    }
};

namespace {
OSErr Deliver(const StatusAddress& address, const std::string& text)
{
    AEAddressDesc target;
    AppleEvent event;
    AppleEvent reply;
    AEInitializeDesc(&target);
    AEInitializeDesc(&event);
    AEInitializeDesc(&reply);
    OSErr error = AECreateDesc(typeProcessSerialNumber, &address.process, sizeof address.process, &target);
    if (error == noErr)
        error = AECreateAppleEvent(kAssistantEventClass, kStatusEventID, &target, kAutoGenerateReturnID,
                                   kAnyTransactionID, &event);
    if (error == noErr)
        error = AEPutParamPtr(&event, kStatusRefConKeyword, address.refConType, address.refCon.data(),
                              static_cast<Size>(address.refCon.size()));
    if (error == noErr)
        error = AEPutParamPtr(&event, kNotificationKeyword, typeChar, text.data(), static_cast<Size>(text.size()));
    if (error == noErr)
        error = AESendMessage(&event, &reply, kAENoReply | kAENeverInteract, kStatusTimeoutTicks);
    AEDisposeDesc(&reply);
    AEDisposeDesc(&event);
    AEDisposeDesc(&target);
    return error;
}
}  // namespace

StatusSender::StatusSender(std::function<void()> drained) : mShared(std::make_shared<Shared>())
{
    mShared->onDrained = std::move(drained);
}

StatusSender::~StatusSender()
{
    // A thread stuck in a send to a stalled receiver is left to the exit; it holds what it uses.
    std::vector<std::pair<std::thread, bool>> threads;
    {
        std::lock_guard<std::mutex> lock(mShared->mutex);
        mShared->ending = true;
        for (auto& receiver : mShared->receivers)
            threads.emplace_back(std::move(receiver.second.thread), receiver.second.sending);
    }
    mShared->wake.notify_all();
    for (auto& thread : threads) {
        if (thread.second)
            thread.first.detach();
        else
            thread.first.join();
    }
}

void StatusSender::Send(const StatusAddress& address, std::string notification, unsigned progressOf)
{
    if (address.process.lowLongOfPSN == 0)
        return;
    const uint64_t key = ProcessKey(address.process);
    std::lock_guard<std::mutex> lock(mShared->mutex);
    if (mShared->gone.count(key) || mShared->ending)
        return;
    Receiver& receiver = mShared->receivers[key];
    receiver.address = address;
    if (progressOf) {
        for (Receiver::Message& waiting : receiver.queue) {
            if (waiting.progressOf == progressOf) {
                waiting.text = std::move(notification);
                return;
            }
        }
    }
    receiver.queue.push_back({std::move(notification), progressOf});
    if (receiver.queue.size() >= kQueueBound)
        receiver.full = true;
    if (!receiver.thread.joinable())
        receiver.thread = std::thread(&StatusSender::Run, mShared, key);
    mShared->wake.notify_all();
}

bool StatusSender::Full(const StatusAddress& address)
{
    std::lock_guard<std::mutex> lock(mShared->mutex);
    const auto found = mShared->receivers.find(ProcessKey(address.process));
    return found != mShared->receivers.end() && found->second.full;
}

bool StatusSender::Drain(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mShared->mutex);
    return mShared->drained.wait_for(lock, limit, [this] { return mShared->Idle(); });
}

void StatusSender::Run(std::shared_ptr<Shared> shared, uint64_t key)
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    Receiver& receiver = shared->receivers[key];
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->ending || !receiver.queue.empty(); });
        if (shared->ending)
            return;
        const StatusAddress address = receiver.address;
        const std::string text = receiver.queue.front().text;
        receiver.sending = true;
        lock.unlock();
        OSErr error = Deliver(address, text);
        lock.lock();
        receiver.sending = false;
        // Still full after an hour: the link has given the receiver's events up; this one is tried
        // again.
        if (error == errAEBufferTooSmall)
            continue;
        receiver.queue.pop_front();
        if (error == procNotFound) {
            receiver.queue.clear();
            shared->gone.insert(key);
            AssistantLog(LogLevel::info, "Process " + ProcessName(address.process) + " is gone; its jobs go on unheard");
        } else if (error != noErr) {
            AssistantLog(LogLevel::warning, "A status event for process " + ProcessName(address.process) +
                                                " was not delivered (" + std::to_string(error) + ")");
        }
        if (receiver.full && receiver.queue.size() <= kQueueBound / 2) {
            receiver.full = false;
            if (shared->onDrained)
                RunOnMainThread(shared->onDrained);
        }
        if (shared->Idle())
            shared->drained.notify_all();
    }
}
