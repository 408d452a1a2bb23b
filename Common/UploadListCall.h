// An AddFiles or DeleteFiles call in progress on one instance. The page's callbacks run inside such
// a call and may change the upload list through nested requests; every removal from the list is
// noted in each call in progress, and a call catches up (Reconcile) before it relies on its own
// entries or on positions in the list again.
#pragma once

#include "FileList.h"

#include <initializer_list>
#include <list>

class CUploadListCall {
public:
    // Registers the call as the innermost one; entries is the call's own list of what it changed.
    CUploadListCall(CUploadListCall*& innermost, CFileList& entries);
    ~CUploadListCall();

    CUploadListCall(const CUploadListCall&) = delete;
    CUploadListCall& operator=(const CUploadListCall&) = delete;

    CUploadListCall* Outer() const { return mOuter; }

    // Someone else took key off the upload list: an entry of this call under that key is no
    // longer this call's to announce or undo.
    void NoteRemoved(const xwstring_pair& key);
    // The removal of key was undone: the entry is this call's again, unless it was lost before.
    void NoteRestored(const xwstring_pair& key);
    void NoteCleared();

    // True when the upload list lost entries since the last Reconcile: positions in it may be stale.
    bool ListShrank() const { return mShrank; }
    // Drops from the entries before boundary those that the upload list lost. A position in keep
    // that names a dropped entry moves on to the next entry.
    void Reconcile(CFileList::iterator boundary, std::initializer_list<CFileList::iterator*> keep = {});

private:
    CUploadListCall*& mInnermost;
    CUploadListCall* mOuter;
    CFileList& mEntries;
    std::list<xwstring_pair> mLost;
    bool mCleared = false;
    bool mShrank = false;
};
