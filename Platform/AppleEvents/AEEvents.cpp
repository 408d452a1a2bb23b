// Keyed parameters of records and events, and Apple events with their attributes.
#include "Platform/AppleEvents/AEStorage.h"

#include <algorithm>
#include <cstring>

namespace {
// The keyed parameters of a record or event.
OSErr ParametersOf(const AEDesc* container, std::vector<AEItem>** items)
{
    if (!container)
        return paramErr;
    switch (FormOf(container->dataHandle)) {
    case AEForm::Record:
    case AEForm::Event:
        *items = &container->dataHandle->items;
        return noErr;
    case AEForm::Empty:
        return errAENotAEDesc;
    default:
        return errAEWrongDataType;
    }
}

OSErr AttributesOf(const AEDesc* event, std::vector<AEItem>** items)
{
    if (!event)
        return paramErr;
    if (FormOf(event->dataHandle) != AEForm::Event)
        return event->dataHandle ? errAEWrongDataType : errAENotAEDesc;
    *items = &event->dataHandle->attributes;
    return noErr;
}

std::vector<AEItem>::iterator Find(std::vector<AEItem>& items, AEKeyword key)
{
    return std::find_if(items.begin(), items.end(), [key](const AEItem& item) { return item.key == key; });
}

void Put(std::vector<AEItem>& items, AEItem item)
{
    auto existing = Find(items, item.key);
    if (existing != items.end())
        *existing = std::move(item);
    else
        items.push_back(std::move(item));
}

// The parameter or attribute (as itemsOf picks) under key.
OSErr Lookup(OSErr (*itemsOf)(const AEDesc*, std::vector<AEItem>**), const AEDesc* event, AEKeyword key,
             const AEItem** found)
{
    std::vector<AEItem>* items = nullptr;
    const OSErr error = itemsOf(event, &items);
    if (error != noErr)
        return error;
    auto item = Find(*items, key);
    if (item == items->end())
        return errAEDescNotFound;
    *found = &*item;
    return noErr;
}

OSErr ReadDesc(const AEItem& item, DescType desiredType, AEDesc* result)
{
    const AEDesc view = AEViewOf(item);
    return AECoerceDesc(&view, desiredType, result);
}

OSErr ReadPtr(const AEItem& item, DescType desiredType, DescType* actualType, void* dataPtr, Size maximumSize,
              Size* actualSize)
{
    AEDesc value;
    OSErr error = ReadDesc(item, desiredType, &value);
    if (error == noErr && FormOf(value.dataHandle) != AEForm::Data && FormOf(value.dataHandle) != AEForm::Empty)
        error = errAEWrongDataType;
    if (error == noErr) {
        if (actualType)
            *actualType = value.descriptorType;
        if (actualSize)
            *actualSize = AEGetDescDataSize(&value);
        error = AEGetDescData(&value, dataPtr, maximumSize);
    }
    AEDisposeDesc(&value);
    return error;
}

bool ValidBuffer(const void* dataPtr, Size maximumSize)
{
    return maximumSize >= 0 && (maximumSize == 0 || dataPtr);
}

SInt16 NextReturnID()
{
    static SInt16 last = 0;
    do
        last = static_cast<SInt16>(last + 1);
    while (last == 0 || last == kAutoGenerateReturnID);
    return last;
}

AEItem PlainItem(AEKeyword key, DescType type, const void* bytes, Size size)
{
    return AEItem{key, type, AENewPlainData(bytes, size)};
}
}  // namespace

OSErr AEPutParamDesc(AppleEvent* event, AEKeyword keyword, const AEDesc* desc)
{
    std::vector<AEItem>* items = nullptr;
    const OSErr error = desc ? ParametersOf(event, &items) : paramErr;
    if (error != noErr)
        return error;
    return AEGuarded([&] {
        Put(*items, AECopyItem(keyword, *desc));
        return noErr;
    });
}

OSErr AEPutParamPtr(AppleEvent* event, AEKeyword keyword, DescType typeCode, const void* dataPtr, Size dataSize)
{
    AEDesc value;
    OSErr error = AECreateDesc(typeCode, dataPtr, dataSize, &value);
    if (error == noErr)
        error = AEPutParamDesc(event, keyword, &value);
    AEDisposeDesc(&value);
    return error;
}

OSErr AEGetParamDesc(const AppleEvent* event, AEKeyword keyword, DescType desiredType, AEDesc* result)
{
    if (!result)
        return paramErr;
    AEInitializeDesc(result);
    const AEItem* item = nullptr;
    const OSErr error = Lookup(&ParametersOf, event, keyword, &item);
    return error == noErr ? ReadDesc(*item, desiredType, result) : error;
}

OSErr AEGetParamPtr(const AppleEvent* event, AEKeyword keyword, DescType desiredType, DescType* actualType,
                    void* dataPtr, Size maximumSize, Size* actualSize)
{
    if (!ValidBuffer(dataPtr, maximumSize))
        return paramErr;
    const AEItem* item = nullptr;
    const OSErr error = Lookup(&ParametersOf, event, keyword, &item);
    return error == noErr ? ReadPtr(*item, desiredType, actualType, dataPtr, maximumSize, actualSize) : error;
}

OSErr AEDeleteParam(AppleEvent* event, AEKeyword keyword)
{
    std::vector<AEItem>* items = nullptr;
    const OSErr error = ParametersOf(event, &items);
    if (error != noErr)
        return error;
    auto item = Find(*items, keyword);
    if (item == items->end())
        return errAEDescNotFound;
    items->erase(item);
    return noErr;
}

OSErr AECreateAppleEvent(AEEventClass eventClass, AEEventID eventID, const AEAddressDesc* target, SInt16 returnID,
                         SInt32 transactionID, AppleEvent* result)
{
    if (!result)
        return paramErr;
    AEInitializeDesc(result);
    if (returnID == kAutoGenerateReturnID)
        returnID = NextReturnID();
    return AEGuarded([&] {
        AEDataPtr event = AENewContainer(AEForm::Event, {});
        std::vector<AEItem>& attributes = event->attributes;
        attributes.push_back(PlainItem(keyEventClassAttr, typeType, &eventClass, sizeof eventClass));
        attributes.push_back(PlainItem(keyEventIDAttr, typeType, &eventID, sizeof eventID));
        if (target && target->descriptorType != typeNull)
            attributes.push_back(AECopyItem(keyAddressAttr, *target));
        attributes.push_back(PlainItem(keyReturnIDAttr, typeSInt16, &returnID, sizeof returnID));
        attributes.push_back(PlainItem(keyTransactionIDAttr, typeSInt32, &transactionID, sizeof transactionID));
        AEAdopt(typeAppleEvent, std::move(event), result);
        return noErr;
    });
}

OSErr AEGetAttributeDesc(const AppleEvent* event, AEKeyword keyword, DescType desiredType, AEDesc* result)
{
    if (!result)
        return paramErr;
    AEInitializeDesc(result);
    const AEItem* item = nullptr;
    const OSErr error = Lookup(&AttributesOf, event, keyword, &item);
    return error == noErr ? ReadDesc(*item, desiredType, result) : error;
}

OSErr AEGetAttributePtr(const AppleEvent* event, AEKeyword keyword, DescType desiredType, DescType* actualType,
                        void* dataPtr, Size maximumSize, Size* actualSize)
{
    if (!ValidBuffer(dataPtr, maximumSize))
        return paramErr;
    const AEItem* item = nullptr;
    const OSErr error = Lookup(&AttributesOf, event, keyword, &item);
    return error == noErr ? ReadPtr(*item, desiredType, actualType, dataPtr, maximumSize, actualSize) : error;
}
