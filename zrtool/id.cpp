// zrtool id: the ID text of a device ID, as the window shows it after a connect.
#include "boot/deviceid.h"
#include "zrtool/cli.h"

int runId(const QStringList &arguments)
{
    Command cmd(QStringLiteral("id"),
                QStringLiteral("Shows the ID text of a device ID (RDM identifier, year, month or week, serial). "
                               "The ID is hexadecimal, with or without 0x, as the window logs it."));
    cmd.addArgument(QStringLiteral("ID"), QStringLiteral("Device ID, e.g. 0x2A123456 or 2a123456."));
    const QCommandLineOption json = Command::jsonOption();
    cmd.addOption(json);
    if (!cmd.parse(arguments, 1, 1))
        return kExitUsage;

    QString text = cmd.arguments().at(0).trimmed();
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        text = text.mid(2);
    bool ok = false;
    const quint32 id = text.toUInt(&ok, 16);
    if (!ok || text.size() > 8)
        return cmd.usageError(QStringLiteral("'%1' is not a 32-bit hexadecimal device ID").arg(cmd.arguments().at(0)));

    if (!cmd.parser.isSet(json)) {
        printLine(deviceIdText(id));
        return kExitOk;
    }
    const DeviceIdFields f = splitDeviceId(id);
    printJson(QJsonObject{{"id", hex(id, 8)},
                          {"text", deviceIdText(id)},
                          {"rdmId", f.rdmId},
                          {"layout", f.weekLayout ? "week" : "month"},
                          {"year", f.year},
                          {f.weekLayout ? "week" : "month", f.monthOrWeek},
                          {"serial", f.serial}});
    return kExitOk;
}
