// Stopping the service, as a phase of its own: running files get a grace period to finish, then
// they are cancelled and given a bound to end; then the stop finishes. It finishes at once when,
// at any point, no file is moving. Runs on the main loop.
#pragma once

#include <glib.h>

#include <chrono>
#include <functional>

class StopPhase {
public:
    StopPhase(std::chrono::milliseconds grace, std::chrono::milliseconds cancelBound);
    ~StopPhase();
    StopPhase(const StopPhase&) = delete;
    StopPhase& operator=(const StopPhase&) = delete;

    bool Stopping() const { return mStep != Step::running; }

    // Begins the stop, once: cancel runs when the grace is over, finish once at the end.
    void Begin(bool filesMoving, std::function<void()> cancel, std::function<void()> finish);
    // No file is moving any more: a stop under way finishes now.
    void NothingMoving();

private:
    enum class Step { running, grace, cancelling, finished };

    void Finish();
    void RemoveTimer();
    static gboolean OnGraceOver(gpointer data);
    static gboolean OnCancelBound(gpointer data);

    const std::chrono::milliseconds mGrace;
    const std::chrono::milliseconds mCancelBound;
    Step mStep = Step::running;
    guint mTimer = 0;
    std::function<void()> mCancel;
    std::function<void()> mFinish;
};
