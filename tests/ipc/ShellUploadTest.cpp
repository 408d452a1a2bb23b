// The plug-in's shell and the test Assistant over event delivery: two large uploads in a row,
// whose request and status events cross while both processes are busy sending.
#include "Platform/Workspace/Workspace.h"

#include "tests/support/MainLoop.h"

#include <gtest/gtest.h>

#include <glib-unix.h>
#include <json-c/json.h>

#include <csignal>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {
#if defined(__SANITIZE_ADDRESS__)
// The sanitizer build handles each status event ten or more times slower, and the test Assistant
// gives up its status queue when the shell takes nothing for 10 s; this many still fill both
// sockets several times over.
const int kFiles = 1500;
#else
const int kFiles = 10000;
#endif

// The shell's standard output, read by the main loop as it comes, and what its lines say.
struct Output {
    explicit Output(int fd)
    {
        g_unix_set_fd_nonblocking(fd, true, nullptr);
        source = g_unix_fd_add(fd, GIOCondition(G_IO_IN | G_IO_HUP), &Read, this);
    }
    ~Output()
    {
        if (!ended)
            g_source_remove(source);
    }
    static gboolean Read(int fd, GIOCondition, gpointer data)
    {
        auto& self = *static_cast<Output*>(data);
        char buffer[1 << 16];
        ssize_t count;
        while ((count = read(fd, buffer, sizeof buffer)) > 0)
            self.pending.append(buffer, static_cast<size_t>(count));
        size_t start = 0;
        for (size_t end; (end = self.pending.find('\n', start)) != std::string::npos; start = end + 1)
            self.Count(self.pending.substr(start, end - start));
        self.pending.erase(0, start);
        self.ended = count == 0;
        return self.ended ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
    }
    void Count(const std::string& line)
    {
        results += line == "result: 1";
        json_object* message = line.rfind("notify: ", 0) == 0 ? json_tokener_parse(line.c_str() + 8) : nullptr;
        json_object* code = nullptr;
        json_object* files = nullptr;
        if (message && json_object_object_get_ex(message, "code", &code)) {
            const std::string name = json_object_get_string(code);
            completed += name == "UploadComplete";
            if (name == "FilesDeletedFromUploadList" && json_object_object_get_ex(message, "files_ul", &files))
                deleted += json_object_array_length(files);
        }
        json_object_put(message);
    }

    guint source = 0;
    std::string pending;
    bool ended = false;
    int results = 0;
    int completed = 0;
    size_t deleted = 0;
};
}  // namespace

// Two uploads of many picked files in a row: every status event of both reaches the page and
// each file leaves the upload list once. The launched Assistant does not hold the shell's output
// open, or a pipeline reading the shell would wait for the Assistant to quit.
TEST(ShellUpload, TwoLargeUploadsInARowReportEveryFile)
{
    const std::string data = g_getenv("XDG_DATA_HOME");
    const std::string folder = data + "/picked";
    g_mkdir_with_parents(folder.c_str(), 0700);
    for (int i = 0; i < kFiles; ++i)
        std::ofstream(folder + "/file-" + std::to_string(i) + ".txt") << i;
    std::ofstream(data + "/applications/com.qiravel.Assistant.desktop")
        << "[Desktop Entry]\nType=Application\nName=Test Assistant\nExec=" TEST_ASSISTANT_PATH " --idle-seconds 20\n";

    const char* argv[] = {QVSHELL_PATH, "--settle", "0", "--pick", folder.c_str(), nullptr};
    GPid shell = -1;
    int input = -1;
    int output = -1;
    // The shell's and the Assistant's system-log copies on standard error are not needed.
    ASSERT_TRUE(g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv), nullptr,
                                         GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL),
                                         nullptr, nullptr, &shell, &input, &output, nullptr, nullptr));
    Output lines(output);
    const std::string requests = "{\"type\":\"Request\",\"code\":\"SelectFilesToUpload\"}\n"
                                 "{\"type\":\"Request\",\"code\":\"StartUpload\",\"job\":1}\n"
                                 "{\"type\":\"Request\",\"code\":\"StartUpload\",\"job\":2}\n";
    ASSERT_EQ(write(input, requests.data(), requests.size()), static_cast<ssize_t>(requests.size()));

    const bool done = RunLoopUntil([&] { return lines.completed == 2; }, 180000);
    close(input);
    int status = -1;
    EXPECT_TRUE(RunLoopUntil([&] { return waitpid(shell, &status, WNOHANG) == shell; }, 20000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(RunLoopUntil([&] { return lines.ended; }));  // while the Assistant still runs
    EXPECT_TRUE(done);
    EXPECT_EQ(lines.results, 3);
    EXPECT_EQ(lines.completed, 2);
    EXPECT_EQ(lines.deleted, static_cast<size_t>(kFiles));

    for (const RunningApplication& application : WorkspaceLaunchedApplications()) {
        if (application.bundleIdentifier == "com.qiravel.Assistant")
            kill(static_cast<pid_t>(application.processSerialNumberLow), SIGTERM);
    }
}
