// Small uploads to folders move in groups, so that the files of a group share the syncs that make
// them durable and a group counts as one of the job's parallel tasks.
#pragma once

#include "TransferRequest.h"

#include <cstddef>
#include <vector>

// How many files a group may hold, at most 2048: until a group is named, each of its files may hold
// a descriptor of its own and one of its folder, and that many groups at once (parallel) must stay
// within the process's limit of descriptors, less a reserve for everything else.
size_t MostGroupedFiles(unsigned parallel);

// The group that starts with the entry at first: when that one is small, it takes the entries from
// *next on while they are small, have no problem and the group stays within its limits (at most
// mostFiles files), and moves *next past them.
std::vector<size_t> TakeCopyGroup(const std::vector<TransferEntry>& entries, size_t first, size_t* next,
                                  size_t mostFiles);
