// A temporary name that comes round again: the end of one partial file never removes another's.
#include "Assistant/PartialFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace {
// While nonzero, this program's clock reads as that many microseconds into 1970 and goes back one
// at each reading. GLib makes temporary names from the clock plus a count of names made, so each
// temporary file is then offered the name of the one before.
std::atomic<long> sBackwardClock{0};
}  // namespace

extern "C" int gettimeofday(struct timeval* time, void* zone) noexcept
{
    const long now = sBackwardClock.load() ? sBackwardClock-- : 0;
    if (!now)
        return static_cast<int>(syscall(SYS_gettimeofday, time, zone));
    time->tv_sec = 0;
    time->tv_usec = now;
    return 0;
}

// A committed file's temporary name is free again, and the next temporary file takes it while the
// committed file's object still lives; that object's end leaves the new file alone.
TEST(PartialFile, EndOfACommittedFileSparesTheFileThatTookItsName)
{
    const TempDir temp("qv-partial");
    const std::string& folder = temp.Path();
    std::string reason;
    std::string finalPath;
    sBackwardClock = 500000;
    auto committed = PartialFile::Create(folder, "a", 0600, &reason);
    ASSERT_TRUE(committed && committed->Commit(&finalPath, &reason)) << reason;
    auto next = PartialFile::Create(folder, "b", 0600, &reason);
    sBackwardClock = 0;
    ASSERT_TRUE(next) << reason;
    ASSERT_EQ(next->TemporaryPath(), committed->TemporaryPath()) << "the name did not come round";
    committed.reset();
    EXPECT_TRUE(next->Commit(&finalPath, &reason)) << reason;
}
