// The walk that turns one picked item into files: a file is reported as it is, a folder is
// walked recursively and every file below it is reported with the relative base under which it
// was reached ("Docs/", "Docs/Sub/"). Items whose names begin with "." are skipped at every level
// once they have been looked up.
#pragma once

#include "Platform/FileManager/FileManager.h"
#include "xwstring.h"

#include <string>
#include <unordered_set>
#include <vector>

// Returned when the callback refuses a file.
constexpr OSStatus kEnumerationRefused = -666;

// One file: its path, its relative base (null for a picked file) and catalogue information.
// Returns false to stop the walk.
typedef bool (*EnumerateFilesCallback)(const char* path, const char* relativeBase, FSCatalogInfo* info, void* context);

// The folders walked so far by the walks of one pick. Each folder (device and inode) is walked
// once however many picked paths and links lead to it, which also ends link cycles; the paths by
// which a folder was reached again are kept for the caller to report.
class WalkedFolders {
public:
    // Notes a folder about to be walked; false, keeping path, when it was walked before.
    bool Enter(const FSCatalogInfo& folder, const std::string& path);
    // The paths of the folders skipped since the last call.
    std::vector<std::string> TakeSkipped();

private:
    struct Identity {
        uint64_t device;
        uint64_t inode;
        bool operator==(const Identity& other) const { return device == other.device && inode == other.inode; }
    };
    struct IdentityHash {
        size_t operator()(const Identity& identity) const { return identity.inode * 31 + identity.device; }
    };

    std::unordered_set<Identity, IdentityHash> mWalked;
    std::vector<std::string> mSkipped;
};

// Walks path. relativeBase is null or empty for a picked item. Returns 0 for a file or a folder
// walked before, errFSNoMoreItems for a folder walked to its end (both mean success), kFSParamErr
// for a missing path or callback, dirNFErr for a folder path without "/", kEnumerationRefused, or
// the platform's status of the first failing item, which stops the walk of every folder above it.
// failedItem (optional) receives the path of the item being worked on when a platform call
// fails or a folder's items end; it is left alone otherwise. The walk calls nothing but the
// callback, so a caller may keep state across it that a call out of the walk could change.
OSStatus EnumerateFiles(const char* path, const char* relativeBase, EnumerateFilesCallback callback, void* context,
                        xwstring* failedItem);
// The same, as one of the walks of a pick that share walked.
OSStatus EnumerateFiles(const char* path, const char* relativeBase, EnumerateFilesCallback callback, void* context,
                        xwstring* failedItem, WalkedFolders& walked);
