// Plain descriptors and lists: creation, copying, release and element access.
#include "Platform/AppleEvents/AEStorage.h"

#include <algorithm>
#include <cstring>

bool AEFormFitsType(DescType type, AEForm form)
{
    switch (type) {
    case typeNull:
        return form == AEForm::Empty;
    case typeAEList:
        return form == AEForm::List;
    case typeAppleEvent:
        return form == AEForm::Event;
    case typeAERecord:
        return form == AEForm::Record;
    default:
        return form != AEForm::List && form != AEForm::Event;
    }
}

static std::vector<AEItem> CloneItems(const std::vector<AEItem>& items)
{
    std::vector<AEItem> copies;
    copies.reserve(items.size());
    for (const AEItem& item : items)
        copies.push_back(AEItem{item.key, item.type, AECloneData(item.data.get())});
    return copies;
}

AEDataPtr AECloneData(const OpaqueAEDataStorage* data)
{
    if (!data)
        return nullptr;
    AEDataPtr copy(new OpaqueAEDataStorage{data->form, data->bytes, CloneItems(data->items), {}});
    copy->attributes = CloneItems(data->attributes);
    return copy;
}

AEItem AECopyItem(AEKeyword key, const AEDesc& desc)
{
    return AEItem{key, desc.descriptorType, AECloneData(desc.dataHandle)};
}

AEDataPtr AENewPlainData(const void* bytes, Size size)
{
    const uint8_t* first = static_cast<const uint8_t*>(bytes);
    return AEDataPtr(new OpaqueAEDataStorage{AEForm::Data, std::vector<uint8_t>(first, first + size), {}, {}});
}

AEDataPtr AENewContainer(AEForm form, std::vector<AEItem> items)
{
    return AEDataPtr(new OpaqueAEDataStorage{form, {}, std::move(items), {}});
}

void AEAdopt(DescType type, AEDataPtr data, AEDesc* result)
{
    result->descriptorType = type;
    result->dataHandle = data.release();
}

void AEInitializeDesc(AEDesc* desc)
{
    if (desc) {
        desc->descriptorType = typeNull;
        desc->dataHandle = nullptr;
    }
}

OSErr AECreateDesc(DescType typeCode, const void* dataPtr, Size dataSize, AEDesc* result)
{
    if (!result || dataSize < 0 || (dataSize > 0 && !dataPtr))
        return paramErr;
    AEInitializeDesc(result);
    if (typeCode == typeNull)
        return noErr;
    if (!AEFormFitsType(typeCode, AEForm::Data))
        return errAEWrongDataType;
    return AEGuarded([&] {
        AEAdopt(typeCode, AENewPlainData(dataPtr, dataSize), result);
        return noErr;
    });
}

OSErr AEDuplicateDesc(const AEDesc* desc, AEDesc* result)
{
    if (!desc || !result)
        return paramErr;
    const DescType type = desc->descriptorType;
    return AEGuarded([&] {
        AEDataPtr copy = AECloneData(desc->dataHandle);
        AEAdopt(type, std::move(copy), result);
        return noErr;
    });
}

OSErr AEDisposeDesc(AEDesc* desc)
{
    if (desc) {
        delete desc->dataHandle;
        AEInitializeDesc(desc);
    }
    return noErr;
}

Size AEGetDescDataSize(const AEDesc* desc)
{
    if (!desc || FormOf(desc->dataHandle) != AEForm::Data)
        return 0;
    return static_cast<Size>(desc->dataHandle->bytes.size());
}

OSErr AEGetDescData(const AEDesc* desc, void* dataPtr, Size maximumSize)
{
    if (!desc || maximumSize < 0 || (maximumSize > 0 && !dataPtr))
        return paramErr;
    switch (FormOf(desc->dataHandle)) {
    case AEForm::Empty:
        return noErr;
    case AEForm::Data: {
        const std::vector<uint8_t>& bytes = desc->dataHandle->bytes;
        const size_t count = std::min(bytes.size(), static_cast<size_t>(maximumSize));
        if (count > 0)
            memcpy(dataPtr, bytes.data(), count);
        return noErr;
    }
    default:
        return errAEWrongDataType;
    }
}

OSErr AECreateList(const void*, Size factoredSize, Boolean isRecord, AEDescList* result)
{
    if (!result || factoredSize < 0)
        return paramErr;
    AEInitializeDesc(result);
    return AEGuarded([&] {
        AEAdopt(isRecord ? typeAERecord : typeAEList, AENewContainer(isRecord ? AEForm::Record : AEForm::List, {}),
                result);
        return noErr;
    });
}

// The elements of a list, or the parameters of a record or event.
static OSErr ItemsOf(const AEDesc* list, std::vector<AEItem>** items)
{
    if (!list)
        return paramErr;
    switch (FormOf(list->dataHandle)) {
    case AEForm::List:
    case AEForm::Record:
    case AEForm::Event:
        *items = &list->dataHandle->items;
        return noErr;
    case AEForm::Empty:
        return errAENotAEDesc;
    default:
        return errAEWrongDataType;
    }
}

OSErr AECountItems(const AEDescList* list, long* count)
{
    std::vector<AEItem>* items = nullptr;
    const OSErr error = count ? ItemsOf(list, &items) : paramErr;
    if (error == noErr)
        *count = static_cast<long>(items->size());
    return error;
}

OSErr AEPutDesc(AEDescList* list, long index, const AEDesc* desc)
{
    if (!list || !desc)
        return paramErr;
    if (FormOf(list->dataHandle) != AEForm::List)
        return list->dataHandle ? errAEWrongDataType : errAENotAEDesc;
    std::vector<AEItem>& items = list->dataHandle->items;
    const long count = static_cast<long>(items.size());
    if (index < 0 || index > count + 1)
        return errAEIllegalIndex;
    return AEGuarded([&] {
        AEItem item = AECopyItem(typeWildCard, *desc);
        if (index == 0 || index == count + 1)
            items.push_back(std::move(item));
        else
            items[static_cast<size_t>(index - 1)] = std::move(item);
        return noErr;
    });
}

OSErr AEGetNthDesc(const AEDescList* list, long index, DescType desiredType, AEKeyword* keyword, AEDesc* result)
{
    if (!result)
        return paramErr;
    AEInitializeDesc(result);
    std::vector<AEItem>* items = nullptr;
    const OSErr error = ItemsOf(list, &items);
    if (error != noErr)
        return error;
    if (index < 1 || index > static_cast<long>(items->size()))
        return errAEIllegalIndex;
    const AEItem& item = (*items)[static_cast<size_t>(index - 1)];
    if (keyword)
        *keyword = item.key;
    const AEDesc view = AEViewOf(item);
    return AECoerceDesc(&view, desiredType, result);
}
