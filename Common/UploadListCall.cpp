#include "UploadListCall.h"

#include <iterator>

CUploadListCall::CUploadListCall(CUploadListCall*& innermost, CFileList& entries)
    : mInnermost(innermost), mOuter(innermost), mEntries(entries)
{
    mInnermost = this;
}

// Calls end in the reverse order of their start: they nest on one thread's stack.
CUploadListCall::~CUploadListCall() { mInnermost = mOuter; }

void CUploadListCall::NoteRemoved(const xwstring_pair& key)
{
    mShrank = true;
    if (mEntries.count(key))
        mLost.push_back(key);
}

void CUploadListCall::NoteRestored(const xwstring_pair& key)
{
    // Only the latest loss is undone: an earlier one ended this call's claim for good.
    const xwstring_pair_less_than less;
    for (auto lost = mLost.rbegin(); lost != mLost.rend(); ++lost) {
        if (!less(*lost, key) && !less(key, *lost)) {
            mLost.erase(std::next(lost).base());
            return;
        }
    }
}

void CUploadListCall::NoteCleared()
{
    mShrank = true;
    mCleared = true;
}

void CUploadListCall::Reconcile(CFileList::iterator boundary, std::initializer_list<CFileList::iterator*> keep)
{
    const auto drop = [this, keep](CFileList::iterator entry) {
        for (CFileList::iterator* position : keep) {
            if (*position == entry)
                ++*position;
        }
        return mEntries.erase(entry);
    };
    if (mCleared) {
        for (auto entry = mEntries.begin(); entry != boundary;)
            entry = drop(entry);
    }
    const xwstring_pair_less_than less;
    for (const xwstring_pair& key : mLost) {
        const auto entry = mEntries.find(key);
        if (entry != mEntries.end() && (boundary == mEntries.end() || less(entry->first, boundary->first)))
            drop(entry);
    }
    mLost.clear();
    mCleared = false;
    mShrank = false;
}
