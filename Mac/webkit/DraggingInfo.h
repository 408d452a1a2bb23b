// What the plug-in view reads of a drag: its pasteboard, with the types it offers and the list of
// file names when it carries files. The browser binding fills it from the page's drag event and
// the paths the host application saw dropped.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

typedef unsigned long NSDragOperation;
enum : NSDragOperation {
    NSDragOperationNone = 0,
    NSDragOperationCopy = 1,
    NSDragOperationEvery = ~0UL,
};

extern const char NSFilenamesPboardType[];

class NSPasteboard {
public:
    NSPasteboard(std::vector<std::string> types, std::vector<std::string> filenames, bool hasFilenames)
        : mTypes(std::move(types)), mFilenames(std::move(filenames)), mHasFilenames(hasFilenames)
    {
    }

    const std::vector<std::string>& types() const { return mTypes; }
    bool typesContain(const char* type) const { return std::find(mTypes.begin(), mTypes.end(), type) != mTypes.end(); }
    // The POSIX paths for NSFilenamesPboardType; null (nil) for another type or when the host gave
    // no list.
    const std::vector<std::string>* propertyListForType(const char* type) const
    {
        return mHasFilenames && std::string(type) == NSFilenamesPboardType ? &mFilenames : nullptr;
    }

private:
    std::vector<std::string> mTypes;
    std::vector<std::string> mFilenames;
    bool mHasFilenames;
};

class NSDraggingInfo {
public:
    explicit NSDraggingInfo(NSPasteboard pasteboard) : mPasteboard(std::move(pasteboard)) {}
    const NSPasteboard& draggingPasteboard() const { return mPasteboard; }

private:
    NSPasteboard mPasteboard;
};
