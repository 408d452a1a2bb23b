#include "DescTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {
struct Desc {
    AEDesc d;
    Desc() { AEInitializeDesc(&d); }
    ~Desc() { AEDisposeDesc(&d); }
    AEDesc* operator&() { return &d; }
    // For an output: releases what an earlier call put here.
    AEDesc* Out()
    {
        AEDisposeDesc(&d);
        return &d;
    }
};

template <typename T>
OSErr Coerce(DescType from, T value, DescType to, Desc& result)
{
    Desc source;
    AECreateDesc(from, &value, sizeof value, &source);
    return AECoerceDesc(&source, to, result.Out());
}
}  // namespace

TEST(DescriptorModel, IntegerCoercionsConvertOnlyValuesThatFit)
{
    Desc r;
    EXPECT_EQ(Coerce<int16_t>(typeSInt16, -5, typeSInt32, r), noErr);
    EXPECT_EQ(DataOf(&r), BytesOf<int32_t>(-5));
    EXPECT_EQ(Coerce<int32_t>(typeSInt32, 40000, typeSInt16, r), errAECoercionFail);
    EXPECT_EQ(r.d.descriptorType, typeNull);
    EXPECT_EQ(Coerce<int32_t>(typeSInt32, -1, typeUInt32, r), errAECoercionFail);
    EXPECT_EQ(Coerce<uint32_t>(typeUInt32, 0x80000000u, typeSInt32, r), errAECoercionFail);
    EXPECT_EQ(Coerce<uint32_t>(typeUInt32, 0x80000000u, typeSInt64, r), noErr);
    EXPECT_EQ(DataOf(&r), BytesOf<int64_t>(0x80000000LL));
    EXPECT_EQ(Coerce<int64_t>(typeSInt64, int64_t(1) << 40, typeSInt32, r), errAECoercionFail);

    // A 32-bit refCon widened to 8 bytes reads back as "magn" from its first four bytes, whether
    // sent as "magn" or "comp"; the whole 8-byte "magn" also reads as a 64-bit number.
    const uint64_t wide = 0xDEADBEEFu;
    for (DescType from : {typeUInt32, typeSInt64}) {
        EXPECT_EQ(Coerce(from, wide, typeUInt32, r), noErr);
        EXPECT_EQ(r.d.descriptorType, typeUInt32);
        EXPECT_EQ(DataOf(&r), BytesOf<uint32_t>(0xDEADBEEFu));
    }
    EXPECT_EQ(Coerce(typeUInt32, wide, typeSInt64, r), noErr);
    EXPECT_EQ(DataOf(&r), BytesOf(wide));
    EXPECT_EQ(Coerce(typeUInt32, ~uint64_t(0), typeSInt64, r), errAECoercionFail);

    // A value whose size does not suit its type is refused, not read past its end.
    EXPECT_EQ(Coerce<int16_t>(typeSInt32, 7, typeSInt16, r), errAECoercionFail);
    EXPECT_EQ(Coerce<int32_t>(typeChar, 7, typeSInt32, r), errAECoercionFail);
    EXPECT_EQ(Coerce<int32_t>(typeChar, 7, typeWildCard, r), noErr);
    EXPECT_EQ(r.d.descriptorType, typeChar);
}

TEST(DescriptorModel, ContainersCoerceOnlyToRecordLikeTypes)
{
    Desc event, record, list, r;
    ASSERT_EQ(AECreateAppleEvent('Laso', 'assS', nullptr, 7, 0, &event), noErr);
    AEPutParamPtr(&event, 'NMsg', typeChar, "hi", 2);
    ASSERT_EQ(AECoerceDesc(&event, typeAERecord, &record), noErr);
    EXPECT_EQ(record.d.descriptorType, typeAERecord);
    EXPECT_EQ(ParamData(&record, 'NMsg', typeChar), "hi");
    long count = 0;
    AECountItems(&record, &count);
    EXPECT_EQ(count, 1);  // attributes are not parameters

    ASSERT_EQ(AECoerceDesc(&record, typeInsertionLoc, r.Out()), noErr);
    EXPECT_EQ(r.d.descriptorType, typeInsertionLoc);
    EXPECT_EQ(ParamData(&r, 'NMsg', typeChar), "hi");
    EXPECT_EQ(AECoerceDesc(&record, typeChar, r.Out()), errAECoercionFail);
    EXPECT_EQ(AECoerceDesc(&event, typeInsertionLoc, r.Out()), errAECoercionFail);
    AECreateList(nullptr, 0, false, &list);
    EXPECT_EQ(AECoerceDesc(&list, typeAERecord, r.Out()), errAECoercionFail);
    EXPECT_EQ(AECoerceDesc(r.Out(), typeSInt32, &r), errAECoercionFail);  // null to anything
}

TEST(DescriptorModel, ParametersKeepOrderAndAnswerSizeQueries)
{
    Desc event;
    AECreateAppleEvent('Laso', 'ADMN', nullptr, kAutoGenerateReturnID, kAnyTransactionID, &event);
    const uint64_t refCon = 42;
    AEPutParamPtr(&event, keyDirectObject, typeChar, "old", 3);
    AEPutParamPtr(&event, 'navG', typeUInt32, &refCon, sizeof refCon);
    AEPutParamPtr(&event, keyDirectObject, typeChar, "{\"a\":1}", 7);  // replaced in place

    AEKeyword keys[2] = {};
    Desc item;
    for (long i = 1; i <= 2; ++i)
        ASSERT_EQ(AEGetNthDesc(&event, i, typeWildCard, &keys[i - 1], item.Out()), noErr);
    EXPECT_EQ(keys[0], keyDirectObject);
    EXPECT_EQ(keys[1], AEKeyword('navG'));
    EXPECT_EQ(AEGetNthDesc(&event, 3, typeWildCard, nullptr, item.Out()), errAEIllegalIndex);

    DescType type = typeNull;
    Size size = -1;
    ASSERT_EQ(AEGetParamPtr(&event, keyDirectObject, typeChar, &type, nullptr, 0, &size), noErr);
    EXPECT_EQ(type, typeChar);
    EXPECT_EQ(size, 7);
    char prefix[4] = {};
    ASSERT_EQ(AEGetParamPtr(&event, keyDirectObject, typeChar, &type, prefix, 3, &size), noErr);
    EXPECT_EQ(std::string(prefix), "{\"a");
    EXPECT_EQ(size, 7);
    uint32_t narrow = 0;
    ASSERT_EQ(AEGetParamPtr(&event, 'navG', typeUInt32, &type, &narrow, sizeof narrow, &size), noErr);
    EXPECT_EQ(narrow, 42u);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(AEGetParamPtr(&event, keyDirectObject, typeSInt32, &type, nullptr, 0, &size), errAECoercionFail);
    EXPECT_EQ(AEGetParamPtr(&event, 'none', typeChar, &type, nullptr, 0, &size), errAEDescNotFound);
    EXPECT_EQ(AEGetParamPtr(&event, keyDirectObject, typeChar, &type, nullptr, 4, &size), paramErr);

    EXPECT_EQ(AEDeleteParam(&event, keyDirectObject), noErr);
    EXPECT_EQ(AEDeleteParam(&event, keyDirectObject), errAEDescNotFound);
    Desc text;
    AECreateDesc(typeChar, "x", 1, &text);
    EXPECT_EQ(AEPutParamPtr(&text, 'k', typeChar, "y", 1), errAEWrongDataType);
    EXPECT_EQ(AEPutDesc(&event, 0, &text), errAEWrongDataType);
}

TEST(DescriptorModel, EventsCarryTheirAttributes)
{
    const ProcessSerialNumber psn = {1, 2};
    Desc target, first, second;
    AECreateDesc(typeProcessSerialNumber, &psn, sizeof psn, &target);
    ASSERT_EQ(AECreateAppleEvent('Laso', 'ADMN', &target, kAutoGenerateReturnID, 9, &first), noErr);
    ASSERT_EQ(AECreateAppleEvent('Laso', 'ADMN', &target, kAutoGenerateReturnID, 9, &second), noErr);
    AEDisposeDesc(&target);  // the event keeps its own copy

    DescType type = typeNull;
    Size size = 0;
    AEEventClass eventClass = 0;
    ProcessSerialNumber address = {};
    EXPECT_EQ(AEGetAttributePtr(&first, keyEventClassAttr, typeType, &type, &eventClass, 4, &size), noErr);
    EXPECT_EQ(eventClass, AEEventClass('Laso'));
    EXPECT_EQ(AEGetAttributePtr(&first, keyAddressAttr, typeWildCard, &type, &address, sizeof address, &size), noErr);
    EXPECT_EQ(type, typeProcessSerialNumber);
    EXPECT_EQ(address.lowLongOfPSN, 2u);
    SInt16 ids[2] = {};
    AEGetAttributePtr(&first, keyReturnIDAttr, typeSInt16, &type, &ids[0], 2, &size);
    AEGetAttributePtr(&second, keyReturnIDAttr, typeSInt16, &type, &ids[1], 2, &size);
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(ids[0], kAutoGenerateReturnID);
    Desc transaction;
    ASSERT_EQ(AEGetAttributeDesc(&first, keyTransactionIDAttr, typeSInt64, &transaction), noErr);
    EXPECT_EQ(DataOf(&transaction), BytesOf<int64_t>(9));

    Desc record;
    AECreateList(nullptr, 0, true, &record);
    EXPECT_EQ(AEGetAttributeDesc(&record, keyEventClassAttr, typeType, transaction.Out()), errAEWrongDataType);
    EXPECT_EQ(AEGetAttributeDesc(&first, 'none', typeType, transaction.Out()), errAEDescNotFound);
}
