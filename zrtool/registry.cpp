// zrtool registry: the production registry's issue records and upgrade history, and CSV export and import.
#include <QDate>
#include <QRegularExpression>
#include <cstdio>

#include "registry/registrycsv.h"
#include "registry/registryurl.h"
#include "zrtool/cli.h"
#include "zrtool/registryoptions.h"

namespace {

// An export of a few hundred thousand IDs is tens of MiB; anything far beyond is not a registry export.
constexpr qint64 kMaxCsvBytes = qint64(64) << 20;

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

// The registry named by the options, or an error line and kExitRegistry (kExitUsage for a URL that is none).
Registry *openRegistry(const char *command, Recorder *recorder, int *code)
{
    if (!recorder) {
        *code = kExitUsage;
        return nullptr;
    }
    Registry *registry = recorder->registry();
    if (!registry) {
        fprintf(stderr, "zrtool registry %s: cannot open the registry %s: %s\n", command,
                qPrintable(recorder->shownUrl()), qPrintable(recorder->problem()));
        *code = kExitRegistry;
    }
    const QString notice = recorder->takeNotice();
    for (const QString &line : notice.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        fprintf(stderr, "zrtool registry %s: %s\n", command, qPrintable(line));
    return registry;
}

// What a person has in hand: the device ID in hex (with or without 0x), or the serial text of the label and the
// file names (eight decimal digits: 26140042).
enum class Lookup { DeviceId, SerialText, Invalid };
Lookup readLookup(const QString &text, quint32 *deviceId)
{
    static const QRegularExpression serial(QStringLiteral("^[0-9]{8}$"));
    static const QRegularExpression hexId(QStringLiteral("^(0[xX])?[0-9A-Fa-f]{1,8}$"));
    if (serial.match(text).hasMatch())
        return Lookup::SerialText;
    if (!hexId.match(text).hasMatch())
        return Lookup::Invalid;
    *deviceId = text.mid(text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? 2 : 0).toUInt(nullptr, 16);
    return Lookup::DeviceId;
}

int show(const QStringList &arguments)
{
    Command cmd(QStringLiteral("registry show"),
                QStringLiteral("Shows the issue record of a device, the images it was written again with, and its "
                               "upgrade history."));
    cmd.addArgument(QStringLiteral("ID"), QStringLiteral("Device ID in hexadecimal (0x0379C02A or 0379c02a), or the "
                                                         "serial text of the label and file names (26140042)."));
    const QCommandLineOption model(QStringLiteral("model"),
                                   QStringLiteral("The model, when a serial text belongs to several."),
                                   QStringLiteral("M"));
    cmd.addOption(model);
    const RegistryOptions options;
    options.addTo(cmd);
    if (!cmd.parse(arguments, 1, 1))
        return kExitUsage;
    const QString given = cmd.arguments().constFirst();
    quint32 deviceId = 0;
    const Lookup lookup = readLookup(given, &deviceId);
    if (lookup == Lookup::Invalid)
        return cmd.usageError(QStringLiteral("'%1' is neither a device ID in hex nor a serial text (26140042)")
                                  .arg(given));
    const auto recorder = options.recorder(cmd.parser);
    int code = kExitOk;
    Registry *registry = openRegistry("show", recorder.get(), &code);
    if (!registry)
        return code;
    if (lookup == Lookup::SerialText) {
        QVector<IssuedId> matches;
        for (const IssuedId &id : registry->findSerialText(given))
            if (!cmd.parser.isSet(model) || id.model == cmd.parser.value(model))
                matches << id;
        if (matches.size() > 1) {
            fprintf(stderr, "zrtool registry show: serial %s belongs to several devices; which model (--model)?\n",
                    qPrintable(given));
            for (const IssuedId &id : matches)
                fprintf(stderr, "  %s %s\n", qPrintable(id.model), qPrintable(idHex(id.deviceId)));
            return kExitInput;
        }
        if (!matches.isEmpty())
            deviceId = matches.constFirst().deviceId;
        else
            deviceId = given.toUInt(nullptr, 16); // eight digits that are no serial text may still be an ID
    }
    IssuedId id;
    const bool issued = registry->find(deviceId, &id);
    const QVector<UpgradeRecord> upgrades = registry->upgrades(deviceId);
    if (!issued && upgrades.isEmpty()) {
        fprintf(stderr, "zrtool registry show: %s is not in the registry\n",
                qPrintable(lookup == Lookup::SerialText ? QStringLiteral("serial %1").arg(given) : idHex(deviceId)));
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
        if (id.claimedAt.isValid())
            printLine(QStringLiteral("being written again since %1 by %2").arg(registryTime(id.claimedAt), id.claimedBy));
        if (id.reissues > 0)
            printLine(QStringLiteral("written again %1 time(s)").arg(id.reissues));
        for (const ReissueRecord &r : registry->reissueHistory(deviceId)) {
            printLine(QStringLiteral("  %1 on %2: %3 sha256 %4, replacing %5 sha256 %6")
                          .arg(registryTime(r.time), r.bench, r.file, r.sha256, r.previousFile, r.previousSha256));
            if (!r.previousModel.isEmpty() && !r.model.isEmpty() && r.previousModel != r.model)
                printLine(QStringLiteral("  MODEL CHANGED under this ID: %1 -> %2").arg(r.previousModel, r.model));
        }
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
    if (issued && !upgrades.isEmpty() && upgrades.constLast().model != id.model)
        printLine(QStringLiteral("MODEL CHANGED: issued as %1, last upgraded as %2")
                      .arg(id.model, upgrades.constLast().model));
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
                QStringLiteral("Without options an overview: per model and week (month) the IDs issued, those "
                               "reserved, the next free serial, the last series, and the records waiting in the spool. "
                               "With --model or --since the issued device IDs in ID order: ID, model, serial, time, "
                               "bench, written or reserved, file."));
    const QCommandLineOption model(QStringLiteral("model"), QStringLiteral("Only this model."), QStringLiteral("M"));
    const QCommandLineOption since(QStringLiteral("since"),
                                   QStringLiteral("Only those issued from this day (YYYY-MM-DD, local) or time on."),
                                   QStringLiteral("DATE"));
    cmd.addOption(model);
    cmd.addOption(since);
    const RegistryOptions options;
    options.addTo(cmd);
    if (!cmd.parse(arguments, 0, 0))
        return kExitUsage;
    QDateTime from;
    if (cmd.parser.isSet(since) && !parseSince(cmd.parser.value(since), &from))
        return cmd.usageError(QStringLiteral("--since takes YYYY-MM-DD, not '%1'").arg(cmd.parser.value(since)));
    const auto recorder = options.recorder(cmd.parser);
    int code = kExitOk;
    Registry *registry = openRegistry("list", recorder.get(), &code);
    if (!registry)
        return code;
    if (cmd.parser.isSet(model) || cmd.parser.isSet(since)) {
        for (const IssuedId &id : registry->list(cmd.parser.value(model), from))
            printLine(issueLine(id));
        return kExitOk;
    }
    const QVector<SeriesSummary> rows = registry->summary();
    printLine(QStringLiteral("%1 %2 %3 %4 %5 %6").arg(QStringLiteral("model"), -10).arg(QStringLiteral("period"), -14)
                  .arg(QStringLiteral("issued"), 7).arg(QStringLiteral("reserved"), 9).arg(QStringLiteral("next"), 5)
                  .arg(QStringLiteral("last issue")));
    const SeriesSummary *newest = nullptr;
    for (const SeriesSummary &r : rows) {
        const bool weeks = r.scheme == QLatin1String("new");
        const int last = weeks ? 8191 : 4095;
        printLine(QStringLiteral("%1 %2 %3 %4 %5 %6")
                      .arg(r.model, -10)
                      .arg(QStringLiteral("%1 %2 %3").arg(r.year, 2, 10, QLatin1Char('0'))
                               .arg(weeks ? QStringLiteral("week") : QStringLiteral("month"))
                               .arg(r.period, 2, 10, QLatin1Char('0')),
                           -14)
                      .arg(r.written, 7)
                      .arg(r.reserved, 9)
                      .arg(r.lastSerial >= last ? QStringLiteral("full") : QString::number(r.lastSerial + 1), 5)
                      .arg(registryTime(r.lastTime)));
        if (!newest || r.lastTime > newest->lastTime)
            newest = &r;
    }
    if (newest) {
        // The last series: the IDs of that model and week issued within a minute of its newest one.
        QVector<IssuedId> last;
        for (const IssuedId &id : registry->list(newest->model, newest->lastTime.addSecs(-60)))
            if (id.year == newest->year && id.period == newest->period && id.scheme == newest->scheme)
                last << id;
        if (!last.isEmpty())
            printLine(QStringLiteral("last series: %1 %2..%3 (%4 IDs) on %5, %6")
                          .arg(newest->model, last.constFirst().serialText, last.constLast().serialText)
                          .arg(last.size())
                          .arg(last.constLast().bench, registryTime(newest->lastTime)));
    } else {
        printLine(QStringLiteral("no device ID issued yet"));
    }
    printLine(QStringLiteral("spooled records waiting for this registry: %1 (%2)")
                  .arg(recorder->spool().pending(recorder->url()))
                  .arg(recorder->spool().path()));
    return kExitOk;
}

int exportCsv(const QStringList &arguments)
{
    Command cmd(QStringLiteral("registry export"),
                QStringLiteral("Writes every issued device ID (or those of one model) as CSV that \"zrtool registry "
                               "import\" reads back. A cell that a spreadsheet would run as a formula (starting with "
                               "=, +, -, @, a tab or a carriage return) is written with a leading apostrophe, as "
                               "spreadsheets expect; a leading apostrophe is doubled; import takes one off again."));
    const QCommandLineOption csv(QStringLiteral("csv"), QStringLiteral("The CSV file to write (- for stdout)."),
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
    Registry *registry = openRegistry("export", recorder.get(), &code);
    if (!registry)
        return code;
    const QVector<IssuedId> ids = registry->list(cmd.parser.value(model), QDateTime());
    const QByteArray bytes = issuedToCsv(ids);
    if (cmd.parser.value(csv) == QLatin1String("-")) {
        if (fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size()) || fflush(stdout) != 0) {
            fprintf(stderr, "zrtool registry export: cannot write to stdout\n");
            return kExitOutput;
        }
        return kExitOk;
    }
    QString problem;
    if (!writeFile(cmd.parser.value(csv), bytes, &problem))
        return fileError(kExitOutput, cmd.parser.value(csv), problem);
    printLine(QStringLiteral("%1 device IDs: %2").arg(ids.size()).arg(cmd.parser.value(csv)));
    return kExitOk;
}

int importCsv(const QStringList &arguments)
{
    Command cmd(QStringLiteral("registry import"),
                QStringLiteral("Seeds the registry from a CSV file of issued device IDs (a header line naming at "
                               "least device_id and model; the columns of \"zrtool registry export\"). Every field is "
                               "checked: the device ID must carry the model's RDM identifier and agree with scheme, "
                               "year, week (month), serial and serial text where they are given; numbers must be "
                               "numbers; fields are bounded in size. Lines that fail, whose ID is issued already, or "
                               "that repeat an earlier line are refused with their line number; the others are "
                               "imported. Exit 2 when any line was refused."));
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
    if (!recorder)
        return kExitUsage;
    const CsvRows parsed = issuedFromCsv(bytes, recorder->bench());
    int code = kExitOk;
    Registry *registry = openRegistry("import", recorder.get(), &code);
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

int spool(const QStringList &arguments)
{
    Command cmd(QStringLiteral("registry spool"),
                QStringLiteral("Lists the records waiting in the local spool (records that could not reach their "
                               "registry): kind, time, device ID, model, file, registry. --flush writes those of the "
                               "registry (--registry or the default) into it now; each record is written once, "
                               "whoever flushes."));
    const QCommandLineOption flush(QStringLiteral("flush"), QStringLiteral("Write the records into the registry."));
    cmd.addOption(flush);
    const RegistryOptions options;
    options.addTo(cmd);
    if (!cmd.parse(arguments, 0, 0))
        return kExitUsage;
    const auto recorder = options.recorder(cmd.parser);
    if (!recorder)
        return kExitUsage;
    if (cmd.parser.isSet(flush)) {
        const int before = recorder->spool().pending(recorder->url());
        int code = kExitOk;
        // Opening the registry writes the spool into it.
        if (!openRegistry("spool", recorder.get(), &code))
            return code;
        const int after = recorder->spool().pending(recorder->url());
        printLine(QStringLiteral("%1 records written into %2, %3 left")
                      .arg(before - after)
                      .arg(recorder->shownUrl())
                      .arg(after));
        if (after > 0)
            return kExitRegistry;
    }
    const QVector<RegistrySpool::Entry> entries = recorder->spool().entries();
    for (const RegistrySpool::Entry &e : entries)
        printLine(QStringLiteral("%1 %2 %3 %4 %5 -> %6")
                      .arg(e.kind, registryTime(e.time), idHex(e.deviceId), e.model, e.detail, maskedRegistryUrl(e.registry)));
    if (!cmd.parser.isSet(flush))
        printLine(QStringLiteral("%1 records in %2").arg(entries.size()).arg(recorder->spool().path()));
    return kExitOk;
}

} // namespace

int runRegistry(const QStringList &arguments)
{
    const QList<SubCommand> commands = {
        {"show", "the issue record of a device ID and its upgrade history", show},
        {"list", "an overview per model and week, or the issued device IDs of a model", list},
        {"export", "issued device IDs to CSV", exportCsv},
        {"import", "issued device IDs from CSV (duplicates refused)", importCsv},
        {"spool", "the records waiting in the local spool (--flush writes them)", spool},
    };
    return dispatch(QStringLiteral("zrtool registry"), commands, arguments);
}
