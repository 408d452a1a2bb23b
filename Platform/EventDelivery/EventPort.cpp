#include "EventPort.h"

#include "DeliveryLog.h"
#include "EventDelivery.h"
#include "PortSocket.h"
#include "Platform/Processes/Processes.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char kPortSuffix[] = ".sock";
const size_t kReadChunk = 64 * 1024;
// Bytes read from one connection per turn of the loop, so one busy peer cannot starve the rest.
const size_t kReadBudget = 1024 * 1024;
// Connections wait unread while this many events are queued.
const size_t kMaxQueuedEvents = 1024;
// Events handed to handlers per turn of the loop.
const size_t kEventsPerDispatch = 64;
// Out of file descriptors, the port tries to accept again after this long.
const gint64 kAcceptPauseMicroseconds = 100 * 1000;

std::atomic<EventPort*> sPort{nullptr};

// Removes the port files of processes that are gone.
void RemoveStalePorts(const std::string& folder)
{
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    const size_t suffixLength = strlen(kPortSuffix);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        ProcessSerialNumber psn;
        if (name.size() > suffixLength && name.compare(name.size() - suffixLength, suffixLength, kPortSuffix) == 0 &&
            ParseProcessSerialNumberName(name.substr(0, name.size() - suffixLength), &psn) && !IsProcessAlive(&psn))
            unlink((folder + "/" + name).c_str());
    }
    closedir(dir);
}
}  // namespace

GSourceFuncs EventPort::sSourceFuncs = {&EventPort::Prepare, &EventPort::Check, &EventPort::Dispatch, nullptr,
                                        nullptr, nullptr};

EventPort* EventPort::Current()
{
    EventPort* port = sPort.load();
    return port && port->mOwner == getpid() ? port : nullptr;
}

OSErr EventPort::OpenCurrent(Dispatcher dispatcher)
{
    if (Current())
        return noErr;
    if (EventPort* inherited = sPort.exchange(nullptr)) {
        inherited->mPath.clear();  // the file belongs to the parent
        delete inherited;
    }
    ProcessSerialNumber self;
    std::string path;
    if (GetCurrentProcess(&self) != noErr || !PathFor(self, &path))
        return kEventPortUnavailableErr;
    auto* port = new EventPort(dispatcher);
    if (!port->Listen(path)) {
        delete port;
        return kEventPortUnavailableErr;
    }
    sPort.store(port);
    static std::once_flag registered;
    std::call_once(registered, [] { atexit(&EventPort::RemoveFileAtExit); });
    return noErr;
}

void EventPort::RemoveFileAtExit()
{
    if (EventPort* port = Current()) {
        if (!port->mPath.empty())
            unlink(port->mPath.c_str());
    }
}

bool EventPort::PathFor(const ProcessSerialNumber& psn, std::string* path)
{
    std::string folder;
    if (!GetProcessRuntimeFolder(&folder))
        return false;
    *path = folder + "/" + ProcessSerialNumberName(psn) + kPortSuffix;
    return true;
}

EventPort::EventPort(Dispatcher dispatcher) : mDispatcher(dispatcher), mOwner(getpid()) {}

EventPort::~EventPort()
{
    while (!mConnections.empty())
        CloseConnection(mConnections.back().get());
    if (mSource) {
        g_source_destroy(&mSource->base);
        g_source_unref(&mSource->base);
    }
    if (mListenFd >= 0)
        close(mListenFd);
    if (!mPath.empty())
        unlink(mPath.c_str());
    for (AppleEvent& event : mQueue)
        AEDisposeDesc(&event);
    for (AppleEvent& event : mInbox)
        AEDisposeDesc(&event);
}

bool EventPort::Listen(const std::string& path)
{
    sockaddr_un address;
    if (!PortSocketAddress(path, &address)) {
        LogDeliveryWarning("Event port path too long: " + path);
        return false;
    }
    RemoveStalePorts(path.substr(0, path.rfind('/')));

    mListenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (mListenFd < 0) {
        LogDeliveryWarning(std::string("Event port cannot be created: ") + strerror(errno));
        return false;
    }
    unlink(path.c_str());
    if (bind(mListenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        chmod(path.c_str(), 0600) != 0 || listen(mListenFd, SOMAXCONN) != 0) {
        LogDeliveryWarning("Event port cannot listen at " + path + ": " + strerror(errno));
        return false;
    }
    mPath = path;

    mSource = reinterpret_cast<Source*>(g_source_new(&sSourceFuncs, sizeof(Source)));
    mSource->port = this;
    g_source_set_name(&mSource->base, "event port");
    mListenTag = g_source_add_unix_fd(&mSource->base, mListenFd, G_IO_IN);
    g_source_attach(&mSource->base, nullptr);
    return true;
}

void EventPort::AddConnection(int fd)
{
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->tag = g_source_add_unix_fd(&mSource->base, fd, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR));
    mConnections.push_back(std::move(connection));
}

void EventPort::CloseConnection(Connection* connection)
{
    mBudget.Release(&connection->share);
    g_source_remove_unix_fd(&mSource->base, connection->tag);
    close(connection->fd);
    mConnections.erase(std::find_if(mConnections.begin(), mConnections.end(),
                                    [connection](const auto& entry) { return entry.get() == connection; }));
    if (mConnections.size() < kMaxConnections)
        mRefusingConnections = false;
}

gboolean EventPort::Prepare(GSource* source, gint* timeout)
{
    *timeout = -1;
    EventPort* port = reinterpret_cast<Source*>(source)->port;
    return !port->mQueue.empty() || !port->InboxEmpty();
}

gboolean EventPort::Check(GSource* source)
{
    EventPort* port = reinterpret_cast<Source*>(source)->port;
    if (!port->mQueue.empty() || !port->InboxEmpty() || g_source_query_unix_fd(source, port->mListenTag))
        return true;
    return std::any_of(port->mConnections.begin(), port->mConnections.end(),
                       [source](const auto& connection) { return g_source_query_unix_fd(source, connection->tag); });
}

gboolean EventPort::Dispatch(GSource* source, GSourceFunc, gpointer)
{
    reinterpret_cast<Source*>(source)->port->Service();
    return G_SOURCE_CONTINUE;
}

void EventPort::Service()
{
    if (mAcceptPausedUntil != 0 && g_get_monotonic_time() >= mAcceptPausedUntil) {
        mAcceptPausedUntil = 0;
        g_source_set_ready_time(&mSource->base, -1);
        g_source_modify_unix_fd(&mSource->base, mListenTag, G_IO_IN);
        AcceptAll();
    } else if (g_source_query_unix_fd(&mSource->base, mListenTag)) {
        AcceptAll();
    }
    std::vector<Connection*> ready;
    for (const auto& connection : mConnections) {
        if (g_source_query_unix_fd(&mSource->base, connection->tag))
            ready.push_back(connection.get());
    }
    for (Connection* connection : ready) {
        if (mQueue.size() >= kMaxQueuedEvents)
            break;
        ReadConnection(connection);
    }
    ResumeWaiting();
    TakeInbox();
    DispatchQueued();
}

void EventPort::AcceptAll()
{
    for (;;) {
        const int fd = accept4(mListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                PauseAccepting(errno);
            return;
        }
        mAcceptPauseLogged = false;
        ucred peer;
        if (!PeerIsThisUser(fd, &peer)) {
            LogDeliveryWarning("Event port refused a connection from uid " + std::to_string(peer.uid) + " (pid " +
                               std::to_string(peer.pid) + ")");
            close(fd);
            continue;
        }
        if (mConnections.size() >= kMaxConnections) {
            if (!mRefusingConnections)
                LogDeliveryWarning("Event port refuses connections while " + std::to_string(kMaxConnections) +
                                   " are open (pid " + std::to_string(peer.pid) + " is the first refused)");
            mRefusingConnections = true;
            close(fd);
            continue;
        }
        AddConnection(fd);
    }
}

// The listening socket stays readable while accepting fails, so it is left unwatched for a while.
void EventPort::PauseAccepting(int error)
{
    if (!mAcceptPauseLogged)
        LogDeliveryWarning(std::string("Event port cannot accept connections for now: ") + strerror(error));
    mAcceptPauseLogged = true;
    mAcceptPausedUntil = g_get_monotonic_time() + kAcceptPauseMicroseconds;
    g_source_modify_unix_fd(&mSource->base, mListenTag, GIOCondition(0));
    g_source_set_ready_time(&mSource->base, mAcceptPausedUntil);
}

bool EventPort::MayRead(Connection* connection)
{
    switch (mBudget.MayRead(&connection->share, connection->reader.PendingFrameSize())) {
    case ReceiveBudget::Answer::read:
        return true;
    case ReceiveBudget::Answer::waitForGrant:
        SetWaiting(connection, Waiting::forGrant);
        return false;
    case ReceiveBudget::Answer::waitForRoom:
        SetWaiting(connection, Waiting::forRoom);
        return false;
    }
    return false;
}

void EventPort::SetWaiting(Connection* connection, Waiting waiting)
{
    connection->waiting = waiting;
    g_source_modify_unix_fd(&mSource->base, connection->tag,
                            waiting == Waiting::no ? GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR) : GIOCondition(0));
}

void EventPort::ResumeWaiting()
{
    for (const auto& connection : mConnections) {
        if ((connection->waiting == Waiting::forGrant && mBudget.GrantFree()) ||
            (connection->waiting == Waiting::forRoom && mBudget.HasRoom()))
            SetWaiting(connection.get(), Waiting::no);
    }
}

void EventPort::ReadConnection(Connection* connection)
{
    bool tookFrames = false;
    auto queueEvent = [this, &tookFrames](const char* payload, size_t size) {
        tookFrames = true;
        AppleEvent event;
        if (AEUnflattenDescFromBytes(payload, static_cast<Size>(size), &event) != noErr ||
            event.descriptorType != typeAppleEvent) {
            AEDisposeDesc(&event);
            return false;
        }
        mQueue.push_back(event);
        return true;
    };
    size_t budget = kReadBudget;
    while (budget > 0 && mQueue.size() < kMaxQueuedEvents && MayRead(connection)) {
        const size_t wanted = connection->reader.NextReadSize(kReadChunk);
        const ssize_t count = read(connection->fd, connection->reader.Reserve(wanted), wanted);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (count <= 0) {
            if (connection->reader.HasPartialFrame())
                LogDeliveryWarning("Event connection closed in the middle of an event; the event is dropped");
            CloseConnection(connection);
            return;
        }
        connection->reader.Commit(static_cast<size_t>(count));
        budget -= std::min(budget, static_cast<size_t>(count));
        if (connection->reader.TakeFrames(queueEvent) == FrameReader::Status::corrupt) {
            LogDeliveryWarning("Event connection closed: corrupt frame");
            CloseConnection(connection);
            return;
        }
        mBudget.Account(&connection->share, connection->reader.Buffered(), connection->reader.PendingFrameSize(),
                        tookFrames);
        tookFrames = false;
        // A short read drained the socket; the loop wakes this source again when more arrives.
        if (static_cast<size_t>(count) < wanted)
            return;
    }
}

OSErr EventPort::PostToSelf(const AppleEvent* event, std::chrono::steady_clock::time_point deadline)
{
    AppleEvent copy;
    const OSErr error = AEDuplicateDesc(event, &copy);
    if (error != noErr)
        return error;
    {
        std::unique_lock<std::mutex> lock(mInboxMutex);
        if (!mInboxDrained.wait_until(lock, deadline, [this] { return mInbox.size() < kMaxQueuedEvents; })) {
            AEDisposeDesc(&copy);
            return errAETimeout;
        }
        mInbox.push_back(copy);
    }
    g_main_context_wakeup(nullptr);
    return noErr;
}

bool EventPort::InboxEmpty()
{
    std::lock_guard<std::mutex> lock(mInboxMutex);
    return mInbox.empty();
}

void EventPort::TakeInbox()
{
    std::lock_guard<std::mutex> lock(mInboxMutex);
    while (!mInbox.empty() && mQueue.size() < kMaxQueuedEvents) {
        mQueue.push_back(mInbox.front());
        mInbox.pop_front();
    }
    mInboxDrained.notify_all();
}

void EventPort::DispatchQueued()
{
    for (size_t count = 0; count < kEventsPerDispatch && !mQueue.empty(); ++count) {
        AppleEvent event = mQueue.front();
        mQueue.pop_front();
        mDispatcher(&event);
        AEDisposeDesc(&event);
    }
}
