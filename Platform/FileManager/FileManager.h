// The File Manager: item look-up by path and folder iterators, with its status codes.
// Items are reached through symbolic links: a link to a folder is a folder, a link to a file a file.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int32_t OSStatus;

// Success is 0 (noErr). -50 (paramErr) is named kFSParamErr here, so that this header can be
// included beside others that define the general codes.
constexpr OSStatus ioErr = -36;              // EIO
constexpr OSStatus bdNamErr = -37;           // ENAMETOOLONG
constexpr OSStatus fnfErr = -43;             // ENOENT, ENOTDIR
constexpr OSStatus kFSParamErr = -50;        // a missing argument
constexpr OSStatus dirNFErr = -120;
constexpr OSStatus errFSNoMoreItems = -1417;  // the normal end of a folder's items
constexpr OSStatus afpAccessDenied = -5000;   // EACCES, EPERM
// Any other platform failure is reported as its negated errno.

// What is known of one item. There are no Finder flags and no resource forks here: both stay 0.
struct FSCatalogInfo {
    uint16_t finderFlags;
    uint64_t dataLogicalSize;
    uint64_t rsrcLogicalSize;
    bool isFolder;
    uint64_t device;  // device and inode name the item itself, whatever path reached it
    uint64_t inode;
};

// The item at path, following a symbolic link at its end.
OSStatus FSPathGetCatalogInfo(const char* path, FSCatalogInfo* info);
// The full path of the item at path as the item itself gives it: every link followed, "." and
// ".." removed, no trailing "/". bdNamErr when it does not fit in bufferSize bytes with its NUL.
OSStatus FSPathMakeFullPath(const char* path, char* buffer, size_t bufferSize);

// Reads one folder's children in one pass; "." and ".." are not children.
struct FSIterator;

OSStatus FSOpenIterator(const char* folderPath, FSIterator** iterator);
// Opens the child folder name of an open iterator's folder without looking its path up again.
OSStatus FSOpenChildIterator(FSIterator* parent, const char* name, FSIterator** iterator);
// The next child's name (valid until the next call), or errFSNoMoreItems after the last one.
OSStatus FSGetNextChildName(FSIterator* iterator, const char** name);
// The catalogue information of the child name of the iterator's folder.
OSStatus FSGetChildCatalogInfo(FSIterator* iterator, const char* name, FSCatalogInfo* info);
void FSCloseIterator(FSIterator* iterator);
