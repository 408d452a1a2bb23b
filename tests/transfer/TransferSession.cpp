#include "TransferSession.h"

#include "Common/AssistantLink.h"
#include "Platform/EventDelivery/EventDelivery.h"
#include "Platform/Processes/Processes.h"
#include "Platform/Workspace/Workspace.h"
#include "tests/support/JsonMember.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

std::string ReadWhole(const std::string& path)
{
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

Sandbox::Sandbox()
{
    for (const auto& [variable, home] : std::map<std::string, std::string>{
             {"XDG_RUNTIME_DIR", "runtime"}, {"XDG_DATA_HOME", "data"}, {"XDG_DATA_DIRS", "data"},
             {"XDG_STATE_HOME", "state"}, {"XDG_CONFIG_HOME", "config"}}) {
        g_mkdir_with_parents(Path(home).c_str(), 0700);
        setenv(variable.c_str(), Path(home).c_str(), 1);
    }
    WriteConfig("[Allow]\nfolders=" + Path() + "\naddresses=127.0.0.1\n");
}

Sandbox::~Sandbox()
{
    if (!StopAssistant(SIGTERM))
        StopAssistant(SIGKILL);
    const std::string errors = ReadWhole(ErrorLog());
    if (errors.find("Sanitizer") != std::string::npos || errors.find("runtime error") != std::string::npos)
        ADD_FAILURE() << "a program of the test reported:\n" << errors;
}

std::string Sandbox::Path(const std::string& relative) const { return relative.empty() ? mHome.Path() : mHome / relative; }

void Sandbox::InstallAssistantEntry(const std::string& program) const
{
    const std::string command = std::string(INSTALL_SCRIPT) + " " + program + " >/dev/null";
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

bool Sandbox::StopAssistant(int signal) const
{
    const pid_t pid = AssistantPid();
    ProcessSerialNumber psn;
    if (pid == 0 || GetProcessForPID(pid, &psn) != noErr)
        return true;
    kill(pid, signal);
    return Eventually([&] { return !IsProcessAlive(&psn); }, 20000);
}

void WriteTree(const std::string& folder, const std::map<std::string, std::string>& files)
{
    for (const auto& file : files) {
        const std::filesystem::path path = std::filesystem::path(folder) / file.first;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << file.second;
    }
}

std::map<std::string, std::string> Fingerprints(const std::map<std::string, std::string>& files)
{
    std::map<std::string, std::string> prints;
    for (const auto& file : files) {
        const bool shortText = file.second.size() <= 64 &&
                               std::all_of(file.second.begin(), file.second.end(), [](char c) { return c >= ' '; });
        prints[file.first] = shortText ? file.second
                                       : std::to_string(file.second.size()) + " bytes, hash " +
                                             std::to_string(std::hash<std::string>()(file.second));
    }
    return prints;
}

std::map<std::string, std::string> Under(const std::string& prefix, const std::map<std::string, std::string>& files)
{
    std::map<std::string, std::string> moved;
    for (const auto& file : files)
        moved[prefix + file.first] = file.second;
    return Fingerprints(moved);
}

std::map<std::string, std::string> ReadTree(const std::string& folder)
{
    std::map<std::string, std::string> files;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file())
            files[std::filesystem::relative(it->path(), folder).string()] = ReadWhole(it->path().string());
    }
    return Fingerprints(files);
}

std::string RandomBytes(size_t count, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

Child::Child(const std::vector<std::string>& argv, const std::string& errorLog, bool pipes)
{
    std::vector<gchar*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<gchar*>(arg.c_str()));
    args.push_back(nullptr);
    const int errorFd = open(errorLog.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    GError* error = nullptr;
    const auto flags = static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH |
                                                (pipes ? 0 : G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDIN_FROM_DEV_NULL));
    const gboolean spawned = g_spawn_async_with_pipes_and_fds(
        nullptr, args.data(), nullptr, flags, nullptr, nullptr, -1, -1, errorFd, nullptr, nullptr, 0, &mPid,
        pipes ? &mInput : nullptr, pipes ? &mOutput : nullptr, nullptr, &error);
    close(errorFd);
    if (!spawned) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << error->message;
        g_error_free(error);
        mPid = -1;
    }
}

Child::~Child()
{
    CloseInput();
    if (mOutput >= 0)
        close(mOutput);
    if (mPid > 0 && Wait(0) == -1) {
        kill(mPid, SIGKILL);
        Wait(10000);
    }
}

bool Child::ReadLine(std::string* line, int timeoutMilliseconds)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    for (;;) {
        const size_t end = mPending.find('\n');
        if (end != std::string::npos) {
            *line = mPending.substr(0, end);
            mPending.erase(0, end + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry = {mOutput, POLLIN, 0};
        if (mOutput < 0 || left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0)
            return false;
        char buffer[65536];
        const ssize_t count = read(mOutput, buffer, sizeof buffer);
        if (count <= 0)
            return false;
        mPending.append(buffer, static_cast<size_t>(count));
    }
}

void Child::Write(const std::string& text)
{
    ASSERT_EQ(write(mInput, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

void Child::CloseInput()
{
    if (mInput >= 0)
        close(mInput);
    mInput = -1;
}

int Child::Wait(int timeoutMilliseconds)
{
    int status = -1;
    if (mPid <= 0 || !Eventually([&] { return waitpid(mPid, &status, WNOHANG) == mPid; }, timeoutMilliseconds))
        return -1;
    mPid = -1;
    return status;
}

Shell::Shell(const Sandbox& sandbox, const std::vector<std::string>& dialogAnswers)
    : mChild([&] {
          std::vector<std::string> argv = {QVSHELL_PATH, "--settle", "100"};
          argv.insert(argv.end(), dialogAnswers.begin(), dialogAnswers.end());
          return argv;
      }(), sandbox.ErrorLog(), true)
{
    std::string line;
    EXPECT_TRUE(ReadOne(30000, &line));  // the Initialize response
}

bool Shell::ReadOne(int timeoutMilliseconds, std::string* line)
{
    if (!mChild.ReadLine(line, timeoutMilliseconds))
        return false;
    mLines.push_back(*line);
    const std::string notify = "notify: ";
    if (line->compare(0, notify.size(), notify) == 0)
        mNotifications.push_back(line->substr(notify.size()));
    return true;
}

int Shell::Request(const std::string& json)
{
    mChild.Write(json + "\n");
    std::string line;
    while (ReadOne(120000, &line)) {
        if (line.compare(0, 8, "result: ") == 0)
            return atoi(line.c_str() + 8);
    }
    return -1;
}

::testing::AssertionResult Shell::Accepts(const std::vector<std::string>& requests)
{
    for (const std::string& request : requests) {
        const int result = Request(request);
        if (result != 1)
            return ::testing::AssertionFailure() << request << " gave " << result;
    }
    return ::testing::AssertionSuccess();
}

std::vector<std::string> Shell::NotificationsWithCode(const std::string& code) const
{
    std::vector<std::string> found;
    for (const std::string& notification : mNotifications) {
        if (JsonMember(notification, "code") == code)
            found.push_back(notification);
    }
    return found;
}

bool Shell::WaitFor(const std::string& code, size_t count, int timeoutMilliseconds)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    std::string line;
    while (NotificationsWithCode(code).size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || !ReadOne(static_cast<int>(left), &line))
            return false;
    }
    return true;
}

int Shell::Finish()
{
    if (mFinished)
        return -1;
    mFinished = true;
    mChild.CloseInput();
    // The Assistant may hold the shell's output open, so the shell's exit is the end, not the
    // output's.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    std::string line;
    int status = -1;
    while ((status = mChild.Wait(0)) == -1 && Clock::now() < deadline)
        ReadOne(20, &line);
    while (ReadOne(50, &line))
        continue;
    return status;
}

HttpTestServer::HttpTestServer(const Sandbox& sandbox)
    : mRoot(sandbox.Path("server")),
      mLog(sandbox.Path("server.log")),
      mChild({"python3", HTTP_TEST_SERVER, mRoot, mLog}, sandbox.ErrorLog(), true)
{
    g_mkdir_with_parents(mRoot.c_str(), 0700);
    EXPECT_TRUE(mChild.ReadLine(&mPort, 30000)) << "the HTTP test server did not start";
}

std::string HttpTestServer::Url(const std::string& path) const { return "http://127.0.0.1:" + mPort + path; }

std::vector<std::string> HttpTestServer::Requests() const { return ReadLines(mLog); }

bool Eventually(const std::function<bool()>& condition, int timeoutMilliseconds)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string DownloadRequest(const std::vector<std::pair<std::string, std::string>>& files, const std::string& members)
{
    std::string request = R"({"type":"Request","code":"StartDownload",)" + members + R"("files_dl":[)";
    for (const auto& file : files)
        request += R"({"url":")" + file.first + R"(","relative_path":")" + file.second + "\"},";
    if (!files.empty())
        request.pop_back();
    return request + "]}";
}

std::string Members(const std::string& json, const std::vector<const char*>& names)
{
    std::string texts;
    for (const char* name : names)
        texts += (texts.empty() ? "" : " ") + JsonMember(json, name);
    return texts;
}

namespace {
size_t FileCount(const std::string& json)
{
    json_object* parsed = json_tokener_parse(json.c_str());
    json_object* files = nullptr;
    const size_t count = parsed && json_object_object_get_ex(parsed, "files_ul", &files) ? json_object_array_length(files) : 0;
    json_object_put(parsed);
    return count;
}
}  // namespace

size_t Shell::DeletedFromUploadList() const
{
    size_t count = 0;
    for (const std::string& notification : NotificationsWithCode("FilesDeletedFromUploadList")) {
        EXPECT_LE(FileCount(notification), 1000u);
        count += FileCount(notification);
    }
    return count;
}

std::string UploadRequest(const std::string& job, const std::string& url)
{
    const std::string to = url.empty() ? "" : R"(,"upload_url":")" + url + "\"";
    return R"({"type":"Request","code":"StartUpload","job":")" + job + "\"" + to + "}";
}

std::string EventParam(const AppleEvent* event, AEKeyword key, DescType type, DescType* actual)
{
    Size size = 0;
    AEGetParamPtr(event, key, type, actual, nullptr, 0, &size);
    std::string bytes(static_cast<size_t>(size), '\0');
    AEGetParamPtr(event, key, type, actual, bytes.data(), size, &size);
    return bytes;
}

OSErr SendEvent(const ProcessSerialNumber& target, AEEventID id, const EventParams& params)
{
    AEDesc address;
    AppleEvent event;
    AppleEvent reply;
    AEInitializeDesc(&reply);
    AECreateDesc(typeProcessSerialNumber, &target, sizeof target, &address);
    OSErr error = AECreateAppleEvent(kAssistantEventClass, id, &address, kAutoGenerateReturnID, kAnyTransactionID, &event);
    for (const auto& [key, type, bytes] : params)
        AEPutParamPtr(&event, key, type, bytes.data(), static_cast<Size>(bytes.size()));
    if (error == noErr)
        error = AESendMessage(&event, &reply, kAENoReply, 600);
    AEDisposeDesc(&event);
    AEDisposeDesc(&address);
    return error;
}
