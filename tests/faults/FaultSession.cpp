#include "FaultSession.h"

#include "Common/AssistantLink.h"
#include "Platform/Processes/Processes.h"
#include "Platform/Workspace/Workspace.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

std::string RuntimeFolder(const Sandbox& sandbox) { return sandbox.Path("runtime/qiravel"); }

void InstallTestAssistantEntry()
{
    const std::string command = std::string(INSTALL_SCRIPT) + " " + TEST_ASSISTANT_PATH + " >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0) << command;
}

ProcessSerialNumber ListedAssistant()
{
    for (const RunningApplication& application : WorkspaceLaunchedApplications()) {
        if (application.bundleIdentifier == kAssistantBundleIdentifier)
            return {application.processSerialNumberHigh, application.processSerialNumberLow};
    }
    return {0, 0};
}

LockHolder::LockHolder(const Sandbox& sandbox, const ProcessSerialNumber& psn)
{
    const std::string path = RuntimeFolder(sandbox) + "/." + ProcessSerialNumberName(psn) + ".lock";
    int ready[2];
    if (pipe(ready) != 0)
        return;
    mPid = fork();
    if (mPid == 0) {
        // Only system calls from here on: the test process may run other threads.
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        const char verdict = fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0 ? 'y' : 'n';
        if (write(ready[1], &verdict, 1) != 1 || verdict != 'y')
            _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char verdict = 'n';
    if (mPid < 0 || read(ready[0], &verdict, 1) != 1 || verdict != 'y')
        Release();
    close(ready[0]);
}

void LockHolder::Release()
{
    if (mPid <= 0)
        return;
    kill(mPid, SIGKILL);
    waitpid(mPid, nullptr, 0);
    mPid = -1;
}

int LowestFreeDescriptor(pid_t pid)
{
    std::set<int> open;
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir)
        return -1;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            open.insert(atoi(entry->d_name));
    }
    closedir(dir);
    int lowest = 0;
    while (open.count(lowest))
        ++lowest;
    return lowest;
}

unsigned long long CpuTicks(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return 0;
    // After the name: state, then fields 4 to 13, then utime and stime.
    std::istringstream fields(stat.substr(end + 2));
    std::string skipped;
    for (int i = 0; i < 11; ++i)
        fields >> skipped;
    unsigned long long user = 0;
    unsigned long long system = 0;
    fields >> user >> system;
    return user + system;
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}
