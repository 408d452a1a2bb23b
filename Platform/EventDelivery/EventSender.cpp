#include "EventSender.h"

#include "DeliveryLog.h"
#include "EventPort.h"
#include "Platform/Processes/Processes.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

const auto kConnectRetryDelay = std::chrono::milliseconds(1);

enum class WriteResult { done, timedOut, broken };

int MillisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

void CloseFd(int* fd)
{
    close(*fd);
    *fd = -1;
}

WriteResult WriteAll(int fd, const std::vector<char>& frame, Clock::time_point deadline, size_t* written)
{
    while (*written < frame.size()) {
        const ssize_t count = send(fd, frame.data() + *written, frame.size() - *written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0) {
            *written += static_cast<size_t>(count);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd entry = {fd, POLLOUT, 0};
            const int ready = poll(&entry, 1, MillisecondsLeft(deadline));
            if (ready == 0)
                return WriteResult::timedOut;
            if (ready < 0 && errno != EINTR)
                return WriteResult::broken;
        } else if (errno != EINTR) {
            return WriteResult::broken;
        }
    }
    return WriteResult::done;
}

// Connects to the target's port and checks that it is served by this user.
OSErr Connect(const ProcessSerialNumber& target, Clock::time_point deadline, int* fd)
{
    std::string path;
    if (!EventPort::PathFor(target, &path))
        return procNotFound;
    if (!IsProcessAlive(&target)) {
        unlink(path.c_str());
        return procNotFound;
    }
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return procNotFound;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);

    const int socketFd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socketFd < 0)
        return procNotFound;
    // A full backlog answers EAGAIN at once; try again until the deadline.
    while (connect(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EAGAIN && Clock::now() < deadline) {
            std::this_thread::sleep_for(kConnectRetryDelay);
        } else if (errno != EINTR) {
            const OSErr error = errno == EAGAIN ? errAETimeout : procNotFound;
            close(socketFd);
            return error;
        }
    }
    ucred peer = {};
    socklen_t size = sizeof peer;
    if (getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != geteuid()) {
        LogDeliveryWarning("Event port " + path + " is served by uid " + std::to_string(peer.uid) + "; not used");
        close(socketFd);
        return procNotFound;
    }
    *fd = socketFd;
    return noErr;
}
}  // namespace

EventSender& EventSender::Shared()
{
    static EventSender sender;
    return sender;
}

std::shared_ptr<EventSender::Link> EventSender::LinkFor(uint64_t key)
{
    ProcessSerialNumber self;
    GetCurrentProcess(&self);
    const pid_t pid = static_cast<pid_t>(self.lowLongOfPSN);
    std::lock_guard<std::mutex> lock(mMutex);
    if (mOwner != pid) {
        for (auto& entry : mLinks) {
            if (entry.second->fd >= 0)
                close(entry.second->fd);
        }
        mLinks.clear();
        mOwner = pid;
    }
    std::shared_ptr<Link>& link = mLinks[key];
    if (!link)
        link = std::make_shared<Link>();
    return link;
}

void EventSender::Forget(uint64_t key)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mLinks.erase(key);
}

OSErr EventSender::Send(const ProcessSerialNumber& target, const std::vector<char>& frame,
                        Clock::time_point deadline)
{
    const uint64_t key = static_cast<uint64_t>(target.highLongOfPSN) << 32 | target.lowLongOfPSN;
    const std::shared_ptr<Link> link = LinkFor(key);
    std::lock_guard<std::mutex> lock(link->mutex);
    for (;;) {
        bool fresh = false;
        if (link->fd < 0) {
            const OSErr error = Connect(target, deadline, &link->fd);
            if (error != noErr) {
                Forget(key);
                return error;
            }
            fresh = true;
        }
        size_t written = 0;
        switch (WriteAll(link->fd, frame, deadline, &written)) {
        case WriteResult::done:
            return noErr;
        case WriteResult::timedOut:
            // A frame cut short would corrupt the stream; the next event starts a new connection.
            if (written > 0)
                CloseFd(&link->fd);
            return errAETimeout;
        case WriteResult::broken:
            CloseFd(&link->fd);
            if (fresh || written > 0) {
                Forget(key);
                return procNotFound;
            }
            break;  // the cached connection was closed by the peer: one more try on a new one
        }
    }
}
