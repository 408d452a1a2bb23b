// The browser's command line, its dialog scripts, the folders its sandbox opens and the programs
// its host launches.
#include "BrowserOptions.h"
#include "SandboxFolders.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(BrowserOptions, CommandLines)
{
    struct Case {
        std::vector<std::string> args;
        const char* error;  // null when the line is taken
    };
    const Case cases[] = {
        {{"page.html"}, nullptr},
        {{"--no-sandbox", "--test", "--plain-host", "--timeout", "5", "--geometry", "800x600+10+20", "http://x/"},
         nullptr},
        {{}, "no page given"},
        {{"a.html", "b.html"}, "more than one page given"},
        {{"--plain-host", "a.html"}, "--plain-host is for test mode (--test)"},
        {{"--benchmark-reference", "a.html"}, "--benchmark-reference is for test mode (--test)"},
        {{"--timeout", "0", "--test", "a.html"}, "--timeout takes a number of seconds"},
        {{"--timeout", "x", "a.html"}, "--timeout takes a number of seconds"},
        {{"--geometry", "800x600+10", "a.html"}, "--geometry takes WIDTHxHEIGHT or WIDTHxHEIGHT+X+Y"},
        {{"--geometry", "0x600", "a.html"}, "--geometry takes WIDTHxHEIGHT or WIDTHxHEIGHT+X+Y"},
        {{"--geometry", "800x600+", "a.html"}, "--geometry takes WIDTHxHEIGHT or WIDTHxHEIGHT+X+Y"},
        {{"--frobnicate", "a.html"}, "unknown option --frobnicate"},
    };
    for (const Case& test : cases) {
        BrowserOptions options;
        std::string error;
        EXPECT_EQ(ParseBrowserOptions(test.args, &options, &error), test.error == nullptr)
            << (test.args.empty() ? "" : test.args.back());
        EXPECT_EQ(error, test.error ? test.error : "");
    }
    BrowserOptions options;
    std::string error;
    ASSERT_TRUE(ParseBrowserOptions({"--geometry", "800x600+10+20", "--screenshot", "s.png", "--read-only", "/a",
                                     "--read-only", "/b c", "p.html"},
                                    &options, &error));
    EXPECT_EQ(options.page, "p.html");
    EXPECT_EQ(options.screenshot, "s.png");
    EXPECT_EQ(options.readOnlyFolders, (std::vector<std::string>{"/a", "/b c"}));
    EXPECT_TRUE(options.sandbox);
    EXPECT_EQ(std::vector<int>({options.width, options.height, options.x, options.y}),
              std::vector<int>({800, 600, 10, 20}));
    ASSERT_TRUE(ParseBrowserOptions({"--geometry", "640x480", "p.html"}, &options, &error));
    EXPECT_EQ(options.x, -1);
}

TEST(BrowserOptions, DialogScripts)
{
    std::vector<std::string> args;
    std::string error;
    ASSERT_TRUE(ReadDialogScript("# answers\n\n  --pick '/a b/c' /d\n--confirm yes\r\n--download-folder \"/e f\"\n",
                                 &args, &error));
    EXPECT_EQ(args, (std::vector<std::string>{"--pick", "/a b/c", "/d", "--confirm", "yes", "--download-folder",
                                              "/e f"}));
    for (const char* bad : {"--pick 'unclosed\n", "pick /a\n"}) {
        args.clear();
        EXPECT_FALSE(ReadDialogScript(bad, &args, &error)) << bad;
        EXPECT_EQ(error.compare(0, 7, "line 1:"), 0) << error;
    }
}

// Which folders the sandbox opens: the runtime folder writable, the places files are kept
// read-only, but none that holds a folder WebKit or the local link must write in.
TEST(SandboxFolders, OpenUserFilesButNothingAboveWritableFolders)
{
    const TempDir folder("qv-sandbox-test");
    const std::string& root = folder.Path();
    const std::string home = root + "/home";
    for (const char* folder : {"/home/Documents", "/home/.ssh", "/home/runtime/qiravel", "/home/zz-last"})
        g_mkdir_with_parents((root + folder).c_str(), 0700);
    g_file_set_contents((home + "/notes.txt").c_str(), "", 0, nullptr);

    struct Case {
        const char* name;
        std::string runtime;
        std::string xdg;
        size_t maxHomeItems;
        std::vector<std::string> readOnly;
    };
    const Case cases[] = {
        {"runtime folder inside home", home + "/runtime/qiravel", "", 256,
         {home + "/Documents", home + "/notes.txt", home + "/zz-last"}},
        {"home items capped", root + "/elsewhere", "", 2, {home + "/Documents", home + "/notes.txt"}},
        {"XDG_RUNTIME_DIR inside a home item", root + "/elsewhere", home + "/zz-last/run", 256,
         {home + "/Documents", home + "/notes.txt", home + "/runtime"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const std::vector<SandboxFolder> folders = SandboxFolders(test.runtime, home, test.xdg, test.maxHomeItems);
        ASSERT_FALSE(folders.empty());
        EXPECT_EQ(folders[0].path, test.runtime);
        EXPECT_FALSE(folders[0].readOnly);
        std::vector<std::string> readOnly;
        for (size_t i = 1; i < folders.size(); ++i) {
            EXPECT_TRUE(folders[i].readOnly) << folders[i].path;
            if (folders[i].path.compare(0, home.size(), home) == 0)
                readOnly.push_back(folders[i].path);
            // /tmp holds this test's folders, and with them the runtime folder.
            EXPECT_NE(folders[i].path, "/tmp");
        }
        EXPECT_EQ(readOnly, test.readOnly);
    }
}

// A web process that asks its browser to launch a program other than the Assistant is refused, and
// that program never runs; the Assistant's own launch goes on. The web process is a probe extension
// in place of the plug-in; both desktop entries only leave a mark.
TEST(HostServices, LaunchesTheAssistantAndNoOtherProgram)
{
    gchar* xvfb = g_find_program_in_path("xvfb-run");
    if (!xvfb)
        GTEST_SKIP() << "no xvfb-run";
    const TempDir folder("qv-launch-test");
    const std::string& root = folder.Path();
    g_mkdir_with_parents((root + "/data/applications").c_str(), 0700);
    g_mkdir_with_parents((root + "/runtime").c_str(), 0700);
    for (const std::string name : {"Assistant", "Other"}) {
        const std::string entry = "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=touch " + root + "/" + name;
        g_file_set_contents((root + "/data/applications/com.qiravel." + name + ".desktop").c_str(), entry.c_str(), -1,
                            nullptr);
    }
    g_file_set_contents((root + "/page.html").c_str(), "<p>probe</p>", -1, nullptr);
    const std::string log = root + "/browser.log";
    const pid_t browser = fork();
    if (browser == 0) {
        setpgid(0, 0);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1), dup2(out, 2);
        const std::pair<const char*, std::string> variables[] = {
            {"HOME", root}, {"XDG_CONFIG_HOME", root}, {"XDG_CACHE_HOME", root}, {"XDG_DATA_HOME", root + "/data"},
            {"XDG_DATA_DIRS", root + "/data"}, {"XDG_RUNTIME_DIR", root + "/runtime"}, {"GSETTINGS_BACKEND", "memory"},
            {"NO_AT_BRIDGE", "1"}, {"DBUS_SESSION_BUS_ADDRESS", "disabled:"}, {"QIRAVEL_EXTENSIONS_DIR", LAUNCH_PROBE_DIR}};
        for (const auto& [name, value] : variables)
            g_setenv(name, value.c_str(), TRUE);
        g_unsetenv("QIRAVEL_RUNTIME_DIR");
#ifdef WEB_PROCESS_PRELOAD
        // The probe is built with the sanitizers; WebKit's web processes are not.
        g_setenv("LD_PRELOAD", WEB_PROCESS_PRELOAD, TRUE);
        g_setenv("ASAN_OPTIONS", "detect_leaks=0", TRUE);
#endif
        execl(xvfb, xvfb, "-a", BROWSER_PATH, (root + "/page.html").c_str(), nullptr);
        _exit(127);
    }
    g_free(xvfb);
    gchar* said = nullptr;
    for (int waited = 0; waited < 60000 && !(said && strstr(said, "probe: com.qiravel.Assistant") &&
                                               g_file_test((root + "/Assistant").c_str(), G_FILE_TEST_EXISTS));
         waited += 50) {
        g_usleep(50000);
        g_free(said);
        g_file_get_contents(log.c_str(), &said, nullptr, nullptr);
    }
    g_usleep(500000);  // time for the other program, launched first, to have run
    kill(-browser, SIGTERM);
    waitpid(browser, nullptr, 0);
    EXPECT_TRUE(said && strstr(said, "probe: com.qiravel.Other refused\nprobe: com.qiravel.Assistant accepted\n")) << said;
    EXPECT_TRUE(g_file_test((root + "/Assistant").c_str(), G_FILE_TEST_EXISTS));
    EXPECT_FALSE(g_file_test((root + "/Other").c_str(), G_FILE_TEST_EXISTS));
    g_free(said);
}
