// The "files_ul" list and the path set: any JSON text parsed as the request handlers parse it,
// read with FromJSON, written with ToJSON and read again. The written text is strict JSON (valid
// UTF-8 too when the input was), and the second reading yields exactly the keys of the first.
#include "FuzzSupport.h"

#include "Common/FileList.h"

#include <json-c/json.h>

#include <cstring>

namespace {
bool SameText(const xwstring& left, const xwstring& right)
{
    return strcmp(static_cast<const char*>(left), static_cast<const char*>(right)) == 0;
}

// Writes container, checks the text and reads it back into again; false when there was nothing.
template <typename Container>
bool RoundTrip(const Container& container, Container& again, bool utf8)
{
    json_object* array = nullptr;
    if (!container.ToJSON(array)) {
        FUZZ_CHECK(container.empty());
        return false;
    }
    const std::string text = json_object_to_json_string(array);
    json_object_put(array);
    FUZZ_CHECK(IsStrictJson(text, utf8));
    json_object* reparsed = json_tokener_parse(text.c_str());
    FUZZ_CHECK(again.FromJSON(reparsed));
    json_object_put(reparsed);
    return true;
}

void CheckFileList(json_object* parsed, bool utf8)
{
    CFileList list;
    if (!list.FromJSON(parsed))
        return;
    CFileList again;
    if (!RoundTrip(list, again, utf8))
        return;
    FUZZ_CHECK(again.size() == list.size());
    for (auto first = list.begin(), second = again.begin(); first != list.end(); ++first, ++second) {
        FUZZ_CHECK(SameText(first->first.first, second->first.first));
        FUZZ_CHECK(SameText(first->first.second, second->first.second));
    }
}

void CheckPathSet(json_object* parsed, bool utf8)
{
    json_xwstringset set;
    if (!set.FromJSON(parsed))
        return;
    json_xwstringset again;
    if (!RoundTrip(set, again, utf8))
        return;
    FUZZ_CHECK(again.size() == set.size());
    for (auto first = set.begin(), second = again.begin(); first != set.end(); ++first, ++second)
        FUZZ_CHECK(SameText(*first, *second));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    json_object* parsed = json_tokener_parse(text.c_str());
    // json-c decodes a lone surrogate escape as U+FFFD, so valid UTF-8 in gives valid UTF-8 out.
    const bool utf8 = IsValidUtf8(text);
    CheckFileList(parsed, utf8);
    CheckPathSet(parsed, utf8);
    json_object_put(parsed);
    return 0;
}
