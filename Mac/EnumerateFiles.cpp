// The recursive walk. One path buffer and one relative-base buffer grow and shrink with the
// depth; each folder is read once through an iterator opened relative to its parent, and each
// child's catalogue information comes from that read, so a file costs one look-up.
#include "EnumerateFiles.h"

#include <string>
#include <vector>

namespace {
struct FolderIdentity {
    uint64_t device;
    uint64_t inode;
};

class Walker {
public:
    Walker(EnumerateFilesCallback callback, void* context, xwstring* failedItem, EnumerateFilesCycleHook cycleHook,
           void* cycleContext)
        : mCallback(callback), mContext(context), mFailedItem(failedItem), mCycleHook(cycleHook),
          mCycleContext(cycleContext)
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
        // "Docs/" names the folder Docs, whose own name starts the relative bases below it.
        mPath = path;
        while (mPath.size() > 1 && mPath.back() == '/')
            mPath.pop_back();
        const size_t slash = mPath.rfind('/');
        const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
        if (mPath[nameStart] == '.')
            return 0;
        if (!info.isFolder)
            return Report(relativeBase, info);
        if (slash == std::string::npos) {
            Record(mPath.c_str());
            return dirNFErr;
        }
        if (relativeBase)
            mBase = relativeBase;
        mBase.append(mPath, nameStart, std::string::npos).push_back('/');

        FSIterator* folder;
        status = FSOpenIterator(mPath.c_str(), &folder);
        if (status != 0) {
            Record(mPath.c_str());
            return status;
        }
        return WalkFolder(folder, info);
    }

private:
    // Walks the children of an open folder, then closes it.
    OSStatus WalkFolder(FSIterator* folder, const FSCatalogInfo& info)
    {
        mFoldersBeingWalked.push_back({info.device, info.inode});
        const OSStatus status = WalkChildren(folder);
        mFoldersBeingWalked.pop_back();
        FSCloseIterator(folder);
        return status;
    }

    OSStatus WalkChildren(FSIterator* folder)
    {
        const size_t pathLength = mPath.size();
        if (mPath.back() != '/')
            mPath.push_back('/');
        const size_t nameStart = mPath.size();
        OSStatus status;
        do {
            const char* name;
            status = FSGetNextChildName(folder, &name);
            if (status != 0) {
                mPath.resize(pathLength);
                Record(mPath.c_str());
                return status;
            }
            if (name[0] == '.')
                continue;
            mPath.resize(nameStart);
            mPath.append(name);
            status = WalkChild(folder, name);
        } while (status == 0);
        mPath.resize(pathLength);
        return status;
    }

    // The child name of folder, whose path is in mPath.
    OSStatus WalkChild(FSIterator* folder, const char* name)
    {
        FSCatalogInfo info;
        OSStatus status = FSGetChildCatalogInfo(folder, name, &info);
        if (status != 0) {
            Record(mPath.c_str());
            return status;
        }
        if (!info.isFolder)
            return Report(mBase.c_str(), info);
        if (IsBeingWalked(info)) {
            if (mCycleHook)
                mCycleHook(mPath.c_str(), mCycleContext);
            return 0;
        }
        FSIterator* child;
        status = FSOpenChildIterator(folder, name, &child);
        if (status != 0) {
            Record(mPath.c_str());
            return status;
        }
        const size_t baseLength = mBase.size();
        mBase.append(name).push_back('/');
        status = WalkFolder(child, info);
        mBase.resize(baseLength);
        return status == errFSNoMoreItems ? 0 : status;
    }

    OSStatus Report(const char* relativeBase, FSCatalogInfo& info)
    {
        return mCallback(mPath.c_str(), relativeBase, &info, mContext) ? 0 : kEnumerationRefused;
    }

    bool IsBeingWalked(const FSCatalogInfo& info) const
    {
        for (const FolderIdentity& folder : mFoldersBeingWalked)
            if (folder.device == info.device && folder.inode == info.inode)
                return true;
        return false;
    }

    void Record(const char* path)
    {
        if (mFailedItem)
            *mFailedItem = path;
    }

    const EnumerateFilesCallback mCallback;
    void* const mContext;
    xwstring* const mFailedItem;
    const EnumerateFilesCycleHook mCycleHook;
    void* const mCycleContext;
    std::string mPath;  // the item being worked on
    std::string mBase;  // the relative base of the current folder's children
    std::vector<FolderIdentity> mFoldersBeingWalked;
};
}  // namespace

OSStatus EnumerateFiles(const char* path, const char* relativeBase, EnumerateFilesCallback callback, void* context,
                        xwstring* failedItem)
{
    return EnumerateFiles(path, relativeBase, callback, context, failedItem, nullptr, nullptr);
}

OSStatus EnumerateFiles(const char* path, const char* relativeBase, EnumerateFilesCallback callback, void* context,
                        xwstring* failedItem, EnumerateFilesCycleHook cycleHook, void* cycleContext)
{
    if (!path || !*path || !callback)
        return kFSParamErr;
    Walker walker(callback, context, failedItem, cycleHook, cycleContext);
    return walker.WalkPicked(path, relativeBase);
}
