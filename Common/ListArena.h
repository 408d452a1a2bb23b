// Memory for the texts and nodes of file lists. A list of a million entries takes half a gigabyte
// in blocks of about 100 bytes; faulting that in page by page costs more than building the list.
// Small blocks are therefore cut in turn from large chunks that the kernel may back with huge
// pages, and a chunk is given back as a whole once the last of its blocks is freed (when the
// lists and strings that used it are gone). Larger blocks come from the heap, and the largest
// (texts of whole lists) from their own mapping, also advised for huge pages.
//
// Like the rest of the core, the arena is used from one thread only.
#pragma once

#include <cstddef>

void* ListArenaAllocate(size_t bytes);
void ListArenaFree(void* block);

// A standard allocator over the arena, for the nodes of file lists.
template <typename T>
struct CListAllocator {
    typedef T value_type;
    CListAllocator() = default;
    template <typename U>
    CListAllocator(const CListAllocator<U>&)
    {
    }
    T* allocate(size_t count) { return static_cast<T*>(ListArenaAllocate(count * sizeof(T))); }
    void deallocate(T* block, size_t) { ListArenaFree(block); }
    template <typename U>
    bool operator==(const CListAllocator<U>&) const
    {
        return true;
    }
    template <typename U>
    bool operator!=(const CListAllocator<U>&) const
    {
        return false;
    }
};
