// Internal form of descriptor data, shared by the files of this folder.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"

#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

enum class AEForm : uint8_t { Empty = 0, Data = 1, List = 2, Record = 3, Event = 4 };

using AEDataPtr = std::unique_ptr<OpaqueAEDataStorage>;

// A descriptor held by value inside a list, record or event.
struct AEItem {
    AEKeyword key;  // typeWildCard for list elements
    DescType type;
    AEDataPtr data;
};

struct OpaqueAEDataStorage {
    AEForm form;
    std::vector<uint8_t> bytes;      // Data
    std::vector<AEItem> items;       // List elements, Record and Event parameters
    std::vector<AEItem> attributes;  // Event
};

inline AEForm FormOf(const OpaqueAEDataStorage* data)
{
    return data ? data->form : AEForm::Empty;
}

// Whether a descriptor of this type may have this form; 'null', 'list', 'aevt' and 'reco' are
// bound to one form each, and only 'list' and 'aevt' have the list and event forms.
bool AEFormFitsType(DescType type, AEForm form);

AEDataPtr AECloneData(const OpaqueAEDataStorage* data);
AEItem AECopyItem(AEKeyword key, const AEDesc& desc);
AEDataPtr AENewPlainData(const void* bytes, Size size);
AEDataPtr AENewContainer(AEForm form, std::vector<AEItem> items);
void AEAdopt(DescType type, AEDataPtr data, AEDesc* result);

// A read-only descriptor view of an item, for calls that take an AEDesc.
inline AEDesc AEViewOf(const AEItem& item)
{
    return AEDesc{item.type, item.data.get()};
}

// Runs an operation, turning allocation failures into memFullErr.
template <typename Operation>
OSErr AEGuarded(Operation operation)
{
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        return memFullErr;
    } catch (const std::length_error&) {
        return memFullErr;
    }
}
