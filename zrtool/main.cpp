// zrtool: the production command line (HEX conversion, upgrade files, boot images, parameter files, ID text).
#include <QCoreApplication>
#include <QLoggingCategory>

#include "zrtool/cli.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The core's debug traces (encoding, frames) are for the window's debug log; QT_LOGGING_RULES brings them back.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const QList<SubCommand> commands = {
        {"hex2bin", "convert Intel HEX into the bytes of one flash window", runHex2Bin},
        {"upg", "create, inspect or extract upgrade files (.upg)", runUpg},
        {"boot", "build a series of production boot images", runBoot},
        {"param", "show, change or create parameter files", runParam},
        {"id", "show the ID text of a device ID", runId},
    };
    return dispatch(QStringLiteral("zrtool"), commands, app.arguments().mid(1));
}
