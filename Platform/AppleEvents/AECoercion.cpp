// Coercion between descriptor types: numbers of every width by value, UTF-8 and plain text by
// relabelling, events and records to record-like types; everything else is refused.
#include "Platform/AppleEvents/AEStorage.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {
bool IsNumeric(DescType type)
{
    switch (type) {
    case typeSInt16:
    case typeUInt16:
    case typeSInt32:
    case typeUInt32:
    case typeSInt64:
    case typeUInt64:
    case typeIEEE64BitFloatingPoint:
        return true;
    default:
        return false;
    }
}

bool IsText(DescType type) { return type == typeChar || type == typeUTF8Text; }

// Types with plain data, which no record can become.
bool IsPlainType(DescType type)
{
    switch (type) {
    case typeNull:
    case typeAEList:
    case typeAppleEvent:
    case typeBoolean:
    case typeType:
    case typeEnumerated:
    case typeProcessSerialNumber:
        return true;
    default:
        return IsNumeric(type) || IsText(type);
    }
}

// A number read from a descriptor: a whole number held exactly as sign and magnitude, or, for a
// double that is no whole number of at most 64 bits, only its double value.
struct Number {
    bool whole = false;
    bool negative = false;
    uint64_t magnitude = 0;
    double real = 0;

    static Number Whole(bool negative, uint64_t magnitude)
    {
        Number number;
        number.whole = true;
        number.negative = negative && magnitude != 0;
        number.magnitude = magnitude;
        number.real = negative ? -static_cast<double>(magnitude) : static_cast<double>(magnitude);
        return number;
    }
    static Number Signed(int64_t value)
    {
        return Whole(value < 0, value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value));
    }
    static Number Real(double value)
    {
        const double twoTo64 = 18446744073709551616.0;
        if (std::isfinite(value) && std::trunc(value) == value && value > -twoTo64 && value < twoTo64)
            return Whole(value < 0, static_cast<uint64_t>(std::fabs(value)));
        Number number;
        number.real = value;
        return number;
    }

    // Whether the number lies in [-lowest, highest], both given as magnitudes.
    bool Within(uint64_t lowest, uint64_t highest) const
    {
        return whole && (negative ? magnitude <= lowest : magnitude <= highest);
    }
    // Whether a double holds it exactly: at most 53 significant bits.
    bool ExactAsDouble() const
    {
        if (!whole)
            return true;
        uint64_t bits = magnitude;
        while (bits != 0 && (bits & 1) == 0)
            bits >>= 1;
        return bits < (uint64_t(1) << 53);
    }
};

template <typename T>
T Load(const std::vector<uint8_t>& bytes)
{
    T value;
    memcpy(&value, bytes.data(), sizeof value);
    return value;
}

template <typename T>
bool LoadIfSized(const std::vector<uint8_t>& bytes, T* value)
{
    if (bytes.size() != sizeof(T))
        return false;
    *value = Load<T>(bytes);
    return true;
}

// The number held by bytes of a numeric type; false when the size does not suit the type. An
// 8-byte "magn" holds a 64-bit unsigned number.
bool ReadNumber(DescType type, const std::vector<uint8_t>& bytes, Number* number)
{
    int16_t s16;
    uint16_t u16;
    int32_t s32;
    uint32_t u32;
    int64_t s64;
    uint64_t u64;
    double real;
    switch (type) {
    case typeSInt16:
        return LoadIfSized(bytes, &s16) && (*number = Number::Signed(s16), true);
    case typeUInt16:
        return LoadIfSized(bytes, &u16) && (*number = Number::Whole(false, u16), true);
    case typeSInt32:
        return LoadIfSized(bytes, &s32) && (*number = Number::Signed(s32), true);
    case typeUInt32:
        if (LoadIfSized(bytes, &u32))
            return *number = Number::Whole(false, u32), true;
        return LoadIfSized(bytes, &u64) && (*number = Number::Whole(false, u64), true);
    case typeSInt64:
        return LoadIfSized(bytes, &s64) && (*number = Number::Signed(s64), true);
    case typeUInt64:
        return LoadIfSized(bytes, &u64) && (*number = Number::Whole(false, u64), true);
    case typeIEEE64BitFloatingPoint:
        return LoadIfSized(bytes, &real) && (*number = Number::Real(real), true);
    default:
        return false;
    }
}

template <typename T>
OSErr StoreIfWithin(DescType type, const Number& number, AEDesc* result)
{
    const uint64_t lowest = std::numeric_limits<T>::is_signed ? uint64_t(std::numeric_limits<T>::max()) + 1 : 0;
    if (!number.Within(lowest, uint64_t(std::numeric_limits<T>::max())))
        return errAECoercionFail;
    // Two's complement: the negated magnitude, cut to the width, is the negative value.
    const T value = static_cast<T>(number.negative ? 0 - number.magnitude : number.magnitude);
    return AECreateDesc(type, &value, sizeof value, result);
}

OSErr CoerceNumber(DescType fromType, const std::vector<uint8_t>& bytes, DescType toType, AEDesc* result)
{
    // The one exception to coercion by value: a 32-bit number sent widened to an 8-byte "magn"
    // is read back from its first four bytes.
    if (fromType == typeUInt32 && toType == typeUInt32 && bytes.size() == 8)
        return AECreateDesc(typeUInt32, bytes.data(), 4, result);
    Number number;
    if (!ReadNumber(fromType, bytes, &number))
        return errAECoercionFail;
    switch (toType) {
    case typeSInt16:
        return StoreIfWithin<int16_t>(toType, number, result);
    case typeUInt16:
        return StoreIfWithin<uint16_t>(toType, number, result);
    case typeSInt32:
        return StoreIfWithin<int32_t>(toType, number, result);
    case typeUInt32:
        return StoreIfWithin<uint32_t>(toType, number, result);
    case typeSInt64:
        return StoreIfWithin<int64_t>(toType, number, result);
    case typeUInt64:
        return StoreIfWithin<uint64_t>(toType, number, result);
    default:
        if (!number.ExactAsDouble())
            return errAECoercionFail;
        return AECreateDesc(toType, &number.real, sizeof number.real, result);
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
    const bool numbers = IsNumeric(source.descriptorType) && IsNumeric(toType);
    // An 8-byte "magn" asked for as "magn" still narrows to its first four bytes.
    const bool narrowing = toType == typeUInt32 && AEGetDescDataSize(&source) == 8;
    if (toType == typeWildCard || (toType == source.descriptorType && !(numbers && narrowing)))
        return AEDuplicateDesc(&source, result);
    switch (FormOf(source.dataHandle)) {
    case AEForm::Data:
        if (numbers)
            return CoerceNumber(source.descriptorType, source.dataHandle->bytes, toType, result);
        if (IsText(source.descriptorType) && IsText(toType))
            return AECreateDesc(toType, source.dataHandle->bytes.data(),
                                static_cast<Size>(source.dataHandle->bytes.size()), result);
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
