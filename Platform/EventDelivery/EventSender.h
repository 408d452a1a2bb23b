// The sending end of event delivery: one connection per target process, each with a queue of
// outgoing frames. A frame goes straight into the socket when nothing waits ahead of it; what the
// socket does not take at once is queued and written from the default GLib main context whenever
// the socket can take more, so a sender never waits for its target and its loop keeps reading and
// dispatching. A queue that makes no progress for the time-out of the event at its head is given
// up: the connection is closed and its events dropped with one system-log line.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"

#include <glib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

class EventSender {
public:
    // Bytes that may wait for one target; a single frame is always taken into an empty queue.
    static const size_t kMaxQueuedBytes = 32u << 20;

    static EventSender& Shared();

    // Writes or queues one frame for the target; frame may be taken over. self names the sending
    // process, so that connections inherited across fork are not used.
    //   procNotFound         the target is gone or has no port
    //   errAEBufferTooSmall  the target's queue has no room for the frame; a thread other than the
    //                        one running the default main context first waits up to the time-out
    OSErr Send(const ProcessSerialNumber& self, const ProcessSerialNumber& target, std::vector<char>* frame,
               std::chrono::microseconds timeout);
    // Writes what is queued for every target from the calling thread, up to the deadline; true when
    // nothing is left.
    bool Flush(std::chrono::steady_clock::time_point deadline);

private:
    struct Pending {
        std::vector<char> bytes;
        size_t written;
        gint64 timeout;  // microseconds without progress before the queue is given up
    };
    struct Link {
        std::mutex mutex;
        std::condition_variable room;
        ProcessSerialNumber target = {0, 0};
        int fd = -1;
        bool closed = false;  // given up; a later send makes a new link
        std::deque<Pending> queue;
        size_t queuedBytes = 0;
        gint64 lastProgress = 0;
        GSource* watch = nullptr;
        int watchedFd = -1;  // the socket the watch waits on; -1 for a timer to connect again
    };
    enum class Pumped { idle, waiting, retryConnect, dropped };

    void LeaveInherited(const ProcessSerialNumber& self);
    std::shared_ptr<Link> LinkFor(const ProcessSerialNumber& target);
    void Forget(const std::shared_ptr<Link>& link);
    OSErr Queue(const std::shared_ptr<Link>& link, std::unique_lock<std::mutex>& lock, std::vector<char>* frame,
                size_t written, gint64 timeout);
    Pumped Pump(const std::shared_ptr<Link>& link, bool mayGiveUp);
    // Sends never give up a queue themselves; the watch and Flush do.
    Pumped PumpAndWatch(const std::shared_ptr<Link>& link, bool mayGiveUp = true);
    void Drop(const std::shared_ptr<Link>& link, const std::string& reason);
    static void Unwatch(Link* link);
    static gboolean OnWatch(gpointer data);

    // Lock order: a link's mutex before the registry's, never the other way round.
    std::mutex mMutex;  // guards mOwner and mLinks
    uint64_t mOwner = 0;  // the sending process's serial number
    std::unordered_map<uint64_t, std::shared_ptr<Link>> mLinks;
};
