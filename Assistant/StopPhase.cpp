#include "StopPhase.h"

StopPhase::StopPhase(std::chrono::milliseconds grace, std::chrono::milliseconds cancelBound)
    : mGrace(grace), mCancelBound(cancelBound)
{
}

StopPhase::~StopPhase() { RemoveTimer(); }

void StopPhase::RemoveTimer()
{
    if (mTimer)
        g_source_remove(mTimer);
    mTimer = 0;
}

void StopPhase::Begin(bool filesMoving, std::function<void()> cancel, std::function<void()> finish)
{
    if (mStep != Step::running)
        return;
    mStep = Step::grace;
    mCancel = std::move(cancel);
    mFinish = std::move(finish);
    if (!filesMoving)
        return Finish();
    mTimer = g_timeout_add(static_cast<guint>(mGrace.count()), &OnGraceOver, this);
}

void StopPhase::NothingMoving()
{
    if (mStep == Step::grace || mStep == Step::cancelling)
        Finish();
}

void StopPhase::Finish()
{
    RemoveTimer();
    mStep = Step::finished;
    const std::function<void()> finish = std::move(mFinish);
    mFinish = nullptr;
    finish();
}

gboolean StopPhase::OnGraceOver(gpointer data)
{
    auto* phase = static_cast<StopPhase*>(data);
    phase->mStep = Step::cancelling;
    phase->mTimer = g_timeout_add(static_cast<guint>(phase->mCancelBound.count()), &OnCancelBound, data);
    phase->mCancel();
    return G_SOURCE_REMOVE;
}

gboolean StopPhase::OnCancelBound(gpointer data)
{
    auto* phase = static_cast<StopPhase*>(data);
    phase->mTimer = 0;
    phase->Finish();
    return G_SOURCE_REMOVE;
}
