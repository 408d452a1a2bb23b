#include "CopyGroups.h"

#include <algorithm>
#include <sys/resource.h>

namespace {
// Files up to this size are grouped, up to this many files and bytes in a group.
const double kLargestGroupedFile = 1 << 20;
const size_t kMostGroupedFiles = 2048;
const double kMostGroupedBytes = 32 << 20;
// Descriptors kept for the event ports, the journal, the log and transfers of other kinds.
const rlim_t kReservedDescriptors = 256;
}  // namespace

size_t MostGroupedFiles(unsigned parallel)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return kMostGroupedFiles;
    const rlim_t spare = limit.rlim_cur > kReservedDescriptors ? limit.rlim_cur - kReservedDescriptors : 0;
    return std::clamp<size_t>(static_cast<size_t>(spare / (2 * std::max(parallel, 1u))), 1, kMostGroupedFiles);
}

std::vector<size_t> TakeCopyGroup(const std::vector<TransferEntry>& entries, size_t first, size_t* next,
                                  size_t mostFiles)
{
    std::vector<size_t> group = {first};
    double bytes = entries[first].size;
    const bool small = bytes <= kLargestGroupedFile;
    while (small && *next < entries.size() && group.size() < mostFiles) {
        const TransferEntry& entry = entries[*next];
        if (!entry.problem.empty() || entry.size > kLargestGroupedFile || bytes + entry.size > kMostGroupedBytes)
            break;
        bytes += entry.size;
        group.push_back((*next)++);
    }
    return group;
}
