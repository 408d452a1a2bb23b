// An AddFiles or DeleteFiles call in progress on one instance. The page's callbacks run inside such
// a call and may change the upload list through nested requests; every removal from the list is
// noted in each call in progress, and a call catches up (Reconcile) before it relies on its own
// entries or on positions in the list again.
//
// A call refers to its entries where they are: an AddFiles call to the upload list's own nodes, a
// DeleteFiles call to those of its own list. It takes them in list order, so each is found by its
// key; an entry that someone else takes off the upload list is copied first, so that its key stays
// readable for as long as the call runs.
#pragma once

#include "FileList.h"

#include <list>
#include <vector>

class CUploadListCall {
public:
    typedef CFileList::value_type Entry;

    // Registers the call as the innermost one.
    explicit CUploadListCall(CUploadListCall*& innermost);
    ~CUploadListCall();

    CUploadListCall(const CUploadListCall&) = delete;
    CUploadListCall& operator=(const CUploadListCall&) = delete;

    CUploadListCall* Outer() const { return mOuter; }

    // Makes entry, which comes after every entry taken before it in list order, one of this call's.
    // It must stay where it is until the call ends, unless it leaves the upload list through a
    // noted removal or is handed to Keep.
    void Take(const Entry& entry);
    size_t Size() const { return mEntries.size(); }
    const Entry& operator[](size_t index) const { return *mEntries[index]; }
    // False for an entry that the upload list lost to someone else (known after Reconcile): it is
    // no longer this call's to announce or undo.
    bool Holds(size_t index) const { return index >= mClearedBefore && !mDropped[index]; }
    size_t Held() const { return mHeld; }
    // Keeps a node that the call itself took off the upload list, so that its entry stays readable.
    void Keep(CFileList::node_type node);

    // Someone else is about to take entry, a node of the upload list, off the list.
    void NoteRemoved(const Entry& entry);
    // The removal of key was undone: the entry is this call's again, unless it was lost before.
    void NoteRestored(const xwstring_pair& key);
    // The upload list is about to be emptied.
    void NoteCleared();

    // True when the upload list lost entries since the last Reconcile: positions in it may be stale.
    bool ListShrank() const { return mShrank; }
    // Gives up the entries that the upload list lost since the last Reconcile.
    void Reconcile();

private:
    // The index of the entry under key, or Size() when the call has none.
    size_t Find(const xwstring_pair& key) const;

    CUploadListCall*& mInnermost;
    CUploadListCall* mOuter;
    std::vector<const Entry*> mEntries;
    std::vector<bool> mDropped;
    size_t mHeld = 0;
    size_t mClearedBefore = 0;  // the entries before this index went with a cleared list
    std::vector<size_t> mLost;  // one index per loss since the last Reconcile, latest last
    std::list<Entry> mCopies;   // entries that others took off the list
    std::vector<CFileList::node_type> mKept;
    bool mShrank = false;
};
