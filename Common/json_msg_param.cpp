#include "json_msg_param.h"

#include <strings.h>

#include <cstdint>
#include <cstring>

char szEmptyString[1] = "";

namespace {
// All bits set: inside json-c's error-pointer range, so every reader takes it as absent.
json_object* const kErrorMarker = reinterpret_cast<json_object*>(~uintptr_t(0));
const uintptr_t kErrorRangeStart = static_cast<uintptr_t>(-4000);
}  // namespace

bool json_msg_is_absent(const json_object* value)
{
    return value == nullptr || reinterpret_cast<uintptr_t>(value) > kErrorRangeStart;
}

json_msg_param_base::json_msg_param_base(json_object* object, const char* key)
    : mParent(object), mValue(kErrorMarker)
{
    if (json_msg_is_absent(object))
        return;
    json_object_get(object);
    json_object* member = nullptr;
    if (json_object_is_type(object, json_type_object) &&
        json_object_object_get_ex(object, key, &member) && member)
        mValue = member;
}

json_msg_param_base::json_msg_param_base(json_object* value) : mParent(kErrorMarker), mValue(value) {}

json_msg_param_base::~json_msg_param_base()
{
    if (!json_msg_is_absent(mParent))
        json_object_put(mParent);
}

bool json_msg_param_base::IsPresentAs(json_type type) const
{
    return !json_msg_is_absent(mValue) && json_object_get_type(mValue) == type;
}

bool json_msg_param_base::HoldsNul() const
{
    return IsPresentAs(json_type_string) &&
           std::memchr(json_object_get_string(mValue), 0, static_cast<size_t>(json_object_get_string_len(mValue)));
}

bool json_msg_param_base::IsWholeString() const
{
    return IsPresentAs(json_type_string) && !HoldsNul();
}

const char* json_msg_param_base::StringOrEmpty() const
{
    return IsWholeString() ? json_object_get_string(mValue) : szEmptyString;
}

bool json_msg_param_base::StringEquals(const char* text) const
{
    if (!IsWholeString())
        return text == nullptr;
    return text != nullptr && strcasecmp(text, json_object_get_string(mValue)) == 0;
}

int json_msg_param_array::length() const
{
    return IsPresentAs(json_type_array) ? static_cast<int>(json_object_array_length(mValue)) : 0;
}

json_object* json_msg_param_array::operator[](int index) const
{
    if (!IsPresentAs(json_type_array))
        return kErrorMarker;
    return index < 0 ? nullptr : json_object_array_get_idx(mValue, static_cast<size_t>(index));
}
