// The bytes of a value as it lies in memory, for building and comparing raw data in tests.
#pragma once

#include <string>

template <typename T>
std::string Bytes(const T& value)
{
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}
