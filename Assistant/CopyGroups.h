// Small uploads to folders move in groups, so that the files of a group share the syncs that make
// them durable and a group counts as one of the job's parallel tasks.
#pragma once

#include "TransferRequest.h"

#include <cstddef>
#include <vector>

// The group that starts with the entry at first: it takes the entries from *next on while they are
// small, have no problem and the group stays within its limits, and moves *next past them.
std::vector<size_t> TakeCopyGroup(const std::vector<TransferEntry>& entries, size_t first, size_t* next);
