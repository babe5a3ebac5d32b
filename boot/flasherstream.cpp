// The main window's stream upgrade slots ("Stream" menu): each hands its work to StreamUpgrade.
#include "app/flasher.h"

#include "boot/streamupgrade.h"

void Flasher::slotStreamConnect()
{
    StreamUpgrade(state(), prompts(), cable()).connectDevices();
}

void Flasher::slotStreamUpgrade()
{
    StreamUpgrade(state(), prompts(), cable()).upgrade();
}

// The upgrade runs whatever the connect loop did (cancelled, or no cable).
void Flasher::slotStreamUpgradeProcedure()
{
    slotStreamConnect();
    slotStreamUpgrade();
}
