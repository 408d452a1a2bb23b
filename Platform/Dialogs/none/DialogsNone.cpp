// The toolkit of a process without a display: no application object, nothing is shown.
#include "Platform/Dialogs/Dialogs.h"

namespace {
class NoDialogToolkit : public DialogToolkit {
public:
    bool HasApplication() const override { return false; }
    DialogWindow MainWindow() const override { return nullptr; }
    OpenPanelResult RunOpenPanel(const OpenPanelRequest&) override { return OpenPanelResult(); }
    AlertResult RunAlert(const AlertRequest&) override { return AlertResult(); }
};
}  // namespace

std::unique_ptr<DialogToolkit> MakeNoDialogToolkit() { return std::make_unique<NoDialogToolkit>(); }
