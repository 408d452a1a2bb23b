// The command line of qiravel-browser.
#pragma once

#include <string>
#include <vector>

struct BrowserOptions {
    std::string page;             // a URL, or a path to a local file
    bool sandbox = true;          // web processes run in the sandbox
    bool test = false;            // the page reports to the runner and decides the exit status
    bool plainHost = false;       // behave like a host that knows nothing of the plug-in
    bool benchmarkReference = false;  // give the plug-in's elements the benchmarks' empty method
    bool echoSystemLog = false;   // the plug-in copies its system-log lines to standard error
    std::string dialogScript;     // answer dialogs from this file instead of showing them
    std::string screenshot;       // save a PNG of the page here
    std::vector<std::string> readOnlyFolders;  // more folders the sandboxed plug-in may read
    unsigned int timeoutSeconds = 60;
    int width = 1024;
    int height = 768;
    int x = -1;                   // window position; -1 leaves it to the window manager
    int y = -1;
};

// False with a reason in error for a command line that cannot be followed.
bool ParseBrowserOptions(const std::vector<std::string>& args, BrowserOptions* options, std::string* error);

// The scripted answers of a dialog script: the dialog options of the command-line shell
// (--pick PATH..., --download-folder DIR, --confirm yes|no), one per line, quoted as in a shell;
// blank lines and lines starting with # are skipped. False with a reason on a line that cannot be
// read.
bool ReadDialogScript(const std::string& text, std::vector<std::string>* args, std::string* error);

extern const char kBrowserUsage[];
