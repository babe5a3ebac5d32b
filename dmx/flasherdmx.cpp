// The main window's DMX console slot.
#include "app/flasher.h"
#include "core/logcategories.h"
#include "dmx/dmxdialog.h"
#include "link/rs485cable.h"

void Flasher::slotDMX()
{
    if (!cable().ensureOpen()) {
        log(tr("Connect USB Cable !!!"));
        return;
    }
    qCDebug(zrDmx) << "slotDMX(void)";
    DmxDialog dialog(this, Qt::WindowFlags(), &cable());
    dialog.exec();
}
