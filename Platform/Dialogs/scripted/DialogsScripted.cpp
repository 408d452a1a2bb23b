// The scripted toolkit: answers from a queue and a record of what was shown.
#include "ScriptedDialogs.h"

#include <glib.h>

namespace {
bool FoldersOnly(const OpenPanelRequest& request)
{
    return request.canChooseDirectories && !request.canChooseFiles;
}

std::string ParentFolder(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return std::string();
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

OpenPanelResult CancelledPanel()
{
    OpenPanelResult result;
    result.hitCancel = true;
    return result;
}

AlertResult PressCancel(const AlertRequest& request)
{
    AlertResult result;
    for (size_t i = 0; i < request.buttons.size(); ++i)
        if (request.buttons[i] == "Cancel")
            result.pressedButton = static_cast<int>(i);
    return result;
}
}  // namespace

ScriptedAnswer ScriptedAnswer::Choose(std::vector<std::string> paths)
{
    ScriptedAnswer answer;
    answer.kind = kChoose;
    answer.paths = std::move(paths);
    return answer;
}

ScriptedAnswer ScriptedAnswer::Press(int button)
{
    ScriptedAnswer answer;
    answer.kind = kPressButton;
    answer.button = button;
    return answer;
}

ScriptedAnswer ScriptedDialogToolkit::NextAnswer()
{
    if (mAnswers.empty())
        return ScriptedAnswer::Cancel();
    ScriptedAnswer answer = std::move(mAnswers.front());
    mAnswers.pop_front();
    return answer;
}

OpenPanelResult ScriptedDialogToolkit::RunOpenPanel(const OpenPanelRequest& request)
{
    shownPanels.push_back(request);
    const ScriptedAnswer answer = NextAnswer();
    if (answer.kind == ScriptedAnswer::kCancel)
        return CancelledPanel();
    if (answer.kind != ScriptedAnswer::kChoose || answer.paths.empty()) {
        g_warning("scripted dialogs: the answer for panel \"%s\" chooses nothing; answering Cancel",
                  request.title.c_str());
        return CancelledPanel();
    }
    OpenPanelResult result;
    result.hitOK = true;
    // A single-selection panel cannot hand back more than one item.
    if (request.allowsMultipleSelection)
        result.filenames = answer.paths;
    else
        result.filenames.push_back(answer.paths.front());
    result.directory = FoldersOnly(request) ? answer.paths.front() : ParentFolder(answer.paths.front());
    return result;
}

AlertResult ScriptedDialogToolkit::RunAlert(const AlertRequest& request)
{
    shownAlerts.push_back(request);
    const ScriptedAnswer answer = NextAnswer();
    if (answer.kind == ScriptedAnswer::kPressButton && answer.button >= 0 &&
        static_cast<size_t>(answer.button) < request.buttons.size()) {
        AlertResult result;
        result.pressedButton = answer.button;
        return result;
    }
    if (answer.kind != ScriptedAnswer::kCancel)
        g_warning("scripted dialogs: the answer for alert \"%s\" presses none of its %zu buttons; "
                  "answering Cancel",
                  request.messageText.c_str(), request.buttons.size());
    return PressCancel(request);
}
