#include "Platform/Workspace/Workspace.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <fstream>
#include <poll.h>
#include <unistd.h>

// A launched program lives apart from its launcher: it must not hold the launcher's standard
// output open, or a pipeline reading the launcher (a page test, `qvshell | grep`) would wait for
// the program to quit.
TEST(Launch, ProgramDoesNotKeepTheLaunchersOutputOpen)
{
    const TempDir dir("qv-launch-test");
    const std::string& root = dir.Path();
    g_mkdir_with_parents((root + "/applications").c_str(), 0700);
    std::ofstream(root + "/applications/com.example.Sleeper.desktop")
        << "[Desktop Entry]\nType=Application\nName=Sleeper\nExec=/bin/sleep 20\n";

    int output[2];
    ASSERT_EQ(pipe(output), 0);
    const pid_t launcher = fork();
    if (launcher == 0) {
        dup2(output[1], STDOUT_FILENO);
        close(output[0]);
        close(output[1]);
        setenv("XDG_DATA_HOME", root.c_str(), 1);
        setenv("XDG_DATA_DIRS", root.c_str(), 1);
        _exit(WorkspaceLaunchDesktopEntry("com.example.Sleeper", kWorkspaceLaunchAsync) ? 0 : 1);
    }
    close(output[1]);
    int status = 0;
    ASSERT_EQ(waitpid(launcher, &status, 0), launcher);
    EXPECT_EQ(status, 0);

    pollfd end = {output[0], POLLIN, 0};
    ASSERT_EQ(poll(&end, 1, 10000), 1) << "the launched program holds the launcher's output";
    char byte;
    EXPECT_EQ(read(output[0], &byte, 1), 0);
    close(output[0]);
}
