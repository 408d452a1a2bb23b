// The walk that turns one picked item into files: a file is reported as it is, a folder is
// walked recursively and every file below it is reported with the relative base under which it
// was reached ("Docs/", "Docs/Sub/"). Items whose names begin with "." are skipped at every level.
#pragma once

#include "Platform/FileManager/FileManager.h"
#include "xwstring.h"

// Returned when the callback refuses a file.
constexpr OSStatus kEnumerationRefused = -666;

// One file: its path, its relative base (null for a picked file) and catalogue information.
// Returns false to stop the walk.
typedef bool (*EnumerateFilesCallback)(const char* path, const char* relativeBase, FSCatalogInfo* info, void* context);

// Told of each folder that was skipped because it is already being walked further up (a link cycle).
typedef void (*EnumerateFilesCycleHook)(const char* path, void* context);

// Walks path. relativeBase is null or empty for a picked item. Returns 0 for a file,
// errFSNoMoreItems for a folder walked to its end (both mean success), kFSParamErr for a missing
// path or callback, dirNFErr for a folder path without "/", kEnumerationRefused, or the
// platform's status of the first failing item, which stops the walk of every folder above it.
// failedItem (optional) receives the path of the item being worked on when a platform call
// fails or a folder's items end; it is left alone otherwise.
OSStatus EnumerateFiles(const char* path, const char* relativeBase, EnumerateFilesCallback callback, void* context,
                        xwstring* failedItem);
OSStatus EnumerateFiles(const char* path, const char* relativeBase, EnumerateFilesCallback callback, void* context,
                        xwstring* failedItem, EnumerateFilesCycleHook cycleHook, void* cycleContext);
