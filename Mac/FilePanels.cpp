#include "FilePanels.h"

NSOpenPanelDoesntSuck::NSOpenPanelDoesntSuck() : mHitOK(false), mHitCancel(false) {}

void NSOpenPanelDoesntSuck::runModal(DialogWindow parent)
{
    mRequest.parent = parent;
    mResult = CurrentDialogToolkit().RunOpenPanel(mRequest);
    if (mResult.hitOK)
        ok();
    else
        cancel();
}
