// Small readers for descriptor contents in tests.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"
#include "tests/support/Bytes.h"

#include <string>

inline std::string DataOf(const AEDesc* desc)
{
    std::string bytes(static_cast<size_t>(AEGetDescDataSize(desc)), '\0');
    AEGetDescData(desc, bytes.data(), static_cast<Size>(bytes.size()));
    return bytes;
}

// The data of a parameter fetched as type, or "" when it cannot be read.
inline std::string ParamData(const AEDesc* container, AEKeyword key, DescType type)
{
    AEDesc value;
    std::string bytes;
    if (AEGetParamDesc(container, key, type, &value) == noErr)
        bytes = DataOf(&value);
    AEDisposeDesc(&value);
    return bytes;
}
