// The flattened byte form of a descriptor (layout in AppleEvents.h), written from and read into
// the internal form with every length and limit checked.
#include "Platform/AppleEvents/AEStorage.h"

#include <cstring>
#include <unordered_set>

namespace {
const uint8_t kMagic[4] = {'Q', 'V', 'A', 'E'};
const uint16_t kVersion = 1;
const uint64_t kHeaderSize = 8;

struct Measure {
    uint64_t bytes = kHeaderSize;
    uint64_t count = 0;

    bool Items(const std::vector<AEItem>& items, bool keyed, long depth)
    {
        bytes += 4;
        for (const AEItem& item : items) {
            bytes += keyed ? 4 : 0;
            if (!Desc(item.type, item.data.get(), depth + 1))
                return false;
        }
        return true;
    }

    bool Desc(DescType type, const OpaqueAEDataStorage* data, long depth)
    {
        const AEForm form = FormOf(data);
        if (depth > kAEMaxFlattenedDepth || ++count > uint64_t(kAEMaxFlattenedCount) || !AEFormFitsType(type, form))
            return false;
        bytes += 5;
        bool fits = true;
        switch (form) {
        case AEForm::Empty:
            break;
        case AEForm::Data:
            bytes += 4 + data->bytes.size();
            break;
        case AEForm::List:
            fits = Items(data->items, false, depth);
            break;
        case AEForm::Record:
            fits = Items(data->items, true, depth);
            break;
        case AEForm::Event:
            fits = Items(data->attributes, true, depth) && Items(data->items, true, depth);
            break;
        }
        return fits && bytes <= uint64_t(kAEMaxFlattenedSize);
    }
};

class Writer {
public:
    explicit Writer(uint8_t* out) : mOut(out) {}

    void Header()
    {
        Bytes(kMagic, sizeof kMagic);
        U8(kVersion & 0xFF);
        U8(kVersion >> 8);
        U8(0);
        U8(0);
    }

    void Desc(DescType type, const OpaqueAEDataStorage* data)
    {
        const AEForm form = FormOf(data);
        U32(type);
        U8(static_cast<uint8_t>(form));
        switch (form) {
        case AEForm::Empty:
            break;
        case AEForm::Data:
            U32(static_cast<uint32_t>(data->bytes.size()));
            Bytes(data->bytes.data(), data->bytes.size());
            break;
        case AEForm::List:
            Items(data->items, false);
            break;
        case AEForm::Record:
            Items(data->items, true);
            break;
        case AEForm::Event:
            Items(data->attributes, true);
            Items(data->items, true);
            break;
        }
    }

private:
    void Items(const std::vector<AEItem>& items, bool keyed)
    {
        U32(static_cast<uint32_t>(items.size()));
        for (const AEItem& item : items) {
            if (keyed)
                U32(item.key);
            Desc(item.type, item.data.get());
        }
    }

    void U8(uint8_t value) { *mOut++ = value; }

    void U32(uint32_t value)
    {
        for (int shift = 0; shift < 32; shift += 8)
            U8(static_cast<uint8_t>(value >> shift));
    }

    void Bytes(const uint8_t* bytes, size_t count)
    {
        if (count > 0)
            memcpy(mOut, bytes, count);
        mOut += count;
    }

    uint8_t* mOut;
};

class Reader {
public:
    Reader(const uint8_t* in, size_t size) : mIn(in), mLeft(size) {}

    bool AtEnd() const { return mLeft == 0; }

    bool Header()
    {
        const uint8_t* magic = nullptr;
        uint8_t version[2], reserved[2];
        return Bytes(4, &magic) && memcmp(magic, kMagic, 4) == 0 && U8(&version[0]) && U8(&version[1]) &&
               U8(&reserved[0]) && U8(&reserved[1]) && (version[0] | version[1] << 8) == kVersion &&
               reserved[0] == 0 && reserved[1] == 0;
    }

    bool Desc(long depth, DescType* type, AEDataPtr* data)
    {
        uint8_t form = 0;
        if (depth > kAEMaxFlattenedDepth || ++mCount > uint64_t(kAEMaxFlattenedCount) || !U32(type) || !U8(&form) ||
            form > static_cast<uint8_t>(AEForm::Event) || !AEFormFitsType(*type, static_cast<AEForm>(form)))
            return false;
        switch (static_cast<AEForm>(form)) {
        case AEForm::Empty:
            return true;
        case AEForm::Data: {
            uint32_t size = 0;
            const uint8_t* bytes = nullptr;
            if (!U32(&size) || !Bytes(size, &bytes))
                return false;
            *data = AENewPlainData(bytes, size);
            return true;
        }
        case AEForm::List:
            *data = AENewContainer(AEForm::List, {});
            return Items(depth, false, &(*data)->items);
        case AEForm::Record:
            *data = AENewContainer(AEForm::Record, {});
            return Items(depth, true, &(*data)->items);
        case AEForm::Event:
            *data = AENewContainer(AEForm::Event, {});
            return Items(depth, true, &(*data)->attributes) && Items(depth, true, &(*data)->items);
        }
        return false;
    }

private:
    // Keyed items must have distinct keys; list elements carry typeWildCard.
    bool Items(long depth, bool keyed, std::vector<AEItem>* items)
    {
        uint32_t count = 0;
        if (!U32(&count))
            return false;
        std::unordered_set<AEKeyword> keys;
        for (uint32_t i = 0; i < count; ++i) {
            AEItem item{typeWildCard, typeNull, nullptr};
            if ((keyed && (!U32(&item.key) || !keys.insert(item.key).second)) ||
                !Desc(depth + 1, &item.type, &item.data))
                return false;
            items->push_back(std::move(item));
        }
        return true;
    }

    bool U8(uint8_t* value)
    {
        if (mLeft < 1)
            return false;
        *value = *mIn++;
        --mLeft;
        return true;
    }

    bool U32(uint32_t* value)
    {
        const uint8_t* bytes = nullptr;
        if (!Bytes(4, &bytes))
            return false;
        *value = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
        return true;
    }

    bool Bytes(size_t count, const uint8_t** bytes)
    {
        if (count > mLeft)
            return false;
        *bytes = mIn;
        mIn += count;
        mLeft -= count;
        return true;
    }

    const uint8_t* mIn;
    size_t mLeft;
    uint64_t mCount = 0;
};
}  // namespace

Size AESizeOfFlattenedDesc(const AEDesc* desc)
{
    Measure measure;
    if (!desc || !measure.Desc(desc->descriptorType, desc->dataHandle, 1))
        return 0;
    return static_cast<Size>(measure.bytes);
}

OSStatus AEFlattenDesc(const AEDesc* desc, Ptr buffer, Size bufferSize, Size* actualSize)
{
    const Size size = AESizeOfFlattenedDesc(desc);
    if (actualSize)
        *actualSize = size;
    if (size == 0 || !buffer || bufferSize < size)
        return paramErr;
    Writer writer(reinterpret_cast<uint8_t*>(buffer));
    writer.Header();
    writer.Desc(desc->descriptorType, desc->dataHandle);
    return noErr;
}

OSStatus AEUnflattenDescFromBytes(const void* buffer, Size bufferSize, AEDesc* result)
{
    if (!result)
        return paramErr;
    AEInitializeDesc(result);
    if (!buffer || bufferSize < 0)
        return paramErr;
    if (bufferSize > kAEMaxFlattenedSize)
        return errAECorruptData;
    return AEGuarded([&] {
        Reader reader(static_cast<const uint8_t*>(buffer), static_cast<size_t>(bufferSize));
        DescType type = typeNull;
        AEDataPtr data;
        if (!reader.Header() || !reader.Desc(1, &type, &data) || !reader.AtEnd())
            return errAECorruptData;
        AEAdopt(type, std::move(data), result);
        return noErr;
    });
}
