// zrtool: the production command line (HEX conversion, upgrade files, boot images, parameter files, ID text).
#include <QCoreApplication>
#include <QLoggingCategory>
#include <cstring>
#include <memory>

#include "zrtool/cli.h"

namespace {
// Commands that only read and write files: they need no event loop, plugins or locale set-up, and building the
// application object would cost about a tenth of a short run.
bool isOfflineCommand(const char *word)
{
    for (const char *offline : {"hex2bin", "upg", "boot", "param", "id"})
        if (std::strcmp(word, offline) == 0)
            return true;
    return false;
}
} // namespace

int main(int argc, char *argv[])
{
    std::unique_ptr<QCoreApplication> app;
    if (argc < 2 || !isOfflineCommand(argv[1]))
        app = std::make_unique<QCoreApplication>(argc, argv);
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // The core's debug traces (encoding, frames) are for the window's debug log; QT_LOGGING_RULES brings them back.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const QList<SubCommand> commands = {
        {"hex2bin", "convert Intel HEX into the bytes of one flash window", runHex2Bin},
        {"upg", "create, inspect or extract upgrade files (.upg)", runUpg},
        {"boot", "build a series of production boot images", runBoot},
        {"param", "show, change or create parameter files", runParam},
        {"id", "show the ID text of a device ID", runId},
    };
    return dispatch(QStringLiteral("zrtool"), commands, arguments);
}
