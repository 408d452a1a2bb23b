#include "tests/support/SystemLogCapture.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>

namespace {
// What write sends to standard error (the descriptor, which GoogleTest redirects to a file).
std::string StandardErrorOf(const std::function<void()>& write)
{
    testing::internal::CaptureStderr();
    write();
    return testing::internal::GetCapturedStderr();
}

// A datagram socket bound at path; closed, it leaves a socket file that refuses connections.
int BoundSocket(const std::string& path)
{
    const int socketFd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(bind(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
    return socketFd;
}
}  // namespace

TEST(SystemLog, LinesGoToStandardErrorWhenNoSocketTakesThem)
{
    const TempDir folder("qv-syslog");
    const std::string missing = folder / "missing", refusing = folder / "refusing", listening = folder / "listening";
    close(BoundSocket(refusing));
    const int listener = BoundSocket(listening);

    const std::string fallback =
        "Qiravel Web Client[" + std::to_string(getpid()) + "]: first\\nsecond\nplain: no pid\n";
    const struct {
        const std::string& socketPath;
        std::string standardError;
    } cases[] = {{missing, fallback}, {refusing, fallback}, {listening, ""}};
    for (const auto& c : cases) {
        for (const bool batched : {false, true}) {  // a batch changes nothing but the number of writes
            SystemLogSetSocketPathForTesting(c.socketPath.c_str());
            SystemLogCapture capture;
            EXPECT_EQ(StandardErrorOf([batched] {
                          std::optional<SystemLogBatch> batch;
                          if (batched)
                              batch.emplace();
                          SystemLogWrite("Qiravel Web Client", kSystemLogOptionPid, kSystemLogFacilityUser,
                                         kSystemLogPriorityDebug, "first\nsecond");
                          SystemLogWrite("plain", 0, kSystemLogFacilityUser, kSystemLogPriorityDebug, "no pid");
                      }),
                      c.standardError)
                << c.socketPath << (batched ? " batched" : "");
            EXPECT_EQ(capture.lines, (std::vector<std::string>{"first\nsecond", "no pid"}));
        }
    }
    SystemLogSetSocketPathForTesting(nullptr);
    close(listener);
}
