// Object specifiers, offsets and ranges: records of fixed keys under their own types.
#include "Platform/AppleEvents/AEStorage.h"

#include <limits>

namespace {
template <typename BuildItems>
OSErr MakeRecord(DescType type, BuildItems buildItems, AEDesc* result)
{
    return AEGuarded([&] {
        AEAdopt(type, AENewContainer(AEForm::Record, buildItems()), result);
        return noErr;
    });
}
}  // namespace

OSErr CreateOffsetDescriptor(long offset, AEDesc* result)
{
    if (!result)
        return paramErr;
    AEInitializeDesc(result);
    if (offset < std::numeric_limits<SInt32>::min() || offset > std::numeric_limits<SInt32>::max())
        return paramErr;
    const SInt32 value = static_cast<SInt32>(offset);
    return AECreateDesc(typeSInt32, &value, sizeof value, result);
}

OSErr CreateObjSpecifier(DescType desiredClass, AEDesc* container, DescType keyForm, AEDesc* keyData,
                         Boolean disposeInputs, AEDesc* result)
{
    OSErr error = paramErr;
    if (result && keyData) {
        error = MakeRecord(typeObjectSpecifier, [&] {
            const AEDesc noContainer = {typeNull, nullptr};
            std::vector<AEItem> items;
            items.push_back(AEItem{keyAEDesiredClass, typeType, AENewPlainData(&desiredClass, sizeof desiredClass)});
            items.push_back(AECopyItem(keyAEContainer, container ? *container : noContainer));
            items.push_back(AEItem{keyAEKeyForm, typeEnumerated, AENewPlainData(&keyForm, sizeof keyForm)});
            items.push_back(AECopyItem(keyAEKeyData, *keyData));
            return items;
        }, result);
    }
    if (disposeInputs) {
        AEDisposeDesc(container);
        AEDisposeDesc(keyData);
    }
    return error;
}

OSErr CreateRangeDescriptor(AEDesc* start, AEDesc* stop, Boolean disposeInputs, AEDesc* result)
{
    OSErr error = paramErr;
    if (result && start && stop) {
        error = MakeRecord(typeRangeDescriptor, [&] {
            std::vector<AEItem> items;
            items.push_back(AECopyItem(keyAERangeStart, *start));
            items.push_back(AECopyItem(keyAERangeStop, *stop));
            return items;
        }, result);
    }
    if (disposeInputs) {
        AEDisposeDesc(start);
        AEDisposeDesc(stop);
    }
    return error;
}
