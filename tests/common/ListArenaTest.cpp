#include "ListArena.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace {
size_t ResidentBytes()
{
    size_t pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif
#else
const bool kSanitized = false;
#endif

struct Block {
    unsigned char* at;
    size_t bytes;
    unsigned char fill;
};

// Every block still holds its own fill: no two blocks overlap.
bool Intact(const std::vector<Block>& blocks)
{
    for (const Block& block : blocks)
        for (size_t i = 0; i < block.bytes; ++i)
            if (block.at[i] != block.fill)
                return false;
    return true;
}
}  // namespace

// Blocks of every size class, across several chunks, freed in an order that empties old chunks
// while new ones fill: contents never overlap, blocks stay aligned for any type, and memory of
// emptied chunks goes back to the system.
TEST(ListArena, BlocksStayApartAndEmptiedChunksAreGivenBack)
{
    const size_t before = ResidentBytes();
    std::vector<Block> blocks;
    const size_t sizes[] = {1, 15, 16, 17, 100, 4095, 4096, 4097, 100000};
    for (int round = 0; round < 30000; ++round) {
        const size_t bytes = round % 5000 == 0 ? size_t(5) << 20 : round % 50 == 0 ? sizes[(round / 50) % 9]
                                                                                   : sizes[round % 7];
        auto* at = static_cast<unsigned char*>(ListArenaAllocate(bytes));
        ASSERT_NE(at, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(at) % 16, 0u);
        blocks.push_back({at, bytes, static_cast<unsigned char>(round)});
    }
    for (Block& block : blocks)
        memset(block.at, block.fill, block.bytes);
    EXPECT_TRUE(Intact(blocks));

    // Free every other block, allocate as many again, and check everything once more.
    std::vector<Block> kept;
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (i % 2)
            ListArenaFree(blocks[i].at);
        else
            kept.push_back(blocks[i]);
    }
    for (int round = 0; round < 15000; ++round) {
        const size_t bytes = sizes[round % 6];
        kept.push_back({static_cast<unsigned char*>(ListArenaAllocate(bytes)), bytes, static_cast<unsigned char>(~round)});
        memset(kept.back().at, kept.back().fill, bytes);
    }
    EXPECT_TRUE(Intact(kept));
    const size_t filled = ResidentBytes();
    for (const Block& block : kept)
        ListArenaFree(block.at);
    ListArenaFree(nullptr);
    if (!kSanitized) {
        EXPECT_GT(filled, before + (size_t(48) << 20));
        EXPECT_LT(ResidentBytes(), before + (size_t(40) << 20));  // at most the current chunk stays
    }
}
