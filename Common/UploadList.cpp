// The upload list: queueing, adding under the limits, deleting, and the notifications that keep
// the page's copy of the list in step.
#include "QVWebClientBase.h"

#include "EncodingConversions.h"
#include "MessageEnvelope.h"
#include "UploadListCall.h"
#include "json_msg_param.h"

#include <cstring>
#include <iterator>
#include <string>

namespace {
const size_t kMaxFileNameBytes = 255;
const size_t kMaxEntriesPerNotification = 1000;
}  // namespace

bool CQVWebClientBase::QueueFilesForUpload(json_object* request)
{
    if (mLogger)
        mLogger->DebugMsg("QueueFilesForUpload");
    const json_msg_param_array files(request, "files_ul");
    CFileList requested;
    CRefusedElements refused;
    const bool read = files.length() >= 1 && requested.FromJSON(files, &refused);
    WarnRefused(refused);
    if (!read || requested.empty()) {
        if (mLogger)
            mLogger->Warning("Invalid request / no files to queue");
        return false;
    }
    json_xwstringset paths;
    for (const auto& entry : requested)
        paths.insert(entry.first.first);
    if (VerifyFileSelection(paths))
        AddFiles(paths);
    return true;
}

void CQVWebClientBase::WarnRefused(const CRefusedElements& refused)
{
    for (const CRefusedElement& element : refused) {
        if (mLogger)
            mLogger->Warning("Refused files_ul[%d]: \"%s\" holds a NUL character", element.index,
                             element.member ? element.member : "path");
    }
}

bool CQVWebClientBase::CheckFilenameLength(const xwstring& path)
{
    const char* narrow = path;
    const char* lastSlash = narrow ? strrchr(narrow, '/') : nullptr;
    if (!lastSlash)
        return true;
    // ASCII is its own composed form, so most names need no normalisation.
    const char* end = lastSlash;
    while (*end && static_cast<unsigned char>(*end) < 0x80)
        ++end;
    const size_t composedLength = *end ? ComposeUTF8(lastSlash).size() : static_cast<size_t>(end - lastSlash);
    return composedLength - 1 <= kMaxFileNameBytes;
}

bool CQVWebClientBase::NotifyFileListChange(const char* code, const CFileList::EntryRefs& entries, bool& built)
{
    json_object* notification = NewMessage("Notification", code);
    json_object* array = nullptr;
    built = notification && CFileList::ToJSON(array, entries);
    if (!built) {
        if (mLogger)
            mLogger->Warning("Failed to create JSON message");
        if (notification)
            json_object_put(notification);
        return false;
    }
    json_object_object_add(notification, "files_ul", array);
    const bool delivered = NotifyBrowser(json_object_to_json_string(notification));
    if (!delivered && mLogger)
        mLogger->Warning("Failed to notify browser");
    json_object_put(notification);
    return delivered;
}

CFileList::node_type CQVWebClientBase::TakeFromUploadList(const xwstring_pair& key, const CUploadListCall* by)
{
    const auto entry = mUploadList.find(key);
    if (entry == mUploadList.end())
        return {};
    for (CUploadListCall* call = mListCalls; call; call = call->Outer()) {
        if (call != by)
            call->NoteRemoved(*entry);
    }
    return mUploadList.extract(entry);
}

bool CQVWebClientBase::RestoreToUploadList(const CFileList::value_type& entry)
{
    if (!mUploadList.insert(entry).second)
        return false;
    for (CUploadListCall* call = mListCalls; call; call = call->Outer())
        call->NoteRestored(entry.first);
    return true;
}

void CQVWebClientBase::ClearUploadList()
{
    for (CUploadListCall* call = mListCalls; call; call = call->Outer())
        call->NoteCleared();
    mUploadList.clear();
}

bool CQVWebClientBase::AddFiles(CFileList& files)
{
    CFileList entries;
    entries.swap(files);
    const bool result = AddEntries(entries, false);
    files.swap(entries);
    return result;
}

bool CQVWebClientBase::AddPickedFiles(CFileList& files) { return AddEntries(files, true); }

// Page callbacks run inside this call (error reports, notifications, log lines) and may change the
// upload list. The call therefore keeps track of the entries it added (CUploadListCall), holds no
// position in the upload list across a callback without checking it, and announces and undoes
// only entries that it added and that are still on the list.
bool CQVWebClientBase::AddEntries(CFileList& entries, bool move)
{
    if (mLogger)
        mLogger->DebugMsg("AddFiles");
    CUploadListCall call(mListCalls);
    bool limitReached = false;
    // Both lists share one order, so each new key usually belongs right after the last one
    // inserted: that makes filling an empty list linear.
    auto last = mUploadList.end();
    for (auto entry = entries.begin(); entry != entries.end();) {
        const auto next = std::next(entry);
        bool added = false;
        bool moved = false;
        if (!limitReached && static_cast<int32_t>(mUploadList.size()) >= mFileTransferLimit)
            limitReached = true;
        if (limitReached) {
            // Entries past the limit are dropped; the page hears of it once, at the end.
        } else if (!CheckFilenameLength(entry->first.first)) {
            ReportError(kErrFileNameTooLong, static_cast<const char*>(entry->first.first),
                        static_cast<int>(kMaxFileNameBytes));
        } else {
            if (call.ListShrank()) {
                call.Reconcile();
                last = mUploadList.end();
            }
            const auto [at, inserted] = InsertIntoUploadList(last, entries, entry, move);
            if (inserted)
                call.Take(*at);
            last = at;
            added = inserted;
            moved = move;
        }
        if (!added && !moved)
            entries.erase(entry);
        entry = next;
    }
    if (call.ListShrank())
        call.Reconcile();

    bool result = false;
    if (call.Held() == 0) {
        if (mLogger)
            mLogger->DebugMsg("No files to add");
    }
    CFileList::EntryRefs batch;
    for (size_t next = 0; next < call.Size();) {
        const size_t batchStart = next;
        batch.clear();
        for (; next < call.Size() && batch.size() < kMaxEntriesPerNotification; ++next) {
            if (call.Holds(next))
                batch.push_back(&call[next]);
        }
        if (batch.empty())
            break;
        bool built = false;
        const bool delivered = NotifyFileListChange("FilesAddedToUploadList", batch, built);
        if (call.ListShrank())
            call.Reconcile();
        if (built) {
            result = delivered;
            if (!delivered) {
                for (size_t undone = batchStart; undone < next; ++undone) {
                    if (call.Holds(undone))
                        call.Keep(TakeFromUploadList(call[undone].first, &call));
                }
            }
        }
    }

    if (limitReached)
        ReportError(kErrTooManyFiles, static_cast<int>(mFileTransferLimit));
    if (call.ListShrank())
        call.Reconcile();
    // A copying call leaves in entries what it added and still holds; one that moved them leaves none.
    size_t index = 0;
    for (auto entry = entries.begin(); entry != entries.end(); ++index)
        entry = call.Holds(index) ? std::next(entry) : entries.erase(entry);
    return result;
}

// Inserts entry where it belongs in the upload list, unless the list holds its key. Entries mostly
// come in list order: after the last entry of the list (found without a search), or right after
// last, the entry inserted or found before. Nothing is copied or moved for a key that is there
// already; a moved entry leaves entries, and is destroyed when its key was there.
std::pair<CFileList::iterator, bool> CQVWebClientBase::InsertIntoUploadList(CFileList::iterator last,
                                                                           CFileList& entries,
                                                                           CFileList::iterator entry, bool move)
{
    const xwstring_pair_less_than less;
    const xwstring_pair& key = entry->first;
    auto position = mUploadList.end();  // where the entry goes: before this one
    if (!mUploadList.empty() && !less(mUploadList.rbegin()->first, key)) {
        position = last == mUploadList.end() ? last : std::next(last);
        const bool fits = last != mUploadList.end() && less(last->first, key) &&
                          (position == mUploadList.end() || less(key, position->first));
        if (!fits) {
            position = mUploadList.lower_bound(key);
            if (position != mUploadList.end() && !less(key, position->first)) {
                if (move)
                    entries.erase(entry);
                return {position, false};
            }
        }
    }
    if (move)
        return {mUploadList.insert(position, entries.extract(entry)), true};
    return {mUploadList.emplace_hint(position, *entry), true};
}

bool CQVWebClientBase::DeleteFilesFromUploadList(json_object* request)
{
    if (mLogger)
        mLogger->DebugMsg("DeleteFilesFromUploadList");
    const json_msg_param_array files(request, "files_ul");
    CFileList requested;
    CRefusedElements refused;
    const bool read = files.length() > 0 && requested.FromJSON(files, &refused);
    WarnRefused(refused);
    if (read && !requested.empty())
        return DeleteFiles(requested);
    if (mLogger)
        mLogger->Warning("Invalid request / no files to delete");
    return false;
}

// As AddFiles, the call keeps track of what it removed; when the page refuses the notification it
// puts back only what no callback has taken or cleared away meanwhile.
bool CQVWebClientBase::DeleteFiles(CFileList& files)
{
    if (mLogger)
        mLogger->DebugMsg("DeleteFiles");
    CFileList removed;
    removed.swap(files);
    for (auto entry = removed.begin(); entry != removed.end();)
        entry = TakeFromUploadList(entry->first, nullptr) ? std::next(entry) : removed.erase(entry);
    bool delivered = false;
    if (removed.empty()) {
        if (mLogger)
            mLogger->DebugMsg("No files to delete");
    } else {
        CUploadListCall call(mListCalls);
        CFileList::EntryRefs refs;
        refs.reserve(removed.size());
        for (const auto& entry : removed) {
            call.Take(entry);
            refs.push_back(&entry);
        }
        bool built = false;
        delivered = NotifyFileListChange("FilesDeletedFromUploadList", refs, built);
        if (call.ListShrank())
            call.Reconcile();
        if (built && !delivered) {
            for (size_t index = 0; index < call.Size(); ++index) {
                if (call.Holds(index))
                    RestoreToUploadList(call[index]);
            }
        }
        size_t index = 0;
        for (auto entry = removed.begin(); entry != removed.end(); ++index)
            entry = call.Holds(index) ? std::next(entry) : removed.erase(entry);
    }
    files.swap(removed);
    return delivered;
}
