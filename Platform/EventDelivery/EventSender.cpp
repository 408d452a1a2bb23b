#include "EventSender.h"

#include "DeliveryLog.h"
#include "EventDelivery.h"
#include "EventPort.h"
#include "PortSocket.h"
#include "Platform/Processes/Processes.h"

#include <glib-unix.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

// A target whose port backlog is full is tried again after this long.
const guint kConnectRetryMilliseconds = 10;
// Frames handed to one writev.
const int kFramesPerWrite = 64;

uint64_t Key(const ProcessSerialNumber& psn) { return static_cast<uint64_t>(psn.highLongOfPSN) << 32 | psn.lowLongOfPSN; }

enum class Connected { yes, later, gone };

// Connects to the target's port and checks that it is served by this user. A full backlog answers
// at once: later.
Connected Connect(const ProcessSerialNumber& target, int* fd)
{
    std::string path;
    if (!EventPort::PathFor(target, &path))
        return Connected::gone;
    if (!IsProcessAlive(&target)) {
        unlink(path.c_str());
        return Connected::gone;
    }
    sockaddr_un address;
    if (!PortSocketAddress(path, &address))
        return Connected::gone;

    const int socketFd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socketFd < 0)
        return Connected::gone;
    int result;
    do
        result = connect(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        const bool full = errno == EAGAIN;
        close(socketFd);
        return full ? Connected::later : Connected::gone;
    }
    ucred peer;
    if (!PeerIsThisUser(socketFd, &peer)) {
        LogDeliveryWarning("Event port " + path + " is served by uid " + std::to_string(peer.uid) + "; not used");
        close(socketFd);
        return Connected::gone;
    }
    *fd = socketFd;
    return Connected::yes;
}

// Whether another thread runs the default main context, which then writes the queues while the
// calling thread may wait.
bool LoopRunsElsewhere()
{
    GMainContext* context = g_main_context_default();
    if (g_main_context_is_owner(context))
        return false;
    if (g_main_context_acquire(context)) {
        g_main_context_release(context);
        return false;
    }
    return true;
}

bool Broken(int error) { return error != EAGAIN && error != EWOULDBLOCK && error != EINTR; }
}  // namespace

EventSender& EventSender::Shared()
{
    static EventSender sender;
    return sender;
}

// Connections and queues inherited across fork are the parent's: the child closes its copies of
// the sockets and starts afresh.
void EventSender::LeaveInherited(const ProcessSerialNumber& self)
{
    std::unordered_map<uint64_t, std::shared_ptr<Link>> inherited;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mOwner == Key(self))
            return;
        mOwner = Key(self);
        inherited.swap(mLinks);
    }
    for (auto& entry : inherited) {
        Link& link = *entry.second;
        std::lock_guard<std::mutex> lock(link.mutex);
        if (link.fd >= 0)
            close(link.fd);
        link.fd = -1;
        link.closed = true;
        Unwatch(&link);
    }
}

std::shared_ptr<EventSender::Link> EventSender::LinkFor(const ProcessSerialNumber& target)
{
    std::lock_guard<std::mutex> lock(mMutex);
    std::shared_ptr<Link>& link = mLinks[Key(target)];
    if (!link) {
        link = std::make_shared<Link>();
        link->target = target;
    }
    return link;
}

void EventSender::Forget(const std::shared_ptr<Link>& link)
{
    std::lock_guard<std::mutex> lock(mMutex);
    const auto found = mLinks.find(Key(link->target));
    if (found != mLinks.end() && found->second == link)
        mLinks.erase(found);
}

OSErr EventSender::Send(const ProcessSerialNumber& self, const ProcessSerialNumber& target, std::vector<char>* frame,
                        std::chrono::microseconds timeout)
{
    LeaveInherited(self);
    // A cached connection that the target closed is replaced once.
    bool retried = false;
    for (;;) {
        const std::shared_ptr<Link> link = LinkFor(target);
        std::unique_lock<std::mutex> lock(link->mutex);
        if (link->closed)
            continue;
        bool fresh = false;
        if (link->fd < 0 && link->queue.empty()) {
            switch (Connect(target, &link->fd)) {
            case Connected::yes:
                fresh = true;
                break;
            case Connected::later:
                return Queue(link, lock, frame, 0, timeout.count());
            case Connected::gone:
                link->closed = true;
                Forget(link);
                return procNotFound;
            }
        }
        if (!link->queue.empty() || link->fd < 0)
            return Queue(link, lock, frame, 0, timeout.count());
        ssize_t count;
        do
            count = send(link->fd, frame->data(), frame->size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        while (count < 0 && errno == EINTR);
        if (count == static_cast<ssize_t>(frame->size()))
            return noErr;
        if (count < 0 && Broken(errno)) {
            close(link->fd);
            link->fd = -1;
            link->closed = true;
            Forget(link);
            if (fresh || retried)
                return procNotFound;
            retried = true;
            continue;
        }
        return Queue(link, lock, frame, count > 0 ? static_cast<size_t>(count) : 0, timeout.count());
    }
}

OSErr EventSender::Queue(const std::shared_ptr<Link>& link, std::unique_lock<std::mutex>& lock,
                         std::vector<char>* frame, size_t written, gint64 timeout)
{
    const size_t size = frame->size() - written;
    const auto fits = [&] { return link->closed || link->queue.empty() || link->queuedBytes + size <= kMaxQueuedBytes; };
    if (!fits()) {
        if (!LoopRunsElsewhere() || !link->room.wait_for(lock, std::chrono::microseconds(timeout), fits))
            return errAEBufferTooSmall;
        if (link->closed)
            return procNotFound;
    }
    Pending pending;
    if (written == 0)
        pending.bytes.swap(*frame);
    else
        pending.bytes.assign(frame->begin() + static_cast<ptrdiff_t>(written), frame->end());
    pending.written = 0;
    pending.timeout = timeout;
    if (link->queue.empty())
        link->lastProgress = g_get_monotonic_time();
    link->queue.push_back(std::move(pending));
    link->queuedBytes += size;
    PumpAndWatch(link, false);
    return noErr;
}

// Writes as much of the queue as the socket takes and, when mayGiveUp, drops a queue that made no
// progress for the time-out of its head. Called with the link's mutex held.
EventSender::Pumped EventSender::Pump(const std::shared_ptr<Link>& link, bool mayGiveUp)
{
    if (link->closed)
        return Pumped::dropped;
    if (link->fd < 0) {
        switch (Connect(link->target, &link->fd)) {
        case Connected::yes:
            break;
        case Connected::later:
            if (mayGiveUp && g_get_monotonic_time() - link->lastProgress >= link->queue.front().timeout) {
                Drop(link, "its port took no connection in time");
                return Pumped::dropped;
            }
            return Pumped::retryConnect;
        case Connected::gone:
            Drop(link, "it is gone");
            return Pumped::dropped;
        }
    }
    while (!link->queue.empty()) {
        iovec vectors[kFramesPerWrite];
        int count = 0;
        for (auto pending = link->queue.begin(); pending != link->queue.end() && count < kFramesPerWrite; ++pending) {
            vectors[count].iov_base = pending->bytes.data() + pending->written;
            vectors[count].iov_len = pending->bytes.size() - pending->written;
            ++count;
        }
        msghdr message = {};
        message.msg_iov = vectors;
        message.msg_iovlen = static_cast<size_t>(count);
        ssize_t sent = sendmsg(link->fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (!Broken(errno))
                break;
            Drop(link, std::string("its connection failed: ") + strerror(errno));
            return Pumped::dropped;
        }
        link->lastProgress = g_get_monotonic_time();
        link->queuedBytes -= static_cast<size_t>(sent);
        while (sent > 0) {
            Pending& front = link->queue.front();
            const size_t part = std::min(static_cast<size_t>(sent), front.bytes.size() - front.written);
            front.written += part;
            sent -= static_cast<ssize_t>(part);
            if (front.written == front.bytes.size())
                link->queue.pop_front();
        }
        link->room.notify_all();
    }
    if (link->queue.empty())
        return Pumped::idle;
    if (mayGiveUp && g_get_monotonic_time() - link->lastProgress >= link->queue.front().timeout) {
        char waited[32];
        snprintf(waited, sizeof waited, "%.1f", static_cast<double>(link->queue.front().timeout) / G_USEC_PER_SEC);
        Drop(link, std::string("it took nothing for ") + waited + " s");
        return Pumped::dropped;
    }
    return Pumped::waiting;
}

void EventSender::Drop(const std::shared_ptr<Link>& link, const std::string& reason)
{
    LogDeliveryWarning(std::to_string(link->queue.size()) + " events (" + std::to_string(link->queuedBytes) +
                       " bytes) queued for process " + ProcessSerialNumberName(link->target) +
                       " are dropped and its connection closed: " + reason);
    if (link->fd >= 0)
        close(link->fd);
    link->fd = -1;
    link->closed = true;
    link->queue.clear();
    link->queuedBytes = 0;
    link->room.notify_all();
    Unwatch(link.get());
    Forget(link);
}

// Writes what the socket takes, then arms the link's watch on the default main context for what is
// left: writability of its socket, with a wake-up when the head of the queue would time out, or a
// timer to connect again; none once the queue is empty or dropped. Called with the link's mutex
// held.
EventSender::Pumped EventSender::PumpAndWatch(const std::shared_ptr<Link>& link, bool mayGiveUp)
{
    const Pumped state = Pump(link, mayGiveUp);
    if (state == Pumped::idle || state == Pumped::dropped) {
        Unwatch(link.get());
        return state;
    }
    const int watched = state == Pumped::waiting ? link->fd : -1;
    if (!link->watch || link->watchedFd != watched) {
        Unwatch(link.get());
        link->watchedFd = watched;
        GSourceFunc callback = &EventSender::OnWatch;
        if (watched < 0) {
            link->watch = g_timeout_source_new(kConnectRetryMilliseconds);
        } else {
            link->watch = g_unix_fd_source_new(watched, G_IO_OUT);
            const auto onWritable = [](gint, GIOCondition, gpointer data) { return OnWatch(data); };
            callback = G_SOURCE_FUNC(+onWritable);
        }
        g_source_set_callback(link->watch, callback, new std::shared_ptr<Link>(link),
                              [](gpointer data) { delete static_cast<std::shared_ptr<Link>*>(data); });
        g_source_set_name(link->watch, "event sender");
        g_source_attach(link->watch, nullptr);
    }
    if (watched >= 0)
        g_source_set_ready_time(link->watch, link->lastProgress + link->queue.front().timeout);
    return state;
}

void EventSender::Unwatch(Link* link)
{
    if (!link->watch)
        return;
    g_source_destroy(link->watch);
    g_source_unref(link->watch);
    link->watch = nullptr;
}

gboolean EventSender::OnWatch(gpointer data)
{
    const std::shared_ptr<Link> link = *static_cast<std::shared_ptr<Link>*>(data);
    std::lock_guard<std::mutex> lock(link->mutex);
    Shared().PumpAndWatch(link);
    return link->watch == g_main_current_source() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

bool EventSender::Flush(Clock::time_point deadline)
{
    for (;;) {
        std::vector<std::shared_ptr<Link>> links;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            for (const auto& entry : mLinks)
                links.push_back(entry.second);
        }
        std::vector<pollfd> waiting;
        bool connecting = false;
        for (const std::shared_ptr<Link>& link : links) {
            std::lock_guard<std::mutex> lock(link->mutex);
            if (link->queue.empty())
                continue;
            const Pumped state = PumpAndWatch(link);
            if (state == Pumped::waiting)
                waiting.push_back({link->fd, POLLOUT, 0});
            connecting |= state == Pumped::retryConnect;
        }
        if (waiting.empty() && !connecting)
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        const int wait = connecting ? std::min<int>(static_cast<int>(kConnectRetryMilliseconds), static_cast<int>(left))
                                    : static_cast<int>(std::min<long long>(left, INT32_MAX));
        poll(waiting.data(), waiting.size(), wait);
    }
}
