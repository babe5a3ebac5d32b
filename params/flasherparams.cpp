// The main window's parameter wizard slot.
#include "app/flasher.h"
#include "core/logcategories.h"
#include "params/paramdialog.h"

void Flasher::slotParameterWizard()
{
    qCDebug(zrParams) << "slotParameterWizard(void)";
    ParamDialog dialog(this, prompts());
    dialog.exec();
}
