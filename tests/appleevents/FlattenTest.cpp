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

// Byte forms written by hand, as another process might send them.
std::vector<char> Header() { return {'Q', 'V', 'A', 'E', 1, 0, 0, 0}; }

void PutU32(std::vector<char>& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>(value >> shift));
}

// Lists nested levels deep, the innermost one holding nulls null descriptors.
std::vector<char> ListForm(long levels, long nulls)
{
    std::vector<char> form = Header();
    for (long level = 1; level <= levels; ++level) {
        PutU32(form, typeAEList);
        form.push_back(2);
        PutU32(form, static_cast<uint32_t>(level < levels ? 1 : nulls));
    }
    for (long i = 0; i < nulls; ++i) {
        PutU32(form, typeNull);
        form.push_back(0);
    }
    return form;
}

// One text that makes the form size bytes long.
std::vector<char> TextForm(long size)
{
    std::vector<char> form = Header();
    PutU32(form, typeChar);
    form.push_back(1);
    PutU32(form, static_cast<uint32_t>(size - 17));  // header 8, type 4, form 1, length 4
    form.resize(static_cast<size_t>(size), 0);
    return form;
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

// A nested event reads back with its parameters and attributes. Every truncation and several
// hand-made forms are refused; no corruption of a byte (of a version, a length, a count) crashes or
// leaks, and what is accepted, the form itself included, flattens back to the same bytes.
TEST(FlattenedForm, NestedEventsRoundTripAndMalformedFormsAreRefusedWithoutACrash)
{
    AEDesc event, copy, inner;
    BuildNestedEvent(&event);
    const std::vector<char> bytes = Flatten(&event), plain = TextForm(20);
    ASSERT_EQ(AEUnflattenDescFromBytes(bytes.data(), static_cast<Size>(bytes.size()), &copy), noErr);
    ASSERT_EQ(AEGetParamDesc(&copy, 'evnt', typeWildCard, &inner), noErr);
    EXPECT_EQ(inner.descriptorType, typeAppleEvent);
    EXPECT_EQ(ParamData(&inner, 'NMsg', typeChar), "{}");
    ProcessSerialNumber address = {};
    DescType type = typeNull;
    Size size = 0;
    AEGetAttributePtr(&inner, keyAddressAttr, typeProcessSerialNumber, &type, &address, sizeof address, &size);
    EXPECT_EQ(address.lowLongOfPSN, 77u);
    // The buffer is only as large as the form; one byte less is refused.
    char small[8];
    EXPECT_EQ(AEFlattenDesc(&event, small, sizeof small, &size), paramErr);
    EXPECT_EQ(size, static_cast<Size>(bytes.size()));
    for (AEDesc* desc : {&event, &copy, &inner})
        AEDisposeDesc(desc);

    const auto patched = [](std::vector<char> form, size_t at, const std::string& patch) {
        memcpy(&form[at], patch.data(), patch.size());
        return form;
    };
    for (size_t length = 1; length < bytes.size(); ++length)
        ExpectRefused(std::vector<char>(bytes.begin(), bytes.begin() + static_cast<long>(length)));
    std::vector<char> trailing = bytes;
    trailing.push_back(0);
    ExpectRefused(trailing);
    ExpectRefused(patched(plain, 8, "tsil"));  // 'list' little-endian, holding plain data
    ExpectRefused(patched(plain, 12, "\x9"));  // form

    std::vector<char> duplicate(bytes.begin(), bytes.begin() + 8);
    duplicate.insert(duplicate.end(), {'o', 'c', 'e', 'r', 3, 2, 0, 0, 0});
    for (int i = 0; i < 2; ++i)
        duplicate.insert(duplicate.end(), {'k', 'k', 'k', 'k', 'l', 'l', 'u', 'n', 0});
    ExpectRefused(duplicate);

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

// The writer and the reader agree on every limit: a descriptor exactly at it is flattened, and
// its form read back; one beyond it is neither flattened nor read.
TEST(FlattenedForm, WriterAndReaderShareTheLimits)
{
    const struct {
        const char* name;
        std::vector<char> (*form)(long);
        long limit;
        void (*growByOne)(AEDesc*);
    } cases[] = {
        {"depth", [](long levels) { return ListForm(levels, 0); }, kAEMaxFlattenedDepth,
         [](AEDesc* desc) {
             AEDesc outer;
             AECreateList(nullptr, 0, false, &outer);
             AEPutDesc(&outer, 0, desc);
             AEDisposeDesc(desc);
             *desc = outer;
         }},
        {"count", [](long count) { return ListForm(1, count - 1); }, kAEMaxFlattenedCount,
         [](AEDesc* desc) {
             AEDesc null;
             AEInitializeDesc(&null);
             AEPutDesc(desc, 0, &null);
         }},
        {"size", TextForm, kAEMaxFlattenedSize,
         [](AEDesc* desc) {
             const std::string longer(static_cast<size_t>(AEGetDescDataSize(desc)) + 1, 'x');
             AEDisposeDesc(desc);
             AECreateDesc(typeChar, longer.data(), static_cast<Size>(longer.size()), desc);
         }},
    };
    for (const auto& c : cases) {
        std::vector<char> form = c.form(c.limit);
        AEDesc desc;
        ASSERT_EQ(AEUnflattenDescFromBytes(form.data(), static_cast<Size>(form.size()), &desc), noErr) << c.name;
        EXPECT_EQ(Flatten(&desc), form) << c.name;

        ExpectRefused(c.form(c.limit + 1));
        c.growByOne(&desc);
        EXPECT_EQ(AESizeOfFlattenedDesc(&desc), 0) << c.name;
        form.resize(form.size() + 64);  // room enough for the larger form
        Size written = 0;
        EXPECT_EQ(AEFlattenDesc(&desc, form.data(), static_cast<Size>(form.size()), &written), paramErr) << c.name;
        AEDisposeDesc(&desc);
    }
}
