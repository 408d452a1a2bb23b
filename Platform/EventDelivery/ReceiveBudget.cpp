#include "ReceiveBudget.h"

ReceiveBudget::Answer ReceiveBudget::MayRead(Share* share, size_t frameSize)
{
    if (share == mGrantee || share->wholeFrame)
        return Answer::read;
    if (frameSize > kLargeFrame) {
        if (mGrantee)
            return Answer::waitForGrant;
        mGrantee = share;
        mShared -= share->held;
        share->held = 0;
        return Answer::read;
    }
    if (!HasRoom())
        return Answer::waitForRoom;
    if (frameSize > 0) {
        mShared = mShared - share->held + frameSize;
        share->held = frameSize;
        share->wholeFrame = true;
    }
    return Answer::read;
}

void ReceiveBudget::Account(Share* share, size_t buffered, size_t frameSize, bool tookFrames)
{
    if (share == mGrantee) {
        if (!tookFrames && frameSize > kLargeFrame)
            return;
        mGrantee = nullptr;
    } else if (share->wholeFrame && !tookFrames) {
        return;
    } else {
        mShared -= share->held;
    }
    share->wholeFrame = false;
    share->held = buffered;
    mShared += buffered;
}

void ReceiveBudget::Release(Share* share)
{
    if (share == mGrantee)
        mGrantee = nullptr;
    else
        mShared -= share->held;
    share->held = 0;
    share->wholeFrame = false;
}
