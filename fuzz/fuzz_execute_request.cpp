// Page requests: the input holds several request texts, one per line, which one fresh instance
// runs in turn, as qvshell does. The first byte scripts the dialogs and the page: each of its
// three low bit pairs queues one answer (cancel, pick a small folder, press the first button,
// choose a download folder), and bit 6 makes the page run the next line from inside each
// notification. The line "~" destroys the instance (a fresh one takes the next top-level line).
// Every notification and log message the instance sends must be strict JSON.
#include "FuzzClient.h"

#include "Platform/Dialogs/scripted/ScriptedDialogs.h"

#include <glib.h>

#include <fstream>
#include <memory>

namespace {
struct Folders {
    std::string pick;
    std::string download;
};

const Folders& TestFolders()
{
    static const Folders folders = [] {
        const std::string& root = UsePrivateEnvironment();
        Folders made{root + "/Pick", root + "/Downloads"};
        g_mkdir_with_parents((made.pick + "/Sub").c_str(), 0700);
        g_mkdir_with_parents(made.download.c_str(), 0700);
        std::ofstream(made.pick + "/a.txt") << "a";
        std::ofstream(made.pick + "/Sub/b.txt") << "bb";
        return made;
    }();
    return folders;
}

std::unique_ptr<ScriptedDialogToolkit> ScriptDialogs(uint8_t script)
{
    auto toolkit = std::make_unique<ScriptedDialogToolkit>();
    for (int shift = 0; shift < 6; shift += 2) {
        switch ((script >> shift) & 3) {
        case 0:
            toolkit->Enqueue(ScriptedAnswer::Cancel());
            break;
        case 1:
            toolkit->Enqueue(ScriptedAnswer::Choose({TestFolders().pick}));
            break;
        case 2:
            toolkit->Enqueue(ScriptedAnswer::Press(0));
            break;
        case 3:
            toolkit->Enqueue(ScriptedAnswer::Choose({TestFolders().download}));
            break;
        }
    }
    return toolkit;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    PrepareHeadlessInstances();
    TestFolders();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    SetDialogToolkit(ScriptDialogs(data[0]));
    FuzzPage page;
    page.reentrant = (data[0] & 0x40) != 0;
    page.run = [](FuzzClient& client, const std::string& request) {
        xwstring text(request.c_str());
        client.ExecuteRequest(static_cast<wchar_t*>(text));
    };
    for (std::string& line : SplitInput(data + 1, size - 1, '\n'))
        page.pending.push_back(std::move(line));
    do {
        if (!page.client) {
            page.client = new FuzzClient;
            page.client->page = &page;
            page.client->StartLogging();
        }
    } while (page.RunNext());
    delete page.client;
    SetDialogToolkit(nullptr);
    return 0;
}
