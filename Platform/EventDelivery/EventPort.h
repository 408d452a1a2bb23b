// The receiving end of event delivery: this process's listening socket, its connections, and the
// queue of received events, served by one GLib source on the default main context.
//
// Memory is bounded: at most kMaxConnections connections (later ones are closed at once), and what
// they hold of frames still being received is bounded by a ReceiveBudget; a connection that would
// go over it is not read until there is room. When the process runs out of file descriptors, the
// port stops accepting for a while instead of trying again at every turn of the loop.
#pragma once

#include "Frames.h"
#include "ReceiveBudget.h"

#include <glib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

class EventPort {
public:
    typedef void (*Dispatcher)(const AppleEvent* event);

    // The port this process opened, or null.
    static EventPort* Current();
    // Opens this process's port, dropping one inherited from a parent across fork.
    static OSErr OpenCurrent(Dispatcher dispatcher);
    // Where the port of the process named by psn listens.
    static bool PathFor(const ProcessSerialNumber& psn, std::string* path);

    // Queues a copy of an event this process sends itself; errAETimeout when the inbox stays full
    // until the deadline. Safe from any thread.
    OSErr PostToSelf(const AppleEvent* event, std::chrono::steady_clock::time_point deadline);

    static const size_t kMaxConnections = 128;

private:
    enum class Waiting { no, forGrant, forRoom };
    struct Connection {
        int fd;
        gpointer tag;
        FrameReader reader;
        ReceiveBudget::Share share;
        Waiting waiting = Waiting::no;
    };
    struct Source {
        GSource base;
        EventPort* port;
    };

    explicit EventPort(Dispatcher dispatcher);
    ~EventPort();
    bool Listen(const std::string& path);
    void AddConnection(int fd);
    void CloseConnection(Connection* connection);
    void Service();
    void AcceptAll();
    void ReadConnection(Connection* connection);
    bool MayRead(Connection* connection);
    void SetWaiting(Connection* connection, Waiting waiting);
    void ResumeWaiting();
    void PauseAccepting(int error);
    static void RemoveFileAtExit();
    void TakeInbox();
    bool InboxEmpty();
    void DispatchQueued();

    static gboolean Prepare(GSource* source, gint* timeout);
    static gboolean Check(GSource* source);
    static gboolean Dispatch(GSource* source, GSourceFunc, gpointer);
    static GSourceFuncs sSourceFuncs;

    Dispatcher mDispatcher;
    pid_t mOwner;
    std::string mPath;
    Source* mSource = nullptr;
    int mListenFd = -1;
    gpointer mListenTag = nullptr;
    gint64 mAcceptPausedUntil = 0;
    bool mAcceptPauseLogged = false;
    bool mRefusingConnections = false;
    ReceiveBudget mBudget;
    std::vector<std::unique_ptr<Connection>> mConnections;
    std::deque<AppleEvent> mQueue;  // main thread only
    std::mutex mInboxMutex;
    std::condition_variable mInboxDrained;
    std::deque<AppleEvent> mInbox;  // events sent to self, from any thread
};
