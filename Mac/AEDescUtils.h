// Owning Apple Event descriptor wrapper and the operations that build records, lists and a few
// composite descriptors. Every Apple Event Manager failure is thrown as its result code, a short.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"
#include "Platform/CFString/CFString.h"

// Releases a Core Foundation object; does nothing for null.
void WC_CFReleaseIfNotNULL(CFTypeRef object);

// Holds one descriptor and releases it when it goes out of scope. Copies are deep.
class StAEDescriptor {
public:
    StAEDescriptor();
    StAEDescriptor(const StAEDescriptor& other);
    StAEDescriptor(DescType type, const void* data, SInt32 size);
    explicit StAEDescriptor(Boolean value);
    explicit StAEDescriptor(SInt16 value);
    explicit StAEDescriptor(SInt32 value);
    explicit StAEDescriptor(UInt32 value);
    explicit StAEDescriptor(ConstStringPtr text);
    // The keyed parameter of an event or record (or of anything that coerces to a record),
    // coerced to desiredType; null when the container is null or has no such parameter.
    StAEDescriptor(const AEDesc& container, AEKeyword key, DescType desiredType);
    ~StAEDescriptor();

    StAEDescriptor& operator=(const StAEDescriptor& other);

    // Each Assign releases the current descriptor first.
    void Assign(DescType type, const void* data, SInt32 size);
    void Assign(Boolean value);            // 'bool', 1 byte
    void Assign(SInt16 value);             // 'shor'
    void Assign(SInt32 value);             // 'long'
    void Assign(UInt32 value);             // 'type': an unsigned value is stored as a type code
    void Assign(ConstStringPtr text);      // 'TEXT' with the characters of a Pascal string
    void Assign(const StAEDescriptor& other);

    void GetParamDesc(const AEDesc& container, AEKeyword key, DescType desiredType);
    // As GetParamDesc, but an absent parameter leaves the wrapper null instead of throwing.
    void GetOptionalParamDesc(const AEDesc& container, AEKeyword key, DescType desiredType);

    void Dispose();
    void InitToNull();

    // Raw access for platform calls, which may fill the wrapper in place.
    operator AEDesc*() { return &mDesc; }
    operator AEDesc&() { return mDesc; }
    operator const AEDesc*() const { return &mDesc; }

private:
    AEDesc mDesc;
};

// Builds descriptors in place. The outputs of MakeBooleanDesc and MakeRange are overwritten
// without being released; MakeInsertionLoc releases its output first.
class UAEDesc {
public:
    // Stores value under key, first turning a null record into an empty record.
    static void AddKeyDesc(AEDesc* record, AEKeyword key, const AEDesc& value);
    // Stores item at a 1-based index (0 appends); a null list becomes a copy of the item, and a
    // single descriptor grows into a list holding it first.
    static void AddDesc(AEDesc* list, SInt32 index, const AEDesc& item);
    static void AddPtr(AEDesc* list, SInt32 index, DescType type, const void* data, SInt32 size);
    static void MakeBooleanDesc(Boolean value, AEDesc* out);
    // Elements start to end of objectClass in container by absolute position; a single element
    // when end is not greater than start.
    static void MakeRange(const AEDesc& container, DescType objectClass, SInt32 start, SInt32 end, AEDesc* out);
    static void MakeInsertionLoc(const AEDesc& object, DescType position, AEDesc* out);
};
