// The recursive walk. One path buffer and one relative-base buffer grow and shrink with the
// depth; each folder is read once through an iterator opened relative to its parent, and each
// child's catalogue information comes from that read, so a file costs one look-up.
#include "EnumerateFiles.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <strings.h>
#include <vector>

bool WalkedFolders::Enter(const FSCatalogInfo& folder, const std::string& path)
{
    if (mWalked.insert({folder.device, folder.inode}).second)
        return true;
    mSkipped.push_back(path);
    return false;
}

std::vector<std::string> WalkedFolders::TakeSkipped()
{
    std::vector<std::string> skipped;
    skipped.swap(mSkipped);
    return skipped;
}

namespace {
class Walker {
public:
    Walker(EnumerateFilesCallback callback, void* context, xwstring* failedItem, WalkedFolders& walked)
        : mCallback(callback), mContext(context), mFailedItem(failedItem), mWalked(walked)
    {
    }

    OSStatus WalkPicked(const char* path, const char* relativeBase)
    {
        FSCatalogInfo info;
        OSStatus status = FSPathGetCatalogInfo(path, &info);
        if (status != 0) {
            Record(path);
            return status;
        }
        // The item's name is the last component of its path: "Docs/" names Docs.
        size_t nameEnd = strlen(path);
        while (nameEnd > 1 && path[nameEnd - 1] == '/')
            --nameEnd;
        const std::string_view trimmed(path, nameEnd);
        const size_t nameSlash = trimmed.rfind('/');
        const size_t nameStart = nameSlash == std::string_view::npos ? 0 : nameSlash + 1;
        if (nameStart < nameEnd && path[nameStart] == '.')
            return 0;
        mPath = path;
        if (!info.isFolder)
            return Report(relativeBase, info);
        const char* lastSlash = strrchr(path, '/');
        if (!lastSlash) {
            Record(path);
            return dirNFErr;
        }
        if (!mWalked.Enter(info, mPath))
            return 0;
        // The folder's files are listed under the text after the path's last "/" and a "/": a
        // path ending in "/" gives them the relative base "/".
        if (relativeBase)
            mBase = relativeBase;
        mBase.append(lastSlash + 1).push_back('/');
        while (mPath.size() > 1 && mPath[mPath.size() - 2] == '/' && mPath.back() == '/')
            mPath.pop_back();

        FSIterator* folder;
        status = FSOpenIterator(path, &folder);
        if (status != 0) {
            Record(path);
            return status;
        }
        return WalkFolder(folder);
    }

private:
    // Walks the children of an open folder, whose path is in mPath, then closes it.
    OSStatus WalkFolder(FSIterator* folder)
    {
        const OSStatus status = WalkChildren(folder);
        FSCloseIterator(folder);
        return status;
    }

    // The children are walked in the order in which the upload list sorts their paths, so that a
    // list filled by the walk can take each entry right after the one before. The end of the
    // folder's items, or a failure to read them, is met (and the folder recorded) once the
    // children read before it have been walked.
    OSStatus WalkChildren(FSIterator* folder)
    {
        const size_t pathLength = mPath.size();
        if (mPath.back() != '/')
            mPath.push_back('/');
        const size_t nameStart = mPath.size();
        std::string names;
        std::vector<size_t> starts;
        const OSStatus readStatus = ReadNames(folder, names, starts);
        OSStatus status = 0;
        for (size_t i = 0; i < starts.size() && status == 0; ++i) {
            const char* name = names.c_str() + starts[i];
            mPath.resize(nameStart);
            mPath.append(name);
            status = WalkChild(folder, name);
        }
        mPath.resize(pathLength);
        if (status != 0)
            return status;
        Record(mPath.c_str());
        return readStatus;
    }

    // The names of the folder's children, each ended by a NUL, and where each starts, sorted by
    // strcasecmp. Returns errFSNoMoreItems at the end of the folder, or the status of a failed read.
    static OSStatus ReadNames(FSIterator* folder, std::string& names, std::vector<size_t>& starts)
    {
        OSStatus status;
        const char* name;
        while ((status = FSGetNextChildName(folder, &name)) == 0) {
            starts.push_back(names.size());
            names.append(name).push_back('\0');
        }
        const char* text = names.c_str();
        std::sort(starts.begin(), starts.end(),
                  [text](size_t left, size_t right) { return strcasecmp(text + left, text + right) < 0; });
        return status;
    }

    // The child name of folder, whose path is in mPath. A hidden child is looked up before it is
    // skipped, so that one that cannot be looked up (a dangling link) stops the walk.
    OSStatus WalkChild(FSIterator* folder, const char* name)
    {
        FSCatalogInfo info;
        OSStatus status = FSGetChildCatalogInfo(folder, name, &info);
        if (status != 0) {
            Record(mPath.c_str());
            return status;
        }
        if (name[0] == '.')
            return 0;
        if (!info.isFolder)
            return Report(mBase.c_str(), info);
        if (!mWalked.Enter(info, mPath))
            return 0;
        FSIterator* child;
        status = FSOpenChildIterator(folder, name, &child);
        if (status != 0) {
            Record(mPath.c_str());
            return status;
        }
        const size_t baseLength = mBase.size();
        mBase.append(name).push_back('/');
        status = WalkFolder(child);
        mBase.resize(baseLength);
        return status == errFSNoMoreItems ? 0 : status;
    }

    OSStatus Report(const char* relativeBase, FSCatalogInfo& info)
    {
        return mCallback(mPath.c_str(), relativeBase, &info, mContext) ? 0 : kEnumerationRefused;
    }

    void Record(const char* path)
    {
        if (mFailedItem)
            *mFailedItem = path;
    }

    const EnumerateFilesCallback mCallback;
    void* const mContext;
    xwstring* const mFailedItem;
    WalkedFolders& mWalked;
    std::string mPath;  // the item being worked on
    std::string mBase;  // the relative base of the current folder's children
};
}  // namespace

OSStatus EnumerateFiles(const char* path, const char* relativeBase, EnumerateFilesCallback callback, void* context,
                        xwstring* failedItem)
{
    WalkedFolders walked;
    return EnumerateFiles(path, relativeBase, callback, context, failedItem, walked);
}

OSStatus EnumerateFiles(const char* path, const char* relativeBase, EnumerateFilesCallback callback, void* context,
                        xwstring* failedItem, WalkedFolders& walked)
{
    if (!path || !*path || !callback)
        return kFSParamErr;
    Walker walker(callback, context, failedItem, walked);
    return walker.WalkPicked(path, relativeBase);
}
