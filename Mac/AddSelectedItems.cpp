// Turning picked files and folders into upload-list entries.
#include "QVWebClientBaseMac.h"

#include "EnumerateFiles.h"

#include "Platform/FileURL/FileURL.h"

#include <algorithm>

namespace {
// The walk delivers a folder's files in list order, so an entry mostly belongs after the last
// one of the list, which the hint end() finds without a search.
std::pair<CFileList::iterator, bool> InsertEntry(CFileList& files, const char* path, const char* relativeBase,
                                                 const FSCatalogInfo& info)
{
    const double size = static_cast<double>(info.dataLogicalSize + info.rsrcLogicalSize);
    const size_t before = files.size();
    const auto at = files.emplace_hint(files.end(),
                                       xwstring_pair(xwstring(path), xwstring(relativeBase ? relativeBase : "")), size);
    return {at, files.size() != before};
}
}  // namespace

// The files of one pick. The upload list's limit check drops whatever it has no room for, so the
// walk is stopped (the file refused) as soon as more files were found than the limit leaves room
// for; files already on the list and names the list refuses take no room.
class CQVWebClientBaseMac::PickedFiles {
public:
    explicit PickedFiles(CQVWebClientBaseMac& client) : mClient(client) {}

    static bool Add(const char* path, const char* relativeBase, FSCatalogInfo* info, void* context)
    {
        auto& self = *static_cast<PickedFiles*>(context);
        const auto [entry, inserted] = InsertEntry(self.files, path, relativeBase, *info);
        if (!inserted)
            return false;
        self.mFull = self.ExceedsRoom(entry);
        return !self.mFull;
    }
    // The page was called: the upload list and its limit may have changed since the last count.
    void Recount() { mCounted = false; }
    bool Full() const { return mFull; }

    CFileList files;

private:
    bool Takes(const CFileList::value_type& entry) const
    {
        return mClient.mUploadList.find(entry.first) == mClient.mUploadList.end() &&
               mClient.CheckFilenameLength(entry.first.first);
    }

    // Counting is needed only once the files found outnumber the room; from then on each new
    // file adds to the count.
    bool ExceedsRoom(CFileList::const_iterator added)
    {
        const int64_t room = int64_t(mClient.mFileTransferLimit) - int64_t(mClient.mUploadList.size());
        if (int64_t(files.size()) <= room) {
            mCounted = false;
            return false;
        }
        if (!mCounted) {
            mTaken = std::count_if(files.begin(), files.end(), [this](const auto& entry) { return Takes(entry); });
            mCounted = true;
        } else if (Takes(*added)) {
            ++mTaken;
        }
        return mTaken > room;
    }

    CQVWebClientBaseMac& mClient;
    bool mCounted = false;
    int64_t mTaken = 0;  // files the list would take, while mCounted
    bool mFull = false;
};

bool CQVWebClientBaseMac::AddArrayOfFiles(const std::vector<std::string>& paths)
{
    const std::weak_ptr<const bool> alive = mLifetime;
    json_xwstringset picked;
    for (const std::string& path : paths) {
        WC_WriteToSyslog(path.c_str());
        if (mLogger)
            mLogger->DebugMsg(path.c_str());
        if (alive.expired())
            return false;
        picked.insert(xwstring(path.c_str()));
    }
    return !picked.empty() && AddFiles(picked);
}

// The walks call nothing outside; between picked items the page hears of skipped folders and
// failures, and may call back into this instance, change its upload list or limit, or destroy it.
bool CQVWebClientBaseMac::AddFiles(json_xwstringset& paths)
{
    const std::weak_ptr<const bool> alive = mLifetime;
    PickedFiles picked(*this);
    WalkedFolders walked;
    xwstring failedItem;
    for (const xwstring& path : paths) {
        const OSStatus status = EnumerateFiles(path, nullptr, &PickedFiles::Add, &picked, &failedItem, walked);
        for (const std::string& skipped : walked.TakeSkipped()) {
            if (mLogger)
                mLogger->Warning("Skipped a folder that was already walked: %s", skipped.c_str());
            if (alive.expired())
                return false;
        }
        if (picked.Full())
            break;  // the list's limit check reports it
        if (status != 0 && status != errFSNoMoreItems) {
            const char* name = failedItem.length() > 0 ? static_cast<const char*>(failedItem)
                                                       : static_cast<const char*>(path);
            ReportError(kErrOSError, name, static_cast<int>(status));
            if (alive.expired())
                return false;
        }
        picked.Recount();
    }
    return AddPickedFiles(picked.files);
}

bool CQVWebClientBaseMac::EnumerationCallback(const char* path, const char* relativeBase, FSCatalogInfo* info,
                                              void* context)
{
    if (!path || !info || !context)
        return false;
    return InsertEntry(*static_cast<CFileList*>(context), path, relativeBase, *info).second;
}

// Text that is no URL yields none; a URL that names no existing item, or whose item's full path
// does not fit in 1024 bytes, yields an empty path.
void CQVWebClientBaseMac::GetFSItemFullPosixPathFromURLString(const char* urlString, CFStringRef* outPath)
{
    *outPath = nullptr;
    if (!IsURL(urlString))
        return;
    char fullPath[1024] = "";
    std::string path;
    if (FileURLToPath(urlString, path))
        FSPathMakeFullPath(path.c_str(), fullPath, sizeof fullPath);  // leaves fullPath empty on failure
    *outPath = CFStringCreateWithCString(nullptr, fullPath, kCFStringEncodingUTF8);
}
