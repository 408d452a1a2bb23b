// Coercion between descriptor types: integers of the four widths, events and records to
// record-like types; everything else is refused.
#include "Platform/AppleEvents/AEStorage.h"

#include <cstring>
#include <limits>

namespace {
bool IsInteger(DescType type)
{
    return type == typeSInt16 || type == typeSInt32 || type == typeUInt32 || type == typeSInt64;
}

// Types with plain data, which no record can become.
bool IsPlainType(DescType type)
{
    switch (type) {
    case typeNull:
    case typeAEList:
    case typeAppleEvent:
    case typeBoolean:
    case typeType:
    case typeChar:
    case typeEnumerated:
    case typeProcessSerialNumber:
        return true;
    default:
        return IsInteger(type);
    }
}

template <typename T>
T Load(const std::vector<uint8_t>& bytes)
{
    T value;
    memcpy(&value, bytes.data(), sizeof value);
    return value;
}

// The integer held by bytes of an integer type; false when the size does not suit the type or
// an 8-byte "magn" exceeds the signed 64-bit range.
bool ReadInteger(DescType type, const std::vector<uint8_t>& bytes, int64_t* value)
{
    switch (type) {
    case typeSInt16:
        if (bytes.size() != 2)
            return false;
        *value = Load<int16_t>(bytes);
        return true;
    case typeSInt32:
        if (bytes.size() != 4)
            return false;
        *value = Load<int32_t>(bytes);
        return true;
    case typeUInt32:
        if (bytes.size() == 4) {
            *value = Load<uint32_t>(bytes);
            return true;
        }
        if (bytes.size() != 8 || Load<uint64_t>(bytes) > uint64_t(std::numeric_limits<int64_t>::max()))
            return false;
        *value = static_cast<int64_t>(Load<uint64_t>(bytes));
        return true;
    case typeSInt64:
        if (bytes.size() != 8)
            return false;
        *value = Load<int64_t>(bytes);
        return true;
    default:
        return false;
    }
}

template <typename T>
OSErr StoreIfFits(DescType type, int64_t value, AEDesc* result)
{
    if (value < int64_t(std::numeric_limits<T>::min()) || value > int64_t(std::numeric_limits<T>::max()))
        return errAECoercionFail;
    const T narrowed = static_cast<T>(value);
    return AECreateDesc(type, &narrowed, sizeof narrowed, result);
}

OSErr CoerceInteger(DescType fromType, const std::vector<uint8_t>& bytes, DescType toType, AEDesc* result)
{
    // A 32-bit number sent widened to 8 bytes is read back from its first four bytes.
    if (toType == typeUInt32 && (fromType == typeUInt32 || fromType == typeSInt64) && bytes.size() == 8)
        return AECreateDesc(typeUInt32, bytes.data(), 4, result);
    int64_t value = 0;
    if (!ReadInteger(fromType, bytes, &value))
        return errAECoercionFail;
    switch (toType) {
    case typeSInt16:
        return StoreIfFits<int16_t>(toType, value, result);
    case typeSInt32:
        return StoreIfFits<int32_t>(toType, value, result);
    case typeUInt32:
        return StoreIfFits<uint32_t>(toType, value, result);
    default:
        return StoreIfFits<int64_t>(toType, value, result);
    }
}

OSErr Relabel(const OpaqueAEDataStorage* record, DescType toType, AEDesc* result)
{
    return AEGuarded([&] {
        AEDataPtr copy = AECloneData(record);
        copy->form = AEForm::Record;
        copy->attributes.clear();
        AEAdopt(toType, std::move(copy), result);
        return noErr;
    });
}
}  // namespace

OSErr AECoerceDesc(const AEDesc* desc, DescType toType, AEDesc* result)
{
    if (!desc || !result)
        return paramErr;
    const AEDesc source = *desc;
    AEInitializeDesc(result);
    const bool integers = IsInteger(source.descriptorType) && IsInteger(toType);
    // An 8-byte "magn" asked for as "magn" still narrows to its first four bytes.
    const bool narrowing = toType == typeUInt32 && AEGetDescDataSize(&source) == 8;
    if (toType == typeWildCard || (toType == source.descriptorType && !(integers && narrowing)))
        return AEDuplicateDesc(&source, result);
    switch (FormOf(source.dataHandle)) {
    case AEForm::Data:
        if (integers)
            return CoerceInteger(source.descriptorType, source.dataHandle->bytes, toType, result);
        return errAECoercionFail;
    case AEForm::Event:
        // An event becomes the record of its parameters.
        if (toType == typeAERecord)
            return Relabel(source.dataHandle, toType, result);
        return errAECoercionFail;
    case AEForm::Record:
        if (!IsPlainType(toType))
            return Relabel(source.dataHandle, toType, result);
        return errAECoercionFail;
    default:
        return errAECoercionFail;
    }
}
