// The About box: fills in the version line from the program's version constant.
#include "app/information.h"

#include "app/flasher.h"
#include "core/version.h"

Information::Information(QWidget *parent)
    : QDialog(parent)
{
    loadResources();
    setupUi(this);
    labelVersion->setText(kProgramName + tr(" ver. ") + kProgramVersion);
}
