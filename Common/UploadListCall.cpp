#include "UploadListCall.h"

#include <algorithm>

CUploadListCall::CUploadListCall(CUploadListCall*& innermost) : mInnermost(innermost), mOuter(innermost)
{
    mInnermost = this;
}

// Calls end in the reverse order of their start: they nest on one thread's stack.
CUploadListCall::~CUploadListCall() { mInnermost = mOuter; }

void CUploadListCall::Take(const Entry& entry)
{
    mEntries.push_back(&entry);
    mDropped.push_back(false);
    ++mHeld;
}

void CUploadListCall::Keep(CFileList::node_type node)
{
    if (!node.empty())
        mKept.push_back(std::move(node));
}

size_t CUploadListCall::Find(const xwstring_pair& key) const
{
    const xwstring_pair_less_than less;
    const auto first = mEntries.begin() + static_cast<std::ptrdiff_t>(mClearedBefore);
    const auto at = std::lower_bound(first, mEntries.end(), key,
                                     [&less](const Entry* entry, const xwstring_pair& k) { return less(entry->first, k); });
    if (at == mEntries.end() || less(key, (*at)->first))
        return mEntries.size();
    return static_cast<size_t>(at - mEntries.begin());
}

void CUploadListCall::NoteRemoved(const Entry& entry)
{
    mShrank = true;
    const size_t index = Find(entry.first);
    if (index == mEntries.size())
        return;
    if (mEntries[index] == &entry) {
        mCopies.push_back(entry);
        mEntries[index] = &mCopies.back();
    }
    mLost.push_back(index);
}

void CUploadListCall::NoteRestored(const xwstring_pair& key)
{
    // Only the latest loss is undone: an earlier one ended this call's claim for good.
    const size_t index = Find(key);
    const auto lost = std::find(mLost.rbegin(), mLost.rend(), index);
    if (lost != mLost.rend())
        mLost.erase(std::next(lost).base());
}

void CUploadListCall::NoteCleared()
{
    mShrank = true;
    for (size_t index = mClearedBefore; index < mEntries.size(); ++index)
        mHeld -= !mDropped[index];
    mClearedBefore = mEntries.size();
    mLost.clear();
}

void CUploadListCall::Reconcile()
{
    for (const size_t index : mLost) {
        if (Holds(index)) {
            mDropped[index] = true;
            --mHeld;
        }
    }
    mLost.clear();
    mShrank = false;
}
