// Support for the end-to-end transfer tests: a private XDG sandbox with the Assistant's desktop
// entry, a qvshell session that plays the plug-in and the page, and the local HTTP test server.
#pragma once

#include "Platform/AppleEvents/AppleEvents.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

// Page requests that open the upload panel and the download folder panel.
inline const char kSelectFiles[] = R"({"type":"Request","code":"SelectFilesToUpload"})";
inline const char kSelectFolder[] = R"({"type":"Request","code":"SelectDownloadLocation"})";

// Writes files under a folder: relative path to contents.
void WriteTree(const std::string& folder, const std::map<std::string, std::string>& files);

// The serial number under which the Assistant checked in, or {0, 0}.
ProcessSerialNumber ListedAssistant();

// A temporary folder that is the runtime, data and configuration home of this process and its
// children. Its Assistant settings allow file: transfers anywhere inside it and HTTP to 127.0.0.1.
// On destruction it stops the Assistant it holds and removes itself.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();

    std::string Path(const std::string& relative = "") const;
    // Replaces the Assistant's settings file with the text.
    void WriteConfig(const std::string& text) const { WriteTree(Path("config"), {{"qiravel/assistant.conf", text}}); }
    // Installs the desktop entry with the project's install script, pointing at the program.
    void InstallAssistantEntry(const std::string& program = ASSISTANT_PATH) const;
    // The checked-in Assistant's process id, or 0.
    pid_t AssistantPid() const { return static_cast<pid_t>(ListedAssistant().lowLongOfPSN); }
    // Sends the signal to the Assistant and waits until it is gone; false when it stayed.
    bool StopAssistant(int signal) const;
    // Where the programs started by the tests write their standard error; the sanitizers report
    // there.
    std::string ErrorLog() const { return Path("stderr.log"); }

private:
    TempDir mHome{"qv-transfer"};
};

// A sandbox whose desktop entry launches the real Assistant when the plug-in first needs it.
struct LaunchingSandbox : Sandbox {
    LaunchingSandbox() { InstallAssistantEntry(); }
};

// Contents as compared in the tests: short texts as they are, anything else by size and hash.
std::map<std::string, std::string> Fingerprints(const std::map<std::string, std::string>& files);
// The fingerprints of the files as they must arrive below a destination that keeps relative paths.
std::map<std::string, std::string> Under(const std::string& prefix, const std::map<std::string, std::string>& files);
// Every regular file under a folder, hidden ones included: relative path to fingerprint.
std::map<std::string, std::string> ReadTree(const std::string& folder);
std::string RandomBytes(size_t count, unsigned seed);
// A file's contents; empty when it cannot be read.
std::string ReadWhole(const std::string& path);
// The lines of a text file.
std::vector<std::string> ReadLines(const std::string& path);

// A running program that is a child of the test; killed and reaped on destruction.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::string& errorLog, bool pipes);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return mPid; }
    // Reads one line of standard output within the time; false at the time-out or the end.
    bool ReadLine(std::string* line, int timeoutMilliseconds);
    void Write(const std::string& text);
    void CloseInput();
    // Waits for the exit and returns the wait status, or -1 at the time-out.
    int Wait(int timeoutMilliseconds);

private:
    pid_t mPid = -1;
    int mInput = -1;
    int mOutput = -1;
    std::string mPending;
};

// qvshell with the given dialog answers: requests in, results and notifications out.
class Shell {
public:
    Shell(const Sandbox& sandbox, const std::vector<std::string>& dialogAnswers);
    ~Shell() { Finish(); }

    // Runs one page request and returns its result (1 or 0, -1 when none came).
    int Request(const std::string& json);
    // Runs the requests in turn; a failure names the first that did not give 1.
    ::testing::AssertionResult Accepts(const std::vector<std::string>& requests);
    // Reads until the page has had this many notifications with the code; false at the time-out.
    bool WaitFor(const std::string& code, size_t count = 1, int timeoutMilliseconds = 60000);
    // Every notification so far, as the page received it.
    const std::vector<std::string>& Notifications() const { return mNotifications; }
    // Every line it wrote so far: answers, results, notifications and log lines.
    const std::vector<std::string>& Lines() const { return mLines; }
    std::vector<std::string> NotificationsWithCode(const std::string& code) const;
    // The files the page heard of as deleted from its list; fails a batch of more than 1000.
    size_t DeletedFromUploadList() const;
    pid_t Pid() const { return mChild.Pid(); }
    // Ends the input, waits for the exit status and reads what was written before the exit.
    int Finish();

private:
    bool ReadOne(int timeoutMilliseconds, std::string* line);

    Child mChild;
    std::vector<std::string> mNotifications;
    std::vector<std::string> mLines;
    bool mFinished = false;
};

// The HTTP test server (http_test_server.py) on 127.0.0.1, serving and storing under its root.
class HttpTestServer {
public:
    explicit HttpTestServer(const Sandbox& sandbox);
    std::string Url(const std::string& path) const;
    std::string Root() const { return mRoot; }
    // One line per request: "METHOD path range".
    std::vector<std::string> Requests() const;

private:
    std::string mRoot;
    std::string mLog;
    Child mChild;
    std::string mPort;
};

// A "StartUpload" request for the job, to the URL when one is given.
std::string UploadRequest(const std::string& job, const std::string& url = "");
// A "StartDownload" request of (URL, relative path) entries, with the members before "files_dl"
// (each with its comma).
std::string DownloadRequest(const std::vector<std::pair<std::string, std::string>>& files, const std::string& members = "");
// The named members of a JSON text, each as JsonMember gives it, separated by spaces.
std::string Members(const std::string& json, const std::vector<const char*>& names);
// Polls the condition every few milliseconds until it holds or the time is up.
bool Eventually(const std::function<bool()>& condition, int timeoutMilliseconds);

// The bytes of an event's parameter as the type (typeWildCard: as it is), and the type it had.
std::string EventParam(const AppleEvent* event, AEKeyword key, DescType type, DescType* actual = nullptr);
// Sends an event of the Assistant's class to the process, with parameters (keyword, type, bytes).
using EventParams = std::vector<std::tuple<AEKeyword, DescType, std::string>>;
OSErr SendEvent(const ProcessSerialNumber& target, AEEventID id, const EventParams& params);
