// The plug-in's shell and the test Assistant over event delivery: two large uploads in a row,
// whose request and status events cross while both processes are busy sending.
#include "Platform/Workspace/Workspace.h"

#include "tests/support/MainLoop.h"

#include <gtest/gtest.h>

#include <glib.h>
#include <json-c/json.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
#if defined(__SANITIZE_ADDRESS__)
// The sanitizer build handles each status event ten or more times slower, and the test Assistant
// gives up its status queue when the shell takes nothing for 10 s; this many still fill both
// sockets several times over.
const int kFiles = 1500;
#else
const int kFiles = 10000;
#endif

// Standard output of a child, line by line, collected by a thread of its own.
class LineCollector {
public:
    explicit LineCollector(int fd) : mThread([this, fd] { Collect(fd); }) {}
    ~LineCollector() { mThread.join(); }
    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mLines;
    }
    size_t LinesWith(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (; mSearched < mLines.size(); ++mSearched)
            mFound += mLines[mSearched].find(text) != std::string::npos;
        return mFound;
    }

private:
    void Collect(int fd)
    {
        FILE* stream = fdopen(fd, "r");
        char* line = nullptr;
        size_t size = 0;
        for (ssize_t length; (length = getline(&line, &size, stream)) > 0;) {
            std::lock_guard<std::mutex> lock(mMutex);
            mLines.emplace_back(line, line[length - 1] == '\n' ? length - 1 : length);
        }
        free(line);
        fclose(stream);
    }
    std::mutex mMutex;
    std::vector<std::string> mLines;
    size_t mSearched = 0;
    size_t mFound = 0;
    std::thread mThread;
};

struct Counts {
    int results = 0;
    int completed = 0;
    size_t deleted = 0;
};

Counts Count(const std::vector<std::string>& lines)
{
    Counts counts;
    for (const std::string& line : lines) {
        counts.results += line == "result: 1";
        if (line.rfind("notify: ", 0) != 0)
            continue;
        json_object* message = json_tokener_parse(line.c_str() + 8);
        json_object* code = nullptr;
        json_object* files = nullptr;
        if (message && json_object_object_get_ex(message, "code", &code)) {
            const std::string name = json_object_get_string(code);
            counts.completed += name == "UploadComplete";
            if (name == "FilesDeletedFromUploadList" && json_object_object_get_ex(message, "files_ul", &files))
                counts.deleted += json_object_array_length(files);
        }
        json_object_put(message);
    }
    return counts;
}
}  // namespace

// Two uploads of many picked files in a row: every status event of both reaches the page and
// each file leaves the upload list once.
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
    LineCollector lines(output);
    const std::string requests = "{\"type\":\"Request\",\"code\":\"SelectFilesToUpload\"}\n"
                                 "{\"type\":\"Request\",\"code\":\"StartUpload\",\"job\":1}\n"
                                 "{\"type\":\"Request\",\"code\":\"StartUpload\",\"job\":2}\n";
    ASSERT_EQ(write(input, requests.data(), requests.size()), static_cast<ssize_t>(requests.size()));

    const bool done = RunLoopUntil([&] { return lines.LinesWith("\"UploadComplete\"") == 2; }, 180000);
    close(input);
    int status = -1;
    EXPECT_TRUE(RunLoopUntil([&] { return waitpid(shell, &status, WNOHANG) == shell; }, 20000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const Counts counts = Count(lines.Lines());
    EXPECT_TRUE(done);
    EXPECT_EQ(counts.results, 3);
    EXPECT_EQ(counts.completed, 2);
    EXPECT_EQ(counts.deleted, static_cast<size_t>(kFiles));

    for (const RunningApplication& application : WorkspaceLaunchedApplications()) {
        if (application.bundleIdentifier == "com.qiravel.Assistant")
            kill(static_cast<pid_t>(application.processSerialNumberLow), SIGTERM);
    }
}
