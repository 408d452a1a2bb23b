// The process-wide current toolkit.
#include "Dialogs.h"

namespace {
std::unique_ptr<DialogToolkit>& Current()
{
    static std::unique_ptr<DialogToolkit> current = MakeNoDialogToolkit();
    return current;
}
}  // namespace

DialogToolkit& CurrentDialogToolkit() { return *Current(); }

void SetDialogToolkit(std::unique_ptr<DialogToolkit> toolkit)
{
    Current() = toolkit ? std::move(toolkit) : MakeNoDialogToolkit();
}
