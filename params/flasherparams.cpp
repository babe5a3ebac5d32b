// The main window's parameter wizard slot.
#include <QDebug>

#include "app/flasher.h"
#include "params/paramdialog.h"

void Flasher::slotParameterWizard()
{
    qDebug() << "slotParameterWizard(void)";
    ParamDialog dialog(this, prompts());
    dialog.exec();
}
