#include "Mac/AEDescUtils.h"
#include "DescTestSupport.h"

#include <gtest/gtest.h>

namespace {
DescType TypeOf(const AEDesc* desc)
{
    return desc->descriptorType;
}

std::string NthData(const AEDesc* list, long index)
{
    StAEDescriptor item;
    AEGetNthDesc(list, index, typeWildCard, nullptr, item);
    return DataOf(item);
}

template <typename Operation>
short ThrownBy(Operation operation)
{
    try {
        operation();
    } catch (short error) {
        return error;
    }
    return noErr;
}
}  // namespace

TEST(StAEDescriptor, EachDescriptorOwnsItsDataAndTypesFollowTheValue)
{
    StAEDescriptor number(SInt32(7));
    const AEDataStorage before = static_cast<AEDesc*>(number)->dataHandle;
    number.Assign(number);
    const StAEDescriptor& same = number;
    number = same;
    EXPECT_EQ(static_cast<AEDesc*>(number)->dataHandle, before);
    StAEDescriptor copy(number);
    number.Assign(SInt16(3));
    EXPECT_EQ(DataOf(copy), Bytes<int32_t>(7));
    copy = number;
    EXPECT_EQ(DataOf(copy), Bytes<int16_t>(3));

    StAEDescriptor code(UInt32('Laso')), flag(true);
    EXPECT_EQ(TypeOf(code), typeType);
    EXPECT_EQ(DataOf(code), Bytes<uint32_t>('Laso'));
    EXPECT_EQ(TypeOf(flag), typeBoolean);
    EXPECT_EQ(DataOf(flag), std::string(1, '\1'));

    const unsigned char none[] = {0}, abc[] = {3, 'a', 'b', 'c', 'd'};
    StAEDescriptor empty(none);
    EXPECT_EQ(TypeOf(empty), typeChar);
    EXPECT_EQ(DataOf(empty), "");
    empty.Assign(abc);
    EXPECT_EQ(DataOf(empty), "abc");
    EXPECT_EQ(ThrownBy([&] { empty.Assign(ConstStringPtr(nullptr)); }), paramErr);
    EXPECT_EQ(ThrownBy([] { StAEDescriptor list(typeAEList, nullptr, 0); }), errAEWrongDataType);

    WC_CFReleaseIfNotNULL(nullptr);
    WC_CFReleaseIfNotNULL(CFStringCreateWithCString(nullptr, "x", kCFStringEncodingUTF8));  // no leak
}

// A single item grows into a list, nothing into a record, and a range into an index or range
// specifier. Adding to an event, as the request proxy does, is left to the Assistant link's tests.
TEST(UAEDesc, BuildersGrowListsAndRecordsAndMakeSpecifiers)
{
    StAEDescriptor list;
    UAEDesc::AddDesc(list, 0, StAEDescriptor(SInt32(1)));
    EXPECT_EQ(TypeOf(list), typeSInt32);
    UAEDesc::AddPtr(list, 0, typeChar, "two", 3);
    ASSERT_EQ(TypeOf(list), typeAEList);
    EXPECT_EQ(NthData(list, 1), Bytes<int32_t>(1));
    EXPECT_EQ(NthData(list, 2), "two");

    UAEDesc::AddPtr(list, 1, typeChar, "one", 3);  // replaces
    EXPECT_EQ(NthData(list, 1), "one");
    EXPECT_EQ(ThrownBy([&] { UAEDesc::AddPtr(list, 5, typeChar, "x", 1); }), errAEIllegalIndex);
    long count = -1;
    AECountItems(list, &count);
    EXPECT_EQ(count, 2);

    StAEDescriptor record;
    UAEDesc::AddKeyDesc(record, 'key1', StAEDescriptor(SInt16(5)));
    EXPECT_EQ(TypeOf(record), typeAERecord);
    EXPECT_EQ(ParamData(record, 'key1', typeSInt32), Bytes<int32_t>(5));
    EXPECT_EQ(ThrownBy([&] { UAEDesc::AddKeyDesc(list, 'key1', record); }), errAEWrongDataType);

    StAEDescriptor single;
    UAEDesc::MakeRange(StAEDescriptor(), 'file', 3, 3, single);
    EXPECT_EQ(TypeOf(single), typeObjectSpecifier);
    EXPECT_EQ(ParamData(single, keyAEKeyForm, typeEnumerated), Bytes<uint32_t>(formAbsolutePosition));
    EXPECT_EQ(ParamData(single, keyAEKeyData, typeSInt32), Bytes<int32_t>(3));

    StAEDescriptor range;
    UAEDesc::MakeRange(StAEDescriptor(), 'file', 2, 5, range);
    EXPECT_EQ(ParamData(range, keyAEKeyForm, typeEnumerated), Bytes<uint32_t>(formRange));
    StAEDescriptor ends(range, keyAEKeyData, typeWildCard);
    ASSERT_EQ(TypeOf(ends), typeRangeDescriptor);
    StAEDescriptor stop(ends, keyAERangeStop, typeWildCard);
    EXPECT_EQ(ParamData(stop, keyAEKeyData, typeSInt32), Bytes<int32_t>(5));
    StAEDescriptor container(stop, keyAEContainer, typeWildCard);
    EXPECT_EQ(TypeOf(container), typeCurrentContainer);
}

TEST(StAEDescriptor, OptionalAndRequiredParameters)
{
    StAEDescriptor event;
    AECreateAppleEvent('Laso', 'assS', nullptr, 1, 0, event);
    const uint64_t refCon = 0x12345678;
    AEPutParamPtr(event, 'STr1', typeUInt32, &refCon, sizeof refCon);

    StAEDescriptor value(typeChar, "stale", 5);
    value.GetOptionalParamDesc(event, 'NMsg', typeChar);
    EXPECT_EQ(TypeOf(value), typeNull);
    EXPECT_EQ(ThrownBy([&] { value.GetParamDesc(event, 'NMsg', typeChar); }), errAEDescNotFound);
    EXPECT_EQ(ThrownBy([&] { value.GetOptionalParamDesc(event, 'STr1', typeChar); }), errAECoercionFail);

    // The container constructor: events directly, record-like types through "reco".
    EXPECT_EQ(DataOf(StAEDescriptor(event, 'STr1', typeUInt32)), Bytes<uint32_t>(0x12345678));
    EXPECT_EQ(TypeOf(StAEDescriptor(event, 'none', typeUInt32)), typeNull);
    StAEDescriptor location;
    UAEDesc::MakeInsertionLoc(StAEDescriptor(SInt32(4)), 'end ', location);
    EXPECT_EQ(TypeOf(location), typeInsertionLoc);
    EXPECT_EQ(DataOf(StAEDescriptor(location, keyAEObject, typeSInt32)), Bytes<int32_t>(4));
    EXPECT_EQ(DataOf(StAEDescriptor(location, keyAEPosition, typeEnumerated)), Bytes<uint32_t>('end '));
    EXPECT_EQ(TypeOf(StAEDescriptor(location, 'none', typeWildCard)), typeNull);
    EXPECT_EQ(TypeOf(StAEDescriptor(StAEDescriptor(), keyAEObject, typeWildCard)), typeNull);
    EXPECT_EQ(ThrownBy([&] { StAEDescriptor(StAEDescriptor(true), keyAEObject, typeWildCard); }), errAECoercionFail);
}
