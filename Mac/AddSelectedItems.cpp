// Turning picked files and folders into upload-list entries.
#include "QVWebClientBaseMac.h"

#include "EnumerateFiles.h"

#include "Platform/FileURL/FileURL.h"

namespace {
void LogSkippedCycle(const char* path, void* context)
{
    CLogger* logger = static_cast<CLogger*>(context);
    if (logger)
        logger->Warning("Skipped a folder that links back to one being walked: %s", path);
}
}  // namespace

bool CQVWebClientBaseMac::AddArrayOfFiles(const std::vector<std::string>& paths)
{
    json_xwstringset picked;
    for (const std::string& path : paths) {
        WC_WriteToSyslog(path.c_str());
        if (mLogger)
            mLogger->DebugMsg(path.c_str());
        picked.insert(xwstring(path.c_str()));
    }
    return !picked.empty() && AddFiles(picked);
}

bool CQVWebClientBaseMac::AddFiles(json_xwstringset& paths)
{
    CFileList files;
    xwstring failedItem;
    for (const xwstring& path : paths) {
        const OSStatus status = EnumerateFiles(path, nullptr, &EnumerationCallback, &files, &failedItem,
                                               &LogSkippedCycle, mLogger);
        if (status != 0 && status != errFSNoMoreItems) {
            const char* name = failedItem.length() > 0 ? static_cast<const char*>(failedItem)
                                                       : static_cast<const char*>(path);
            ReportError(kErrOSError, name, static_cast<int>(status));
        }
    }
    return CQVWebClientBase::AddFiles(files);
}

bool CQVWebClientBaseMac::EnumerationCallback(const char* path, const char* relativeBase, FSCatalogInfo* info,
                                              void* context)
{
    if (!path || !info || !context)
        return false;
    auto* files = static_cast<CFileList*>(context);
    const double size = static_cast<double>(info->dataLogicalSize + info->rsrcLogicalSize);
    return files->emplace(xwstring_pair(xwstring(path), xwstring(relativeBase ? relativeBase : "")), size).second;
}

// A URL that names no existing item yields an empty path; text that is no URL yields none.
void CQVWebClientBaseMac::GetFSItemFullPosixPathFromURLString(const char* urlString, CFStringRef* outPath)
{
    *outPath = nullptr;
    if (!IsURL(urlString))
        return;
    std::string path;
    FSCatalogInfo info;
    if (!FileURLToPath(urlString, path) || FSPathGetCatalogInfo(path.c_str(), &info) != 0)
        path.clear();
    *outPath = CFStringCreateWithCString(nullptr, path.c_str(), kCFStringEncodingUTF8);
}
