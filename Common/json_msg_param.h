// Typed read access to one member of a JSON message. A missing member, a member of another JSON
// type, JSON null and a null object all read as one neutral value ("", 0, 0.0, false, length 0).
// A string holding a NUL character reads as absent too: as C text it would arrive shortened.
#pragma once

#include <json-c/json.h>

// The shared empty text returned for absent strings; never written through.
extern char szEmptyString[];

class json_msg_param_base {
public:
    // Looks key up in object, holding a reference on object for the accessor's lifetime.
    // A value that is not an object reads every key as missing.
    json_msg_param_base(json_object* object, const char* key);
    // Wraps a value the caller holds (an array element, a whole array); takes no reference.
    explicit json_msg_param_base(json_object* value);
    virtual ~json_msg_param_base();

    json_msg_param_base(const json_msg_param_base&) = delete;
    json_msg_param_base& operator=(const json_msg_param_base&) = delete;

    operator json_object*() const { return mValue; }

    // True for a string value with a NUL character inside, which the string reads leave out.
    bool HoldsNul() const;

protected:
    bool IsPresentAs(json_type type) const;
    bool IsWholeString() const;
    const char* StringOrEmpty() const;
    bool StringEquals(const char* text) const;

    json_object* mParent;
    json_object* mValue;
};

// True for null and for json-c's error-pointer range, which holds the accessors' error marker.
bool json_msg_is_absent(const json_object* value);

template <typename T>
class json_msg_param;

template <>
class json_msg_param<char*> : public json_msg_param_base {
public:
    using json_msg_param_base::json_msg_param_base;
    operator char*() const { return const_cast<char*>(StringOrEmpty()); }
    bool operator==(const char* text) const { return StringEquals(text); }
};

template <>
class json_msg_param<const char*> : public json_msg_param_base {
public:
    using json_msg_param_base::json_msg_param_base;
    operator const char*() const { return StringOrEmpty(); }
    bool operator==(const char* text) const { return StringEquals(text); }
};

template <>
class json_msg_param<int> : public json_msg_param_base {
public:
    using json_msg_param_base::json_msg_param_base;
    operator int() const { return IsPresentAs(json_type_int) ? json_object_get_int(mValue) : 0; }
    bool operator==(int value) const { return IsPresentAs(json_type_int) && json_object_get_int(mValue) == value; }
};

template <>
class json_msg_param<double> : public json_msg_param_base {
public:
    using json_msg_param_base::json_msg_param_base;
    operator double() const { return IsPresentAs(json_type_double) ? json_object_get_double(mValue) : 0.0; }
    bool operator==(double value) const
    {
        return IsPresentAs(json_type_double) && json_object_get_double(mValue) == value;
    }
};

template <>
class json_msg_param<bool> : public json_msg_param_base {
public:
    using json_msg_param_base::json_msg_param_base;
    operator bool() const { return IsPresentAs(json_type_boolean) && json_object_get_boolean(mValue) != 0; }
    bool operator==(bool value) const
    {
        return IsPresentAs(json_type_boolean) && (json_object_get_boolean(mValue) != 0) == value;
    }
};

class json_msg_param_array : public json_msg_param_base {
public:
    using json_msg_param_base::json_msg_param_base;
    int length() const;
    // Element at index, null past the end; the error marker when the value is not an array.
    json_object* operator[](int index) const;
};
