// Command-line options that script the answers of the dialogs.
#include "ScriptedDialogs.h"

namespace {
bool IsOption(const std::string& arg) { return arg.compare(0, 2, "--") == 0; }
}  // namespace

bool ParseScriptedDialogOptions(std::vector<std::string>& args, ScriptedDialogToolkit& toolkit,
                                std::string& error)
{
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        const bool hasValue = i + 1 < args.size() && !IsOption(args[i + 1]);
        if (option == "--pick") {
            std::vector<std::string> paths;
            while (i + 1 < args.size() && !IsOption(args[i + 1]))
                paths.push_back(args[++i]);
            if (paths.empty()) {
                error = "--pick needs at least one path";
                return false;
            }
            toolkit.Enqueue(ScriptedAnswer::Choose(std::move(paths)));
        } else if (option == "--download-folder") {
            if (!hasValue) {
                error = "--download-folder needs a folder";
                return false;
            }
            toolkit.Enqueue(ScriptedAnswer::Choose({args[++i]}));
        } else if (option == "--confirm") {
            const std::string value = hasValue ? args[++i] : std::string();
            if (value != "yes" && value != "no") {
                error = "--confirm takes yes or no";
                return false;
            }
            toolkit.Enqueue(value == "yes" ? ScriptedAnswer::Press(0) : ScriptedAnswer::Cancel());
        } else {
            rest.push_back(option);
        }
    }
    args.swap(rest);
    return true;
}
