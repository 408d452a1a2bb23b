#include "DescTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {
std::vector<char> Flatten(const AEDesc* desc)
{
    std::vector<char> bytes(static_cast<size_t>(AESizeOfFlattenedDesc(desc)));
    Size written = 0;
    EXPECT_EQ(AEFlattenDesc(desc, bytes.data(), static_cast<Size>(bytes.size()), &written), noErr);
    EXPECT_EQ(written, static_cast<Size>(bytes.size()));
    return bytes;
}

// Unflattening must refuse the buffer, leaving the result null.
void ExpectRefused(const std::vector<char>& bytes)
{
    AEDesc result;
    const OSStatus status = AEUnflattenDescFromBytes(bytes.data(), static_cast<Size>(bytes.size()), &result);
    EXPECT_EQ(status, errAECorruptData);
    EXPECT_EQ(result.descriptorType, typeNull);
    EXPECT_EQ(result.dataHandle, nullptr);
}

// An event holding a nested event, a list with a record, a null and an empty text.
void BuildNestedEvent(AEDesc* outer)
{
    const ProcessSerialNumber psn = {0, 77};
    AEDesc target, inner, list, record, empty;
    AECreateDesc(typeProcessSerialNumber, &psn, sizeof psn, &target);
    AECreateAppleEvent('Laso', 'assS', &target, 5, 6, &inner);
    AEPutParamPtr(&inner, 'NMsg', typeChar, "{}", 2);
    AECreateAppleEvent('Laso', 'ADMN', &target, 8, 0, outer);
    AECreateList(nullptr, 0, false, &list);
    AECreateList(nullptr, 0, true, &record);
    AEPutParamPtr(&record, 'STr1', typeUInt32, "\1\0\0\0\0\0\0\0", 8);
    AEPutDesc(&list, 0, &record);
    AEInitializeDesc(&empty);
    AEPutDesc(&list, 0, &empty);
    AEPutParamDesc(outer, 'evnt', &inner);
    AEPutParamDesc(outer, 'list', &list);
    AEPutParamPtr(outer, keyDirectObject, typeChar, "", 0);
    for (AEDesc* desc : {&target, &inner, &list, &record})
        AEDisposeDesc(desc);
}
}  // namespace

TEST(FlattenedForm, NestedEventsRoundTripWithAttributes)
{
    AEDesc event, copy, inner;
    BuildNestedEvent(&event);
    const std::vector<char> bytes = Flatten(&event);
    ASSERT_EQ(AEUnflattenDescFromBytes(bytes.data(), static_cast<Size>(bytes.size()), &copy), noErr);
    EXPECT_EQ(Flatten(&copy), bytes);

    ASSERT_EQ(AEGetParamDesc(&copy, 'evnt', typeWildCard, &inner), noErr);
    EXPECT_EQ(inner.descriptorType, typeAppleEvent);
    EXPECT_EQ(ParamData(&inner, 'NMsg', typeChar), "{}");
    ProcessSerialNumber address = {};
    DescType type = typeNull;
    Size size = 0;
    AEGetAttributePtr(&inner, keyAddressAttr, typeProcessSerialNumber, &type, &address, sizeof address, &size);
    EXPECT_EQ(address.lowLongOfPSN, 77u);
    EXPECT_EQ(ParamData(&copy, keyDirectObject, typeChar, &type), "");
    EXPECT_EQ(type, typeChar);

    // The buffer is only as large as the form; one byte less is refused.
    char small[8];
    EXPECT_EQ(AEFlattenDesc(&event, small, sizeof small, &size), paramErr);
    EXPECT_EQ(size, static_cast<Size>(bytes.size()));
    for (AEDesc* desc : {&event, &copy, &inner})
        AEDisposeDesc(desc);
}

// Every truncation and several hand-made forms are refused; no corruption of a byte crashes or
// leaks, and what is accepted flattens back to the same bytes.
TEST(FlattenedForm, MalformedBuffersAreRefusedCorruptedOnesNeverCrash)
{
    AEDesc event, text;
    BuildNestedEvent(&event);
    const std::vector<char> bytes = Flatten(&event);
    AECreateDesc(typeChar, "abc", 3, &text);
    const std::vector<char> plain = Flatten(&text);
    AEDisposeDesc(&event);
    AEDisposeDesc(&text);
    const auto patched = [](std::vector<char> form, size_t at, const std::string& patch) {
        memcpy(&form[at], patch.data(), patch.size());
        return form;
    };

    for (size_t length = 1; length < bytes.size(); ++length)
        ExpectRefused(std::vector<char>(bytes.begin(), bytes.begin() + static_cast<long>(length)));
    std::vector<char> trailing = bytes;
    trailing.push_back(0);
    ExpectRefused(trailing);
    ExpectRefused(patched(bytes, 4, "\2"));                // version
    ExpectRefused(patched(plain, 13, "\xFF\xFF\xFF\x7F"));  // header 8, type 4, form 1, then the length
    ExpectRefused(patched(plain, 8, "tsil"));               // 'list' little-endian, holding plain data
    ExpectRefused(patched(plain, 12, "\x9"));               // form

    // Lists nested deeper than the limit, with a huge count at the bottom.
    std::vector<char> deep(bytes.begin(), bytes.begin() + 8);
    for (long level = 0; level <= kAEMaxFlattenedDepth; ++level)
        deep.insert(deep.end(), {'t', 's', 'i', 'l', 2, 1, 0, 0, 0});
    deep.insert(deep.end(), {'t', 's', 'i', 'l', 2, '\xFF', '\xFF', '\xFF', '\xFF'});
    ExpectRefused(deep);

    std::vector<char> duplicate(bytes.begin(), bytes.begin() + 8);
    duplicate.insert(duplicate.end(), {'o', 'c', 'e', 'r', 3, 2, 0, 0, 0});
    for (int i = 0; i < 2; ++i)
        duplicate.insert(duplicate.end(), {'k', 'k', 'k', 'k', 'l', 'l', 'u', 'n', 0});
    ExpectRefused(duplicate);

    std::vector<char> oversized(static_cast<size_t>(kAEMaxFlattenedSize) + 1, 0);
    memcpy(oversized.data(), plain.data(), plain.size());
    ExpectRefused(oversized);

    for (size_t at = 0; at < bytes.size(); ++at) {
        for (char value : {'\0', '\1', '\x7F', '\x80', '\xFF'}) {
            const std::vector<char> corrupted = patched(bytes, at, std::string(1, value));
            AEDesc result;
            EXPECT_TRUE(AEUnflattenDescFromBytes(corrupted.data(), static_cast<Size>(corrupted.size()), &result) ||
                        Flatten(&result) == corrupted)
                << "byte " << at;
            AEDisposeDesc(&result);
        }
    }
}
