// Owning descriptor wrapper and descriptor-building operations over the Apple Event Manager.
#include "AEDescUtils.h"

namespace {
void ThrowIfError(OSErr error)
{
    if (error != noErr)
        throw static_cast<short>(error);
}
}  // namespace

void WC_CFReleaseIfNotNULL(CFTypeRef object)
{
    if (object)
        CFRelease(object);
}

StAEDescriptor::StAEDescriptor()
{
    InitToNull();
}

StAEDescriptor::StAEDescriptor(const StAEDescriptor& other)
{
    InitToNull();
    ThrowIfError(AEDuplicateDesc(other, &mDesc));
}

StAEDescriptor::StAEDescriptor(DescType type, const void* data, SInt32 size)
{
    InitToNull();
    Assign(type, data, size);
}

StAEDescriptor::StAEDescriptor(Boolean value)
{
    InitToNull();
    Assign(value);
}

StAEDescriptor::StAEDescriptor(SInt16 value)
{
    InitToNull();
    Assign(value);
}

StAEDescriptor::StAEDescriptor(SInt32 value)
{
    InitToNull();
    Assign(value);
}

StAEDescriptor::StAEDescriptor(UInt32 value)
{
    InitToNull();
    Assign(value);
}

StAEDescriptor::StAEDescriptor(ConstStringPtr text)
{
    InitToNull();
    Assign(text);
}

StAEDescriptor::StAEDescriptor(const AEDesc& container, AEKeyword key, DescType desiredType)
{
    InitToNull();
    switch (container.descriptorType) {
    case typeAppleEvent:
    case typeAERecord:
        // A missing or unreadable parameter leaves the wrapper null.
        AEGetParamDesc(&container, key, desiredType, &mDesc);
        return;
    case typeNull:
        return;
    default: {
        StAEDescriptor record;
        ThrowIfError(AECoerceDesc(&container, typeAERecord, record));
        GetOptionalParamDesc(record, key, desiredType);
    }
    }
}

StAEDescriptor::~StAEDescriptor()
{
    Dispose();
}

StAEDescriptor& StAEDescriptor::operator=(const StAEDescriptor& other)
{
    Assign(other);
    return *this;
}

void StAEDescriptor::Assign(DescType type, const void* data, SInt32 size)
{
    Dispose();
    ThrowIfError(AECreateDesc(type, data, size, &mDesc));
}

void StAEDescriptor::Assign(Boolean value)
{
    const uint8_t byte = value ? 1 : 0;
    Assign(typeBoolean, &byte, sizeof byte);
}

void StAEDescriptor::Assign(SInt16 value)
{
    Assign(typeSInt16, &value, sizeof value);
}

void StAEDescriptor::Assign(SInt32 value)
{
    Assign(typeSInt32, &value, sizeof value);
}

void StAEDescriptor::Assign(UInt32 value)
{
    Assign(typeType, &value, sizeof value);
}

void StAEDescriptor::Assign(ConstStringPtr text)
{
    if (!text)
        throw static_cast<short>(paramErr);
    Assign(typeChar, text + 1, text[0]);
}

void StAEDescriptor::Assign(const StAEDescriptor& other)
{
    if (&other == this)
        return;
    Dispose();
    ThrowIfError(AEDuplicateDesc(other, &mDesc));
}

void StAEDescriptor::GetParamDesc(const AEDesc& container, AEKeyword key, DescType desiredType)
{
    Dispose();
    ThrowIfError(AEGetParamDesc(&container, key, desiredType, &mDesc));
}

void StAEDescriptor::GetOptionalParamDesc(const AEDesc& container, AEKeyword key, DescType desiredType)
{
    Dispose();
    const OSErr error = AEGetParamDesc(&container, key, desiredType, &mDesc);
    if (error != errAEDescNotFound)
        ThrowIfError(error);
}

void StAEDescriptor::Dispose()
{
    if (mDesc.dataHandle) {
        AEDisposeDesc(&mDesc);
        InitToNull();
    }
}

void StAEDescriptor::InitToNull()
{
    mDesc.descriptorType = typeNull;
    mDesc.dataHandle = nullptr;
}

void UAEDesc::AddKeyDesc(AEDesc* record, AEKeyword key, const AEDesc& value)
{
    if (record->descriptorType == typeNull)
        ThrowIfError(AECreateList(nullptr, 0, true, record));
    ThrowIfError(AEPutParamDesc(record, key, &value));
}

void UAEDesc::AddDesc(AEDesc* list, SInt32 index, const AEDesc& item)
{
    if (list->descriptorType == typeNull) {
        ThrowIfError(AEDuplicateDesc(&item, list));
        return;
    }
    if (list->descriptorType != typeAEList) {
        StAEDescriptor single;
        ThrowIfError(AEDuplicateDesc(list, single));
        AEDisposeDesc(list);
        ThrowIfError(AECreateList(nullptr, 0, false, list));
        ThrowIfError(AEPutDesc(list, 0, single));
    }
    ThrowIfError(AEPutDesc(list, index, &item));
}

void UAEDesc::AddPtr(AEDesc* list, SInt32 index, DescType type, const void* data, SInt32 size)
{
    StAEDescriptor item(type, data, size);
    AddDesc(list, index, item);
}

void UAEDesc::MakeBooleanDesc(Boolean value, AEDesc* out)
{
    const uint8_t byte = value ? 1 : 0;
    ThrowIfError(AECreateDesc(typeBoolean, &byte, sizeof byte, out));
}

namespace {
// Object specifier for the element of objectClass at an absolute position in container.
void MakeIndexSpecifier(const AEDesc& container, DescType objectClass, SInt32 position, AEDesc* out)
{
    StAEDescriptor offset;
    ThrowIfError(CreateOffsetDescriptor(position, offset));
    // Without disposeInputs the container is only read.
    ThrowIfError(CreateObjSpecifier(objectClass, const_cast<AEDesc*>(&container), formAbsolutePosition, offset,
                                    false, out));
}
}  // namespace

void UAEDesc::MakeRange(const AEDesc& container, DescType objectClass, SInt32 start, SInt32 end, AEDesc* out)
{
    if (end <= start) {
        MakeIndexSpecifier(container, objectClass, start, out);
        return;
    }
    StAEDescriptor currentContainer(typeCurrentContainer, nullptr, 0);
    StAEDescriptor first;
    StAEDescriptor last;
    MakeIndexSpecifier(currentContainer, objectClass, start, first);
    MakeIndexSpecifier(currentContainer, objectClass, end, last);
    StAEDescriptor range;
    ThrowIfError(CreateRangeDescriptor(first, last, false, range));
    ThrowIfError(CreateObjSpecifier(objectClass, const_cast<AEDesc*>(&container), formRange, range, false, out));
}

void UAEDesc::MakeInsertionLoc(const AEDesc& object, DescType position, AEDesc* out)
{
    StAEDescriptor record;
    ThrowIfError(AECreateList(nullptr, 0, true, record));
    ThrowIfError(AEPutParamDesc(record, keyAEObject, &object));
    ThrowIfError(AEPutParamPtr(record, keyAEPosition, typeEnumerated, &position, sizeof position));
    AEDisposeDesc(out);
    ThrowIfError(AECoerceDesc(record, typeInsertionLoc, out));
}
