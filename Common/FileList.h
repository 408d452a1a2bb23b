// The upload list and the set of picked paths, both ordered and free of entries that differ
// only in ASCII letter case, with their "files_ul" JSON forms.
#pragma once

#include "ListArena.h"
#include "xwstring.h"

#include <json-c/json.h>

#include <map>
#include <set>
#include <utility>
#include <vector>

typedef std::pair<xwstring, xwstring> xwstring_pair;

// Orders (file path, relative path) keys by strcasecmp of the UTF-8 forms, file path first.
struct xwstring_pair_less_than {
    bool operator()(const xwstring_pair& left, const xwstring_pair& right) const;
};

struct xwstring_less_than {
    bool operator()(const xwstring& left, const xwstring& right) const;
};

// An element that FromJSON left out because a path in it holds a NUL character, which no file path
// can: its index in the array and the member ("file_path", "relative_path"; null for a bare path).
struct CRefusedElement {
    int index;
    const char* member;
};
typedef std::vector<CRefusedElement> CRefusedElements;

// Map from (file path, relative path) to the file's size. A size that is not a finite number of at
// most 2^53 in magnitude has no exact JSON form: it is read and written as 0.
class CFileList : public std::map<xwstring_pair, double, xwstring_pair_less_than,
                                  CListAllocator<std::pair<const xwstring_pair, double>>> {
public:
    // Entries of a list, by address, in list order.
    typedef std::vector<const value_type*> EntryRefs;

    // A new array of {"file_path", "relative_path", "size"} objects in list order, owned by the
    // caller; false (out untouched) for an empty list or when the array cannot be made.
    bool ToJSON(json_object*& out) const;
    // The same for the given entries.
    static bool ToJSON(json_object*& out, const EntryRefs& entries);
    // Replaces the contents with the entries of a non-empty array; false leaves them unchanged.
    // Elements with a NUL character in a path are left out and, when refused is given, listed there.
    bool FromJSON(json_object* array, CRefusedElements* refused = nullptr);
};

class json_xwstringset : public std::set<xwstring, xwstring_less_than> {
public:
    bool ToJSON(json_object*& out) const;
    // As CFileList::FromJSON, for an array of path strings.
    bool FromJSON(json_object* array, CRefusedElements* refused = nullptr);
};
