// zrtool hex2bin: the window's Intel HEX conversion into one flash window, 0x00 where the file has no data.
#include <QByteArray>

#include "builders/hextobin.h"
#include "zrtool/cli.h"

namespace {
// A window larger than any of the family images is almost certainly a typing error.
constexpr quint32 kMaxWindow = 16u << 20;
} // namespace

int runHex2Bin(const QStringList &arguments)
{
    Command cmd(QStringLiteral("hex2bin"),
                QStringLiteral("Converts an Intel HEX file into the bytes of the flash window FIRST..LAST (both "
                               "inclusive), 0x00 where the file has no data. Nothing is written when the file "
                               "has an error or no data at all in the window. An existing device or FIFO given "
                               "as output is written in place."));
    cmd.addArgument(QStringLiteral("IN.hex"), QStringLiteral("Intel HEX file."));
    const QCommandLineOption first(QStringLiteral("first"),
                                   QStringLiteral("First flash address of the window (0x... or decimal)."),
                                   QStringLiteral("ADDR"));
    const QCommandLineOption last(QStringLiteral("last"),
                                  QStringLiteral("Last flash address of the window, inclusive."),
                                  QStringLiteral("ADDR"));
    const QCommandLineOption output = Command::outputOption(QStringLiteral("Binary file to write."),
                                                            QStringLiteral("OUT.bin"));
    for (const QCommandLineOption &o : {first, last, output})
        cmd.addOption(o);
    if (!cmd.parse(arguments, 1, 1, {first, last, output}))
        return kExitUsage;

    quint32 from = 0, to = 0;
    if (!parseNumber(cmd.parser.value(first), &from))
        return cmd.usageError(QStringLiteral("--first needs an address, not '%1'").arg(cmd.parser.value(first)));
    if (!parseNumber(cmd.parser.value(last), &to))
        return cmd.usageError(QStringLiteral("--last needs an address, not '%1'").arg(cmd.parser.value(last)));
    if (to < from)
        return cmd.usageError(QStringLiteral("--last %1 lies below --first %2").arg(hex(to, 8), hex(from, 8)));
    if (to - from >= kMaxWindow)
        return cmd.usageError(QStringLiteral("the window %1..%2 is larger than 16 MiB").arg(hex(from, 8), hex(to, 8)));

    const QString in = cmd.arguments().at(0);
    QByteArray bytes(int(to - from + 1), '\0');
    quint64 stored = 0;
    const int code = HexToBin(in, reinterpret_cast<quint8 *>(bytes.data()), from, to, &stored);
    if (code != kHexOk)
        return fileError(kExitInput, in, hexToBinProblem(in, code));
    if (stored == 0)
        return fileError(kExitInput, in, emptyWindowProblem(from, to));

    const QString out = cmd.parser.value(output);
    QString problem;
    if (!writeFile(out, bytes, &problem))
        return fileError(kExitOutput, out, problem);
    printLine(QStringLiteral("%1: %2 bytes, %3..%4").arg(out).arg(bytes.size()).arg(hex(from, 8), hex(to, 8)));
    return kExitOk;
}
