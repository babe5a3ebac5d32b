// zrtool registry: the production registry's issue records and upgrade history, and CSV export and import.
#include <QDate>
#include <cstdio>

#include "registry/registrycsv.h"
#include "zrtool/cli.h"
#include "zrtool/registryoptions.h"

namespace {

// An export of a few hundred thousand IDs is tens of MiB; anything far beyond is not a registry export.
constexpr qint64 kMaxCsvBytes = qint64(256) << 20;

QString idHex(quint32 id)
{
    return QStringLiteral("0x%1").arg(id, 8, 16, QLatin1Char('0'));
}

QString issueLine(const IssuedId &id)
{
    return QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
        .arg(idHex(id.deviceId), id.model, id.serialText, registryTime(id.time), id.bench,
             id.written ? QStringLiteral("written") : QStringLiteral("reserved"),
             id.file.isEmpty() ? QStringLiteral("-") : id.file);
}

// The registry named by the options, or an error line and kExitRegistry.
Registry *openRegistry(const char *command, Recorder &recorder, int *code)
{
    Registry *registry = recorder.registry();
    if (!registry) {
        fprintf(stderr, "zrtool registry %s: cannot open the registry %s: %s\n", command, qPrintable(recorder.url()),
                qPrintable(recorder.problem()));
        *code = kExitRegistry;
    }
    return registry;
}

int show(const QStringList &arguments)
{
    Command cmd(QStringLiteral("registry show"),
                QStringLiteral("Shows the issue record of a device ID and its upgrade history."));
    cmd.addArgument(QStringLiteral("ID"), QStringLiteral("Device ID, 0x-hexadecimal or decimal."));
    const RegistryOptions options;
    options.addTo(cmd);
    if (!cmd.parse(arguments, 1, 1))
        return kExitUsage;
    quint32 deviceId = 0;
    if (!parseNumber(cmd.arguments().constFirst(), &deviceId))
        return cmd.usageError(QStringLiteral("'%1' is not a device ID").arg(cmd.arguments().constFirst()));
    const auto recorder = options.recorder(cmd.parser);
    int code = kExitOk;
    Registry *registry = openRegistry("show", *recorder, &code);
    if (!registry)
        return code;
    IssuedId id;
    const bool issued = registry->find(deviceId, &id);
    const QVector<UpgradeRecord> upgrades = registry->upgrades(deviceId);
    if (!issued && upgrades.isEmpty()) {
        fprintf(stderr, "zrtool registry show: %s is not in the registry\n", qPrintable(idHex(deviceId)));
        return kExitInput;
    }
    if (issued) {
        printLine(QStringLiteral("device %1: %2, serial %3 (%4 scheme, year %5, %6 %7, serial %8)")
                      .arg(idHex(id.deviceId), id.model, id.serialText, id.scheme)
                      .arg(id.year)
                      .arg(id.scheme == QLatin1String("new") ? QStringLiteral("week") : QStringLiteral("month"))
                      .arg(id.period)
                      .arg(id.serial));
        if (id.written)
            printLine(QStringLiteral("issued %1 on %2: %3 sha256 %4")
                          .arg(registryTime(id.time), id.bench, id.file, id.sha256));
        else
            printLine(QStringLiteral("reserved %1 on %2, no image recorded as written")
                          .arg(registryTime(id.time), id.bench));
        if (id.reissues > 0)
            printLine(QStringLiteral("written again %1 time(s)").arg(id.reissues));
    } else {
        printLine(QStringLiteral("device %1: no issue record").arg(idHex(deviceId)));
    }
    printLine(QStringLiteral("upgrades: %1").arg(upgrades.size()));
    for (const UpgradeRecord &u : upgrades)
        printLine(QStringLiteral("  %1 %2 cable %3 %4 bootloader %5 %6 crc 0x%7 sha256 %8 %9 %10 %11 ms")
                      .arg(registryTime(u.time), u.bench, u.cableSerial.isEmpty() ? QStringLiteral("-") : u.cableSerial,
                           u.model, u.bootVersion, u.file)
                      .arg(u.crc, 4, 16, QLatin1Char('0'))
                      .arg(u.sha256, u.fast ? QStringLiteral("fast") : QStringLiteral("standard"), u.result)
                      .arg(u.durationMs));
    return kExitOk;
}

bool parseSince(const QString &text, QDateTime *since)
{
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid()) {
        *since = QDateTime(day, QTime(0, 0), Qt::LocalTime).toUTC();
        return true;
    }
    *since = QDateTime::fromString(text, Qt::ISODate);
    return since->isValid();
}

int list(const QStringList &arguments)
{
    Command cmd(QStringLiteral("registry list"),
                QStringLiteral("Lists issued device IDs in ID order: ID, model, serial, time, bench, written or "
                               "reserved, file."));
    const QCommandLineOption model(QStringLiteral("model"), QStringLiteral("Only this model."), QStringLiteral("M"));
    const QCommandLineOption since(QStringLiteral("since"),
                                   QStringLiteral("Only those issued from this day (YYYY-MM-DD, local) or time on."),
                                   QStringLiteral("DATE"));
    cmd.addOption(model);
    cmd.addOption(since);
    const RegistryOptions options;
    options.addTo(cmd);
    if (!cmd.parse(arguments, 0, 0, {model}))
        return kExitUsage;
    QDateTime from;
    if (cmd.parser.isSet(since) && !parseSince(cmd.parser.value(since), &from))
        return cmd.usageError(QStringLiteral("--since takes YYYY-MM-DD, not '%1'").arg(cmd.parser.value(since)));
    const auto recorder = options.recorder(cmd.parser);
    int code = kExitOk;
    Registry *registry = openRegistry("list", *recorder, &code);
    if (!registry)
        return code;
    for (const IssuedId &id : registry->list(cmd.parser.value(model), from))
        printLine(issueLine(id));
    return kExitOk;
}

int exportCsv(const QStringList &arguments)
{
    Command cmd(QStringLiteral("registry export"),
                QStringLiteral("Writes every issued device ID (or those of one model) to a CSV file that "
                               "\"zrtool registry import\" reads back."));
    const QCommandLineOption csv(QStringLiteral("csv"), QStringLiteral("The CSV file to write."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption model(QStringLiteral("model"), QStringLiteral("Only this model."), QStringLiteral("M"));
    cmd.addOption(csv);
    cmd.addOption(model);
    const RegistryOptions options;
    options.addTo(cmd);
    if (!cmd.parse(arguments, 0, 0, {csv}))
        return kExitUsage;
    const auto recorder = options.recorder(cmd.parser);
    int code = kExitOk;
    Registry *registry = openRegistry("export", *recorder, &code);
    if (!registry)
        return code;
    const QVector<IssuedId> ids = registry->list(cmd.parser.value(model), QDateTime());
    QString problem;
    if (!writeFile(cmd.parser.value(csv), issuedToCsv(ids), &problem))
        return fileError(kExitOutput, cmd.parser.value(csv), problem);
    printLine(QStringLiteral("%1 device IDs: %2").arg(ids.size()).arg(cmd.parser.value(csv)));
    return kExitOk;
}

int importCsv(const QStringList &arguments)
{
    Command cmd(QStringLiteral("registry import"),
                QStringLiteral("Seeds the registry from a CSV file of issued device IDs (a header line naming at "
                               "least device_id and model; the columns of \"zrtool registry export\"). Lines whose ID "
                               "is issued already, or that repeat an earlier line, are refused with their line "
                               "number; the others are imported. Exit 2 when any line was refused."));
    const QCommandLineOption csv(QStringLiteral("csv"), QStringLiteral("The CSV file to read."),
                                 QStringLiteral("FILE"));
    cmd.addOption(csv);
    const RegistryOptions options;
    options.addTo(cmd);
    if (!cmd.parse(arguments, 0, 0, {csv}))
        return kExitUsage;
    const QString path = cmd.parser.value(csv);
    QByteArray bytes;
    QString problem;
    if (!readFile(path, &bytes, &problem, kMaxCsvBytes))
        return fileError(kExitInput, path, problem);
    const auto recorder = options.recorder(cmd.parser);
    const CsvRows parsed = issuedFromCsv(bytes, recorder->bench());
    int code = kExitOk;
    Registry *registry = openRegistry("import", *recorder, &code);
    if (!registry)
        return code;
    QVector<int> refused;
    if (!registry->insertNew(parsed.rows, &refused)) {
        fprintf(stderr, "zrtool registry import: %s\n", qPrintable(registry->errorText()));
        return kExitRegistry;
    }
    for (const QString &line : parsed.problems)
        fprintf(stderr, "zrtool: %s: %s\n", qPrintable(path), qPrintable(line));
    for (int index : refused)
        fprintf(stderr, "zrtool: %s: line %d: device ID %s is issued already\n", qPrintable(path),
                parsed.lines.at(index), qPrintable(idHex(parsed.rows.at(index).deviceId)));
    printLine(QStringLiteral("%1 device IDs imported, %2 lines refused")
                  .arg(parsed.rows.size() - refused.size())
                  .arg(refused.size() + parsed.problems.size()));
    return refused.isEmpty() && parsed.problems.isEmpty() ? kExitOk : kExitInput;
}

} // namespace

int runRegistry(const QStringList &arguments)
{
    const QList<SubCommand> commands = {
        {"show", "the issue record of a device ID and its upgrade history", show},
        {"list", "issued device IDs of a model", list},
        {"export", "issued device IDs to CSV", exportCsv},
        {"import", "issued device IDs from CSV (duplicates refused)", importCsv},
    };
    return dispatch(QStringLiteral("zrtool registry"), commands, arguments);
}
