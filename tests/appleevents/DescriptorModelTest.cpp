#include "DescTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
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
}  // namespace

// Numbers convert by value into every numeric type that holds them exactly, at each end of each
// range; text converts between its two types; anything else is refused and leaves the result null.
TEST(DescriptorModel, CoercionsConvertOnlyValuesThatFit)
{
    const uint64_t twoTo53 = uint64_t(1) << 53, twoTo63 = uint64_t(1) << 63;
    const struct {
        DescType from;
        std::string bytes;
        DescType to;
        bool ok;
        std::string expected;  // when ok
    } cases[] = {
        {typeSInt32, Bytes<int32_t>(32768), typeSInt16, false, ""},
        {typeSInt32, Bytes<int32_t>(-32768), typeSInt16, true, Bytes<int16_t>(-32768)},
        {typeSInt32, Bytes<int32_t>(65535), typeUInt16, true, Bytes<uint16_t>(65535)},
        {typeSInt32, Bytes<int32_t>(65536), typeUInt16, false, ""},
        {typeSInt64, Bytes<int64_t>(-2147483649LL), typeSInt32, false, ""},
        {typeUInt32, Bytes<uint32_t>(0x80000000u), typeSInt32, false, ""},
        {typeUInt32, Bytes<uint32_t>(0x80000000u), typeSInt64, true, Bytes<int64_t>(0x80000000LL)},
        {typeUInt64, Bytes<uint64_t>(twoTo63 - 1), typeSInt64, true, Bytes<uint64_t>(twoTo63 - 1)},
        {typeUInt64, Bytes<uint64_t>(twoTo63), typeSInt64, false, ""},
        {typeSInt64, Bytes<int64_t>(-1), typeUInt64, false, ""},
        // An 8-byte "magn" is a 64-bit number, except when asked for as "magn" (the status-event
        // tests cover "magn" from every type, that case included).
        {typeUInt32, Bytes<uint64_t>(~uint64_t(0)), typeUInt64, true, Bytes<uint64_t>(~uint64_t(0))},
        // Doubles: whole numbers in range only; integers into doubles only when exact.
        {typeIEEE64BitFloatingPoint, Bytes(-0.0), typeSInt32, true, Bytes<int32_t>(0)},
        {typeIEEE64BitFloatingPoint, Bytes(-2147483648.0), typeSInt32, true, Bytes<int32_t>(-2147483647 - 1)},
        {typeIEEE64BitFloatingPoint, Bytes(0.5), typeSInt16, false, ""},
        {typeIEEE64BitFloatingPoint, Bytes(HUGE_VAL), typeUInt64, false, ""},
        {typeIEEE64BitFloatingPoint, Bytes(18446744073709549568.0), typeUInt64, true,
         Bytes<uint64_t>(18446744073709549568u)},
        {typeIEEE64BitFloatingPoint, Bytes(18446744073709551616.0), typeUInt64, false, ""},
        {typeSInt16, Bytes<int16_t>(-5), typeIEEE64BitFloatingPoint, true, Bytes(-5.0)},
        {typeSInt64, Bytes<int64_t>(twoTo53), typeIEEE64BitFloatingPoint, true, Bytes(9007199254740992.0)},
        {typeSInt64, Bytes<int64_t>(twoTo53 + 1), typeIEEE64BitFloatingPoint, false, ""},
        {typeSInt64, Bytes<int64_t>(INT64_MIN), typeIEEE64BitFloatingPoint, true, Bytes(-9223372036854775808.0)},
        {typeUInt64, Bytes<uint64_t>(~uint64_t(0)), typeIEEE64BitFloatingPoint, false, ""},
        // Data whose size does not suit its type is refused, not read past its end.
        {typeSInt32, Bytes<int16_t>(7), typeIEEE64BitFloatingPoint, false, ""},
        {typeIEEE64BitFloatingPoint, Bytes<float>(7), typeSInt32, false, ""},
        {typeChar, "7", typeWildCard, true, "7"},
        {typeUTF8Text, "\xC3\xA9", typeChar, true, "\xC3\xA9"},
        {typeUTF8Text, "7", typeSInt32, false, ""},
    };
    for (const auto& c : cases) {
        Desc source, result;
        AECreateDesc(c.from, c.bytes.data(), static_cast<Size>(c.bytes.size()), &source);
        const OSErr error = AECoerceDesc(&source, c.to, &result);
        const std::string label = std::string(reinterpret_cast<const char*>(&c.from), 4) + " " +
                                  std::to_string(c.bytes.size()) + " to " + std::string(reinterpret_cast<const char*>(&c.to), 4);
        EXPECT_EQ(error, c.ok ? noErr : errAECoercionFail) << label;
        EXPECT_EQ(result.d.descriptorType, c.ok ? (c.to == typeWildCard ? c.from : c.to) : typeNull) << label;
        if (c.ok) {
            EXPECT_EQ(DataOf(&result), c.expected) << label;
        }
    }
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
    EXPECT_EQ(ParamData(&r, 'NMsg', typeChar), "hi");
    for (DescType to : {typeChar, typeUTF8Text, typeIEEE64BitFloatingPoint})
        EXPECT_EQ(AECoerceDesc(&record, to, r.Out()), errAECoercionFail);
    EXPECT_EQ(AECoerceDesc(&event, typeInsertionLoc, r.Out()), errAECoercionFail);
    AECreateList(nullptr, 0, false, &list);
    EXPECT_EQ(AECoerceDesc(&list, typeAERecord, r.Out()), errAECoercionFail);
    EXPECT_EQ(AECoerceDesc(r.Out(), typeSInt32, &r), errAECoercionFail);  // null to anything
}

// Parameters keep their order, a replaced one its place, and answer size queries; events carry
// their attributes (the class and the target, which delivery reads, are left to the delivery and
// flattened-form tests).
TEST(DescriptorModel, EventsKeepTheirParametersAndAttributes)
{
    Desc event, second;
    ASSERT_EQ(AECreateAppleEvent('Laso', 'ADMN', nullptr, kAutoGenerateReturnID, 9, &event), noErr);
    ASSERT_EQ(AECreateAppleEvent('Laso', 'ADMN', nullptr, kAutoGenerateReturnID, 9, &second), noErr);
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

    // Reading only the size is left to the status-event tests, whose handler does so first.
    DescType type = typeNull;
    Size size = -1;
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

    SInt16 ids[2] = {};
    AEGetAttributePtr(&event, keyReturnIDAttr, typeSInt16, &type, &ids[0], 2, &size);
    AEGetAttributePtr(&second, keyReturnIDAttr, typeSInt16, &type, &ids[1], 2, &size);
    EXPECT_NE(ids[0], ids[1]);
    Desc transaction, record;
    ASSERT_EQ(AEGetAttributeDesc(&event, keyTransactionIDAttr, typeSInt64, &transaction), noErr);
    EXPECT_EQ(DataOf(&transaction), Bytes<int64_t>(9));
    AECreateList(nullptr, 0, true, &record);
    EXPECT_EQ(AEGetAttributeDesc(&record, keyEventClassAttr, typeType, transaction.Out()), errAEWrongDataType);
    EXPECT_EQ(AEGetAttributeDesc(&event, 'none', typeType, transaction.Out()), errAEDescNotFound);
}
