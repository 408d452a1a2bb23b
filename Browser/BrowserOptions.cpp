#include "BrowserOptions.h"

#include <glib.h>

#include <cstdlib>

const char kBrowserUsage[] =
    "usage: qiravel-browser [options] URL|FILE\n"
    "Opens the page with the Qiravel Web Client plug-in (from $QIRAVEL_EXTENSIONS_DIR, else the\n"
    "plug-in folder installed beside the program).\n"
    "  --no-sandbox           run web processes without their sandbox (where bubblewrap cannot run)\n"
    "  --screenshot FILE      save a PNG of the page once it has loaded (in test mode: when the page\n"
    "                         reports its verdict), then quit\n"
    "  --geometry WxH[+X+Y]   size (and position) of the window\n"
    "  --read-only DIR        let the plug-in read DIR in the sandbox, beside the folders it reads\n"
    "                         by default (may be given more than once)\n"
    "  --test                 test mode: the page reports through\n"
    "                         window.webkit.messageHandlers.qiravelTest.postMessage(text); each text\n"
    "                         is printed as \"test: text\"; \"pass\" quits with 0, \"fail...\" with 1\n"
    "  --dialog-script FILE   answer the plug-in's dialogs from FILE: one of --pick PATH...,\n"
    "                         --download-folder DIR, --confirm yes|no per line; then Cancel\n"
    "  --timeout SECONDS      test mode: quit with 1 after this long (default 60)\n"
    "  --plain-host           test mode: answer none of the plug-in's messages and pass it no\n"
    "                         settings, like a browser that knows nothing of it\n"
    "  --echo-system-log      the plug-in copies its system-log lines to standard error\n"
    "  --benchmark-reference  test mode: give the plug-in's elements a method that does nothing,\n"
    "                         BenchmarkEmptyMethod(text), reached as the others are\n";

namespace {
bool ParseNumber(const std::string& text, unsigned int* value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9)
        return false;
    *value = static_cast<unsigned int>(strtoul(text.c_str(), nullptr, 10));
    return true;
}

bool ParseGeometry(const std::string& text, BrowserOptions* options)
{
    int width = 0;
    int height = 0;
    int x = 0;
    int y = 0;
    char end = 0;
    const int fields = sscanf(text.c_str(), "%dx%d+%d+%d%c", &width, &height, &x, &y, &end);
    if ((fields != 2 && fields != 4) || width <= 0 || height <= 0 || x < 0 || y < 0)
        return false;
    if (fields == 2 && text.find('+') != std::string::npos)
        return false;
    options->width = width;
    options->height = height;
    options->x = fields == 4 ? x : -1;
    options->y = fields == 4 ? y : -1;
    return true;
}
}  // namespace

bool ParseBrowserOptions(const std::vector<std::string>& args, BrowserOptions* options, std::string* error)
{
    std::vector<std::string> pages;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--no-sandbox") {
            options->sandbox = false;
        } else if (arg == "--test") {
            options->test = true;
        } else if (arg == "--plain-host") {
            options->plainHost = true;
        } else if (arg == "--echo-system-log") {
            options->echoSystemLog = true;
        } else if (arg == "--benchmark-reference") {
            options->benchmarkReference = true;
        } else if (arg == "--screenshot" || arg == "--dialog-script" || arg == "--timeout" || arg == "--geometry" ||
                   arg == "--read-only") {
            if (!hasValue) {
                *error = arg + " needs a value";
                return false;
            }
            const std::string& value = args[++i];
            if (arg == "--screenshot") {
                options->screenshot = value;
            } else if (arg == "--dialog-script") {
                options->dialogScript = value;
            } else if (arg == "--read-only") {
                options->readOnlyFolders.push_back(value);
            } else if (arg == "--timeout" && (!ParseNumber(value, &options->timeoutSeconds) || !options->timeoutSeconds)) {
                *error = "--timeout takes a number of seconds";
                return false;
            } else if (arg == "--geometry" && !ParseGeometry(value, options)) {
                *error = "--geometry takes WIDTHxHEIGHT or WIDTHxHEIGHT+X+Y";
                return false;
            }
        } else if (arg.compare(0, 2, "--") == 0) {
            *error = "unknown option " + arg;
            return false;
        } else {
            pages.push_back(arg);
        }
    }
    if (pages.size() != 1) {
        *error = pages.empty() ? "no page given" : "more than one page given";
        return false;
    }
    if ((options->plainHost || options->benchmarkReference) && !options->test) {
        *error = std::string(options->plainHost ? "--plain-host" : "--benchmark-reference") +
                 " is for test mode (--test)";
        return false;
    }
    options->page = pages[0];
    return true;
}

bool ReadDialogScript(const std::string& text, std::vector<std::string>* args, std::string* error)
{
    gchar** lines = g_strsplit(text.c_str(), "\n", -1);
    bool ok = true;
    for (int i = 0; ok && lines[i]; ++i) {
        const gchar* line = g_strstrip(lines[i]);
        if (!*line || *line == '#')
            continue;
        gchar** words = nullptr;
        GError* parseError = nullptr;
        if (!g_shell_parse_argv(line, nullptr, &words, &parseError)) {
            *error = "line " + std::to_string(i + 1) + ": " + parseError->message;
            g_error_free(parseError);
            ok = false;
            break;
        }
        if (std::string(words[0]).compare(0, 2, "--") != 0) {
            *error = "line " + std::to_string(i + 1) + ": expected an option such as --pick";
            ok = false;
        }
        for (int j = 0; ok && words[j]; ++j)
            args->push_back(words[j]);
        g_strfreev(words);
    }
    g_strfreev(lines);
    return ok;
}
