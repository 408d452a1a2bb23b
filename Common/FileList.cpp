#include "FileList.h"

#include "json_msg_param.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <strings.h>

namespace {
int CompareIgnoringCase(const xwstring& left, const xwstring& right)
{
    const char* l = left;
    const char* r = right;
    return strcasecmp(l ? l : "", r ? r : "");
}

// Replaces container's contents with what add reads from each member (and its index) of a
// non-empty array; false, with the contents unchanged, for anything else.
template <typename Container, typename Add>
bool ReplaceFromArray(Container& container, json_object* array, Add add)
{
    const json_msg_param_array elements(array);
    const int count = elements.length();
    if (count <= 0)
        return false;
    container.clear();
    for (int i = 0; i < count; ++i)
        add(elements[i], i);
    return true;
}

const double kFirstInexactWhole = 9007199254740992.0;  // 2^53

// Infinity, NaN and huge values have no exact JSON form that a browser would parse.
double SendableSize(double size)
{
    return std::fabs(size) <= kFirstInexactWhole ? size : 0.0;
}

json_object* NewString(const xwstring& text)
{
    const char* narrow = text;
    return json_object_new_string(narrow ? narrow : "");
}

// Writes a size as json-c's double serializer does with the format "%lf" (1536.000000). File
// sizes are whole numbers, and printing those needs no printf; anything else goes to json-c.
int SerializeSize(json_object* value, printbuf* out, int level, int flags)
{
    const double size = json_object_get_double(value);
    if (std::signbit(size) || !(size < kFirstInexactWhole) || size != std::floor(size) ||
        (flags & JSON_C_TO_STRING_NOZERO))
        return json_object_double_to_json_string(value, out, level, flags);
    char text[32];
    char* end = std::to_chars(text, text + sizeof text, static_cast<unsigned long long>(size)).ptr;
    std::memcpy(end, ".000000", 7);
    return printbuf_memappend(out, text, static_cast<int>(end + 7 - text));
}

json_object* NewSize(double size)
{
    json_object* value = json_object_new_double(SendableSize(size));
    if (value)
        json_object_set_serializer(value, SerializeSize, const_cast<char*>("%lf"), nullptr);
    return value;
}

// An entry's members are added once each under literal names: json-c need neither copy a name
// nor look for an earlier member of the same name.
void AddNewMember(json_object* entry, const char* name, json_object* value)
{
    json_object_object_add_ex(entry, name, value, JSON_C_OBJECT_ADD_KEY_IS_NEW | JSON_C_OBJECT_ADD_CONSTANT_KEY);
}

// An {"file_path", "relative_path", "size"} object appended to array; an entry whose object
// cannot be made is left out.
void AppendEntry(json_object* array, const CFileList::value_type& entry)
{
    json_object* object = json_object_new_object();
    if (json_msg_is_absent(object))
        return;
    AddNewMember(object, "file_path", NewString(entry.first.first));
    AddNewMember(object, "relative_path", NewString(entry.first.second));
    AddNewMember(object, "size", NewSize(entry.second));
    json_object_array_add(array, object);
}

// A new array holding what append adds, unless there is nothing to add or no array to be had.
template <typename Append>
bool NewArray(json_object*& out, bool empty, Append append)
{
    if (empty)
        return false;
    out = json_object_new_array();
    if (json_msg_is_absent(out))
        return false;
    append(out);
    return true;
}
}  // namespace

bool xwstring_pair_less_than::operator()(const xwstring_pair& left, const xwstring_pair& right) const
{
    const int byPath = CompareIgnoringCase(left.first, right.first);
    return byPath != 0 ? byPath < 0 : CompareIgnoringCase(left.second, right.second) < 0;
}

bool xwstring_less_than::operator()(const xwstring& left, const xwstring& right) const
{
    return CompareIgnoringCase(left, right) < 0;
}

bool CFileList::ToJSON(json_object*& out) const
{
    return NewArray(out, empty(), [this](json_object* array) {
        for (const value_type& entry : *this)
            AppendEntry(array, entry);
    });
}

bool CFileList::ToJSON(json_object*& out, const EntryRefs& entries)
{
    return NewArray(out, entries.empty(), [&entries](json_object* array) {
        for (const value_type* entry : entries)
            AppendEntry(array, *entry);
    });
}

bool CFileList::FromJSON(json_object* array, CRefusedElements* refused)
{
    // A page usually sends entries in list order: each then belongs after the last one, which the
    // hint end() finds without a search.
    return ReplaceFromArray(*this, array, [this, refused](json_object* element, int index) {
        const json_msg_param<char*> filePath(element, "file_path");
        const json_msg_param<char*> relativePath(element, "relative_path");
        const json_msg_param<double> size(element, "size");
        const char* withNul = filePath.HoldsNul() ? "file_path" : relativePath.HoldsNul() ? "relative_path" : nullptr;
        if (withNul) {
            if (refused)
                refused->push_back({index, withNul});
            return;
        }
        emplace_hint(end(),
                     xwstring_pair(xwstring(static_cast<char*>(filePath)), xwstring(static_cast<char*>(relativePath))),
                     SendableSize(size));
    });
}

bool json_xwstringset::ToJSON(json_object*& out) const
{
    if (empty())
        return false;
    out = json_object_new_array();
    if (json_msg_is_absent(out))
        return false;
    for (const xwstring& path : *this)
        json_object_array_add(out, NewString(path));
    return true;
}

bool json_xwstringset::FromJSON(json_object* array, CRefusedElements* refused)
{
    return ReplaceFromArray(*this, array, [this, refused](json_object* element, int index) {
        const json_msg_param<char*> path(element);
        if (path.HoldsNul()) {
            if (refused)
                refused->push_back({index, nullptr});
            return;
        }
        xwstring copy(static_cast<char*>(path));
        if (static_cast<const char*>(copy))
            insert(std::move(copy));
    });
}
