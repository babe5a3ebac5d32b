// zrtool: the production command line (HEX conversion, upgrade files, boot images, parameter files, ID text).
#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <memory>

#include "link/keytable.h"
#include "zrtool/cli.h"

// The full program runs every command; the offline one (see cli.h) hands those of the bus and the registry to it.
#ifdef ZRTOOL_FULL
#define ZR_RUN_IN_FULL_PROGRAM(run) run
#else
#define ZR_RUN_IN_FULL_PROGRAM(run) runInFullProgram
#endif

namespace {
#ifdef ZRTOOL_FULL
// Commands that only read and write files: they need no event loop, plugins or locale set-up, and building the
// application object would cost about a tenth of a short run.
bool isOfflineCommand(const char *word)
{
    for (const char *offline : {"hex2bin", "upg", "boot", "param", "id"})
        if (std::strcmp(word, offline) == 0)
            return true;
    return false;
}
#endif

// --key-table FILE before the command word applies to every command: it is taken off here, once, and the table
// (or ZR_KEY_TABLE's) installed before any command reads or writes a byte.
bool takeKeyTable(QStringList *arguments, int *exitCode)
{
    QString path;
    while (!arguments->isEmpty() && arguments->first().startsWith(QLatin1String("--key-table"))) {
        const QString option = arguments->takeFirst();
        if (option.startsWith(QLatin1String("--key-table="))) {
            path = option.mid(12);
        } else if (option == QLatin1String("--key-table") && !arguments->isEmpty()) {
            path = arguments->takeFirst();
        } else {
            fprintf(stderr, "zrtool: --key-table needs a file (see zrtool --help)\n");
            *exitCode = kExitUsage;
            return false;
        }
    }
    QString problem;
    if (!useKeyTable(path, &problem)) {
        fprintf(stderr, "zrtool: %s\n", qPrintable(problem));
        *exitCode = kExitInput;
        return false;
    }
    return true;
}
} // namespace

int main(int argc, char *argv[])
{
#ifndef ZRTOOL_FULL
    setProgramArguments(argv);
#endif
    setUpProcess();
    QStringList arguments = commandArguments(argc, argv);
    int exitCode = kExitOk;
    if (!takeKeyTable(&arguments, &exitCode))
        return exitCode;
    std::unique_ptr<QCoreApplication> app;
#ifdef ZRTOOL_FULL
    if (arguments.isEmpty() || !isOfflineCommand(arguments.first().toLocal8Bit().constData()))
        app = std::make_unique<QCoreApplication>(argc, argv);
#endif
    const QList<SubCommand> commands = {
        {"hex2bin", "convert Intel HEX into the bytes of one flash window", runHex2Bin},
        {"upg", "create, inspect or extract upgrade files (.upg)", runUpg},
        {"boot", "build a series of production boot images", runBoot},
        {"param", "show, change or create parameter files", runParam},
        {"id", "show the ID text of a device ID", runId},
        {"cables", "list the cables the library sees", ZR_RUN_IN_FULL_PROGRAM(runCables)},
        {"connect", "catch and identify a device", ZR_RUN_IN_FULL_PROGRAM(runConnect)},
        {"upgrade", "upgrade a device with an upgrade file (also recovery: --family --target --force)",
         ZR_RUN_IN_FULL_PROGRAM(runUpgradeDevice)},
        {"run", "start the application of a device", ZR_RUN_IN_FULL_PROGRAM(runRun)},
        {"read-flash", "read device flash into a file", ZR_RUN_IN_FULL_PROGRAM(runReadFlash)},
        {"write-flash", "write a 1 KiB flash block from a file", ZR_RUN_IN_FULL_PROGRAM(runWriteFlash)},
        {"stream", "stream-upgrade every device of one model at once", ZR_RUN_IN_FULL_PROGRAM(runStream)},
        {"mute", "tell every device to stay quiet", ZR_RUN_IN_FULL_PROGRAM(runMute)},
        {"unmute", "let every device answer again", ZR_RUN_IN_FULL_PROGRAM(runUnmute)},
        {"discover", "list the IDs of the devices that answer", ZR_RUN_IN_FULL_PROGRAM(runDiscover)},
        {"registry", "show, list, export or import the production registry", ZR_RUN_IN_FULL_PROGRAM(runRegistry)},
    };
    const QString options = QStringLiteral(
            "\nBefore the command:\n"
            "  --key-table FILE  encode and decode memory data with the 32 hexadecimal words of FILE\n"
            "                    (default: the file $ZR_KEY_TABLE names, else the built-in table)\n");
    return dispatch(QStringLiteral("zrtool"), commands, arguments, options);
}
