// The upload list and the set of picked paths, both ordered and free of entries that differ
// only in ASCII letter case, with their "files_ul" JSON forms.
#pragma once

#include "xwstring.h"

#include <json-c/json.h>

#include <map>
#include <set>
#include <utility>

typedef std::pair<xwstring, xwstring> xwstring_pair;

// Orders (file path, relative path) keys by strcasecmp of the UTF-8 forms, file path first.
struct xwstring_pair_less_than {
    bool operator()(const xwstring_pair& left, const xwstring_pair& right) const;
};

struct xwstring_less_than {
    bool operator()(const xwstring& left, const xwstring& right) const;
};

// Map from (file path, relative path) to the file's size.
class CFileList : public std::map<xwstring_pair, double, xwstring_pair_less_than> {
public:
    // A new array of {"file_path", "relative_path", "size"} objects in list order, owned by the
    // caller; false (out untouched) for an empty list or when the array cannot be made.
    bool ToJSON(json_object*& out) const;
    // The same for the entries from first up to last.
    static bool ToJSON(json_object*& out, const_iterator first, const_iterator last);
    // Replaces the contents with the entries of a non-empty array; false leaves them unchanged.
    bool FromJSON(json_object* array);
};

class json_xwstringset : public std::set<xwstring, xwstring_less_than> {
public:
    bool ToJSON(json_object*& out) const;
    bool FromJSON(json_object* array);
};
