// How far one file has come, written by the thread that moves it and read by the main loop.
#pragma once

#include <atomic>
#include <cstdint>

struct FileProgress {
    std::atomic<uint64_t> done{0};
    std::atomic<uint64_t> total{0};  // 0 while unknown
};
