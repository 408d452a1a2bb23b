// The upload list: queueing, adding under the limits, deleting, and the notifications that keep
// the page's copy of the list in step.
#include "QVWebClientBase.h"

#include "EncodingConversions.h"
#include "MessageEnvelope.h"
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
    if (files.length() < 1 || !requested.FromJSON(files)) {
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

bool CQVWebClientBase::AddFiles(CFileList& files)
{
    if (mLogger)
        mLogger->DebugMsg("AddFiles");
    bool limitReached = false;
    const xwstring_pair_less_than less;
    // Both lists share one order, so each new key usually belongs right after the last one
    // inserted: checking that first makes filling an empty list linear.
    auto next = mUploadList.begin();
    for (auto entry = files.begin(); entry != files.end();) {
        bool added = false;
        if (!limitReached && static_cast<int32_t>(mUploadList.size()) >= mFileTransferLimit)
            limitReached = true;
        if (limitReached) {
            // Entries past the limit are dropped; the page hears of it once, at the end.
        } else if (!CheckFilenameLength(entry->first.first)) {
            ReportError(kErrFileNameTooLong, static_cast<const char*>(entry->first.first),
                        static_cast<int>(kMaxFileNameBytes));
        } else {
            const bool afterPrevious = next == mUploadList.end() || !less(next->first, entry->first);
            const auto position = afterPrevious ? next : mUploadList.lower_bound(entry->first);
            added = position == mUploadList.end() || less(entry->first, position->first);
            next = added ? std::next(mUploadList.emplace_hint(position, *entry)) : position;
        }
        entry = added ? std::next(entry) : files.erase(entry);
    }

    bool result = false;
    if (files.empty()) {
        if (mLogger)
            mLogger->DebugMsg("No files to add");
    }
    for (auto batchStart = files.cbegin(); batchStart != files.cend();) {
        auto batchEnd = batchStart;
        for (size_t n = 0; n < kMaxEntriesPerNotification && batchEnd != files.cend(); ++n)
            ++batchEnd;
        bool built = false;
        const bool delivered = NotifyFileListChange("FilesAddedToUploadList", batchStart, batchEnd, built);
        if (built) {
            result = delivered;
            if (!delivered) {
                for (auto undone = batchStart; undone != batchEnd; ++undone)
                    mUploadList.erase(undone->first);
            }
        }
        batchStart = batchEnd;
    }

    if (limitReached)
        ReportError(kErrTooManyFiles, static_cast<int>(mFileTransferLimit));
    return result;
}

bool CQVWebClientBase::DeleteFilesFromUploadList(json_object* request)
{
    if (mLogger)
        mLogger->DebugMsg("DeleteFilesFromUploadList");
    const json_msg_param_array files(request, "files_ul");
    CFileList requested;
    if (files.length() > 0 && requested.FromJSON(files))
        return DeleteFiles(requested);
    if (mLogger)
        mLogger->Warning("Invalid request / no files to delete");
    return false;
}

bool CQVWebClientBase::DeleteFiles(CFileList& files)
{
    if (mLogger)
        mLogger->DebugMsg("DeleteFiles");
    for (auto entry = files.begin(); entry != files.end();)
        entry = mUploadList.erase(entry->first) ? std::next(entry) : files.erase(entry);
    if (files.empty()) {
        if (mLogger)
            mLogger->DebugMsg("No files to delete");
        return false;
    }
    bool built = false;
    const bool delivered = NotifyFileListChange("FilesDeletedFromUploadList", files.cbegin(), files.cend(), built);
    if (built && !delivered) {
        for (const auto& entry : files)
            mUploadList.insert(entry);
    }
    return delivered;
}
