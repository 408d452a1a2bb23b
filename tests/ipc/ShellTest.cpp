// The plug-in's shell run as a program: every line of its input reaches the core, and with the
// test Assistant over event delivery, two large uploads in a row, whose request and status events
// cross while both processes are busy sending.
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

// The shell, started with "--settle 0" and more arguments. The main loop reads its standard output
// as it comes, a buffer at a time, and keeps what the lines say.
class Shell {
public:
    explicit Shell(std::vector<const char*> arguments)
    {
        arguments.insert(arguments.begin(), {QVSHELL_PATH, "--settle", "0"});
        arguments.push_back(nullptr);
        int output = -1;
        // The shell's and the Assistant's system-log copies on standard error are not needed.
        EXPECT_TRUE(g_spawn_async_with_pipes(nullptr, const_cast<char**>(arguments.data()), nullptr,
                                             GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL),
                                             nullptr, nullptr, &mPid, &mInput, &output, nullptr, nullptr));
        mSource = g_unix_fd_add(output, GIOCondition(G_IO_IN | G_IO_HUP), &Read, this);
    }
    ~Shell()
    {
        if (!mEnded)
            g_source_remove(mSource);
    }
    void Write(const std::string& text)
    {
        EXPECT_EQ(write(mInput, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Ends the input and waits until the shell has exited with 0 and its output has ended, which a
    // program it launched must not hold open.
    void Finish()
    {
        close(mInput);
        int status = -1;
        EXPECT_TRUE(RunLoopUntil([&] { return waitpid(mPid, &status, WNOHANG) == mPid; }, 20000));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(RunLoopUntil([&] { return mEnded; }));
    }

    std::vector<std::string> results;  // the "result:" lines
    int completed = 0;                 // UploadComplete notifications
    size_t deleted = 0;                // files named by FilesDeletedFromUploadList notifications

private:
    static gboolean Read(int fd, GIOCondition, gpointer data)
    {
        auto& self = *static_cast<Shell*>(data);
        char buffer[1 << 16];
        const ssize_t count = read(fd, buffer, sizeof buffer);
        self.mPending.append(buffer, count > 0 ? static_cast<size_t>(count) : 0);
        size_t start = 0;
        for (size_t end; (end = self.mPending.find('\n', start)) != std::string::npos; start = end + 1)
            self.Take(self.mPending.substr(start, end - start));
        self.mPending.erase(0, start);
        self.mEnded = count == 0;
        return self.mEnded ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
    }
    void Take(const std::string& line)
    {
        if (line.rfind("result: ", 0) == 0)
            results.push_back(line);
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

    GPid mPid = -1;
    int mInput = -1;
    guint mSource = 0;
    std::string mPending;
    bool mEnded = false;
};
}  // namespace

// Bytes that are not UTF-8 neither end the input nor hide the lines after them.
TEST(Qvshell, EveryLineReachesTheCore)
{
    Shell shell({});
    shell.Write("{\"type\":\"Request\",\"code\":\"SetParameter\",\"name\":\"FileTransferLimit\",\"value\":5}\n"
                "{\"type\":\"Request\",\"code\":\"SetParameter\",\"name\":\"File\xFFTransferLimit\",\"value\":5}\n"
                "{\"type\":\"Request\",\"code\":\"Reset\",\"note\":\"caf\xE9\"}\n"
                "not json \xC3\n"
                "{\"type\":\"Request\",\"code\":\"Reset\"}");  // no line break at the end
    shell.Finish();
    EXPECT_EQ(shell.results, (std::vector<std::string>{"result: 1", "result: 0", "result: 1", "result: 0", "result: 1"}));
}

// Two uploads of many picked files in a row: every status event of both reaches the page and
// each file leaves the upload list once; the launched Assistant still runs when the shell's
// output ends.
TEST(ShellUpload, TwoLargeUploadsInARowReportEveryFile)
{
    const std::string data = g_getenv("XDG_DATA_HOME");
    const std::string folder = data + "/picked";
    g_mkdir_with_parents(folder.c_str(), 0700);
    for (int i = 0; i < kFiles; ++i)
        std::ofstream(folder + "/file-" + std::to_string(i) + ".txt") << i;
    std::ofstream(data + "/applications/com.qiravel.Assistant.desktop")
        << "[Desktop Entry]\nType=Application\nName=Test Assistant\nExec=" TEST_ASSISTANT_PATH " --idle-seconds 20\n";

    Shell shell({"--pick", folder.c_str()});
    shell.Write("{\"type\":\"Request\",\"code\":\"SelectFilesToUpload\"}\n"
                "{\"type\":\"Request\",\"code\":\"StartUpload\",\"job\":1}\n"
                "{\"type\":\"Request\",\"code\":\"StartUpload\",\"job\":2}\n");
    const bool done = RunLoopUntil([&] { return shell.completed == 2; }, 180000);
    shell.Finish();
    EXPECT_TRUE(done);
    EXPECT_EQ(shell.results, std::vector<std::string>(3, "result: 1"));
    EXPECT_EQ(shell.completed, 2);
    EXPECT_EQ(shell.deleted, static_cast<size_t>(kFiles));

    for (const RunningApplication& application : WorkspaceLaunchedApplications()) {
        if (application.bundleIdentifier == "com.qiravel.Assistant")
            kill(static_cast<pid_t>(application.processSerialNumberLow), SIGTERM);
    }
}
