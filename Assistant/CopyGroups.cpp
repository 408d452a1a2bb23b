#include "CopyGroups.h"

namespace {
// Files up to this size are grouped, up to this many files and bytes in a group.
const double kLargestGroupedFile = 1 << 20;
const size_t kMostGroupedFiles = 2048;
const double kMostGroupedBytes = 32 << 20;
}  // namespace

std::vector<size_t> TakeCopyGroup(const std::vector<TransferEntry>& entries, size_t first, size_t* next)
{
    std::vector<size_t> group = {first};
    double bytes = entries[first].size;
    const bool small = bytes <= kLargestGroupedFile;
    while (small && *next < entries.size() && group.size() < kMostGroupedFiles) {
        const TransferEntry& entry = entries[*next];
        if (!entry.problem.empty() || entry.size > kLargestGroupedFile || bytes + entry.size > kMostGroupedBytes)
            break;
        bytes += entry.size;
        group.push_back((*next)++);
    }
    return group;
}
