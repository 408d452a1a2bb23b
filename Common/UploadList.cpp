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

bool CQVWebClientBase::NotifyFileListChange(const char* code, CFileList::const_iterator first,
                                            CFileList::const_iterator last, bool& built)
{
    json_object* notification = NewMessage("Notification", code);
    json_object* entries = nullptr;
    built = notification && CFileList::ToJSON(entries, first, last);
    if (!built) {
        if (mLogger)
            mLogger->Warning("Failed to create JSON message");
        if (notification)
            json_object_put(notification);
        return false;
    }
    json_object_object_add(notification, "files_ul", entries);
    const bool delivered = NotifyBrowser(json_object_to_json_string(notification));
    if (!delivered && mLogger)
        mLogger->Warning("Failed to notify browser");
    json_object_put(notification);
    return delivered;
}

bool CQVWebClientBase::EraseFromUploadList(const xwstring_pair& key, const CUploadListCall* by)
{
    const auto entry = mUploadList.find(key);
    if (entry == mUploadList.end())
        return false;
    for (CUploadListCall* call = mListCalls; call; call = call->Outer()) {
        if (call != by)
            call->NoteRemoved(entry->first);
    }
    mUploadList.erase(entry);
    return true;
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

// Page callbacks run inside this call (error reports, notifications, log lines) and may change the
// upload list. The call therefore works on a list of its own, which they cannot reach, holds no
// position in the upload list across a callback without checking it, and announces and undoes
// only entries that it added and that are still on the list.
bool CQVWebClientBase::AddFiles(CFileList& files)
{
    if (mLogger)
        mLogger->DebugMsg("AddFiles");
    CFileList entries;
    entries.swap(files);
    CUploadListCall call(mListCalls, entries);
    bool limitReached = false;
    // Both lists share one order, so each new key usually belongs right after the last one
    // inserted: that hint makes filling an empty list linear.
    auto hint = mUploadList.end();
    for (auto entry = entries.begin(); entry != entries.end();) {
        bool added = false;
        if (!limitReached && static_cast<int32_t>(mUploadList.size()) >= mFileTransferLimit)
            limitReached = true;
        if (limitReached) {
            // Entries past the limit are dropped; the page hears of it once, at the end.
        } else if (!CheckFilenameLength(entry->first.first)) {
            ReportError(kErrFileNameTooLong, static_cast<const char*>(entry->first.first),
                        static_cast<int>(kMaxFileNameBytes));
        } else {
            if (call.ListShrank()) {
                call.Reconcile(entry);
                hint = mUploadList.end();
            }
            const size_t before = mUploadList.size();
            hint = std::next(mUploadList.emplace_hint(hint, *entry));
            added = mUploadList.size() != before;
        }
        entry = added ? std::next(entry) : entries.erase(entry);
    }
    if (call.ListShrank())
        call.Reconcile(entries.end());

    bool result = false;
    if (entries.empty()) {
        if (mLogger)
            mLogger->DebugMsg("No files to add");
    }
    for (auto batchStart = entries.begin(); batchStart != entries.end();) {
        auto batchEnd = batchStart;
        for (size_t n = 0; n < kMaxEntriesPerNotification && batchEnd != entries.end(); ++n)
            ++batchEnd;
        bool built = false;
        const bool delivered = NotifyFileListChange("FilesAddedToUploadList", batchStart, batchEnd, built);
        if (call.ListShrank())
            call.Reconcile(entries.end(), {&batchStart, &batchEnd});
        if (built) {
            result = delivered;
            if (!delivered) {
                for (auto undone = batchStart; undone != batchEnd; ++undone)
                    EraseFromUploadList(undone->first, &call);
            }
        }
        batchStart = batchEnd;
    }

    if (limitReached)
        ReportError(kErrTooManyFiles, static_cast<int>(mFileTransferLimit));
    if (call.ListShrank())
        call.Reconcile(entries.end());
    files.swap(entries);
    return result;
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

// As AddFiles, the call keeps what it removed in a list of its own; when the page refuses the
// notification it puts back only what no callback has taken or cleared away meanwhile.
bool CQVWebClientBase::DeleteFiles(CFileList& files)
{
    if (mLogger)
        mLogger->DebugMsg("DeleteFiles");
    CFileList removed;
    removed.swap(files);
    for (auto entry = removed.begin(); entry != removed.end();)
        entry = EraseFromUploadList(entry->first, nullptr) ? std::next(entry) : removed.erase(entry);
    bool delivered = false;
    if (removed.empty()) {
        if (mLogger)
            mLogger->DebugMsg("No files to delete");
    } else {
        CUploadListCall call(mListCalls, removed);
        bool built = false;
        delivered = NotifyFileListChange("FilesDeletedFromUploadList", removed.cbegin(), removed.cend(), built);
        if (call.ListShrank())
            call.Reconcile(removed.end());
        if (built && !delivered) {
            for (const auto& entry : removed)
                RestoreToUploadList(entry);
        }
    }
    files.swap(removed);
    return delivered;
}
