// The named logging categories of the diagnostic traces (debug and info off by default).
#include "core/logcategories.h"

Q_LOGGING_CATEGORY(zrLink, "zr.link", QtWarningMsg)
Q_LOGGING_CATEGORY(zrCodec, "zr.codec", QtWarningMsg)
Q_LOGGING_CATEGORY(zrBoot, "zr.boot", QtWarningMsg)
Q_LOGGING_CATEGORY(zrTools, "zr.tools", QtWarningMsg)
Q_LOGGING_CATEGORY(zrBuild, "zr.build", QtWarningMsg)
Q_LOGGING_CATEGORY(zrDmx, "zr.dmx", QtWarningMsg)
Q_LOGGING_CATEGORY(zrParams, "zr.params", QtWarningMsg)
Q_LOGGING_CATEGORY(zrSim, "zr.sim", QtWarningMsg)

void enableAllTraces()
{
    QLoggingCategory::setFilterRules(QStringLiteral("zr.*=true"));
}
