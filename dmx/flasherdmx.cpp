// The main window's DMX console slot.
#include <QDebug>

#include "app/flasher.h"
#include "dmx/dmxdialog.h"
#include "link/rs485cable.h"

void Flasher::slotDMX()
{
    if (!cable().ensureOpen()) {
        log(tr("Connect USB Cable !!!"));
        return;
    }
    qDebug() << "slotDMX(void)";
    DmxDialog dialog(this, Qt::WindowFlags(), &cable());
    dialog.exec();
}
