#include "ListArena.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

namespace {
const size_t kChunkBytes = size_t(32) << 20;  // a multiple of the 2 MB huge page, and its alignment
const size_t kLargestSmallBlock = 4096;
const size_t kOwnMappingBytes = size_t(4) << 20;  // blocks from this size on get their own mapping
const size_t kAlignment = 16;

// Blocks outside the chunks carry this header in front of them.
struct alignas(kAlignment) LargeHeader {
    size_t mappedBytes;  // 0 for a block from the heap
};

// The first bytes of each chunk: how many of its blocks are in use.
struct alignas(kAlignment) ChunkHeader {
    size_t liveBlocks;
};

#if defined(__SANITIZE_ADDRESS__)
const bool kUseChunks = false;  // every block from the heap, where the sanitizer watches its bounds
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool kUseChunks = false;
#else
const bool kUseChunks = true;
#endif
#else
const bool kUseChunks = true;
#endif

void* MapAdvised(size_t bytes, size_t alignment)
{
    const size_t reserved = bytes + alignment;
    void* mapped = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + alignment - 1) & ~(alignment - 1);
    if (aligned > start)
        munmap(mapped, aligned - start);
    if (aligned + bytes < start + reserved)
        munmap(reinterpret_cast<void*>(aligned + bytes), start + reserved - aligned - bytes);
    madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

class Arena {
public:
    void* Allocate(size_t bytes)
    {
        bytes = (std::max(bytes, size_t(1)) + kAlignment - 1) & ~(kAlignment - 1);
        if (!kUseChunks || bytes > kLargestSmallBlock)
            return AllocateLarge(bytes);
        if (!mCurrent || mNext + bytes > mCurrent + kChunkBytes) {
            if (!StartChunk())
                return AllocateLarge(bytes);
        }
        void* block = mNext;
        mNext += bytes;
        ++Header(mCurrent)->liveBlocks;
        return block;
    }

    void Free(void* block)
    {
        if (!block)
            return;
        char* chunk = ChunkOf(block);
        if (!chunk) {
            FreeLarge(block);
            return;
        }
        if (--Header(chunk)->liveBlocks == 0 && chunk != mCurrent) {
            mChunks.erase(std::lower_bound(mChunks.begin(), mChunks.end(), chunk));
            munmap(chunk, kChunkBytes);
        }
    }

private:
    static ChunkHeader* Header(char* chunk) { return reinterpret_cast<ChunkHeader*>(chunk); }

    // A new current chunk; the previous one goes at once if none of its blocks is in use.
    bool StartChunk()
    {
        char* chunk = static_cast<char*>(MapAdvised(kChunkBytes, kChunkBytes));
        if (!chunk)
            return false;
        mChunks.insert(std::lower_bound(mChunks.begin(), mChunks.end(), chunk), chunk);
        char* previous = mCurrent;
        mCurrent = chunk;
        mNext = chunk + sizeof(ChunkHeader);
        Header(chunk)->liveBlocks = 0;
        if (previous && Header(previous)->liveBlocks == 0) {
            mChunks.erase(std::lower_bound(mChunks.begin(), mChunks.end(), previous));
            munmap(previous, kChunkBytes);
        }
        return true;
    }

    // The chunk that holds block, or null for a block from outside the chunks. The chunks are
    // aligned to their size, so only one can hold it.
    char* ChunkOf(void* block) const
    {
        char* chunk = reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(block) & ~(kChunkBytes - 1));
        return std::binary_search(mChunks.begin(), mChunks.end(), chunk) ? chunk : nullptr;
    }

    static void* AllocateLarge(size_t bytes)
    {
        const size_t total = bytes + sizeof(LargeHeader);
        LargeHeader* header = nullptr;
        if (kUseChunks && total >= kOwnMappingBytes) {
            const size_t mapped = (total + kAlignment - 1) & ~(kAlignment - 1);
            header = static_cast<LargeHeader*>(MapAdvised(mapped, size_t(2) << 20));
            if (!header)
                throw std::bad_alloc();
            header->mappedBytes = mapped;
        } else {
            header = static_cast<LargeHeader*>(::operator new(total));
            header->mappedBytes = 0;
        }
        return header + 1;
    }

    static void FreeLarge(void* block)
    {
        LargeHeader* header = static_cast<LargeHeader*>(block) - 1;
        if (header->mappedBytes)
            munmap(header, header->mappedBytes);
        else
            ::operator delete(header);
    }

    std::vector<char*> mChunks;  // sorted
    char* mCurrent = nullptr;
    char* mNext = nullptr;
};

// Never destroyed: strings in static objects may be freed after every other destructor ran.
Arena& TheArena()
{
    static Arena* arena = new Arena;
    return *arena;
}
}  // namespace

void* ListArenaAllocate(size_t bytes) { return TheArena().Allocate(bytes); }

void ListArenaFree(void* block) { TheArena().Free(block); }
