// zrtool boot: a series of production boot images through the builder the catalogue names for the model.
#include <QFileInfo>
#include <cstdio>
#include <limits>

#include "core/files.h"
#include "builders/bootimage.h"
#include "builders/catalogue.h"
#include "builders/hextobin.h"
#include "builders/modelpaths.h"
#include "builders/upgradefile.h"
#include "zrtool/cli.h"
#ifdef ZRTOOL_FULL
#include "registry/issueseries.h"
#endif
#include "zrtool/registryoptions.h"

namespace {

// A two-digit choice of the window's production dialogs ("26", "05"), given as a number.
bool pickItem(const QString &text, const QStringList &items, int *value)
{
    quint32 n = 0;
    if (!parseNumber(text, &n, 99) || !items.contains(QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'))))
        return false;
    *value = int(n);
    return true;
}

} // namespace

int runBoot(const QStringList &arguments)
{
    Command cmd(QStringLiteral("boot"),
                QStringLiteral("Builds one boot image per serial number FIRST..FIRST+COUNT-1 with the builder the "
                               "catalogue names for the model: the same images and file names as the window's "
                               "\"BootBin\" entries. Images go to ./<model> unless --out is given. Every image is "
                               "recorded in the production registry; a series that would reuse an issued device ID "
                               "is refused (exit 2, nothing written) unless --reissue. A registry that cannot be "
                               "reached or written stops the series before its first image (exit 7, nothing "
                               "written) unless --offline."));
    const QCommandLineOption model(QStringLiteral("model"), QStringLiteral("Model code."), QStringLiteral("CODE"));
    const QCommandLineOption bootloader(QStringLiteral("bootloader"),
                                        QStringLiteral("The bootloader: Intel HEX, or a .bin for the STM32F4xx and "
                                                       "STM32F070F6 family builders."),
                                        QStringLiteral("FILE"));
    const QCommandLineOption app(QStringLiteral("app"),
                                 QStringLiteral("Application binary (optional; required by the family builders; "
                                                "not taken by the 128 KiB builder)."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption params(QStringLiteral("params"),
                                    QStringLiteral("Parameter file of at most 128 bytes (the parameter-file models "
                                                   "only)."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption year(QStringLiteral("year"),
                                  QStringLiteral("Production year, two digits (new scheme 11-39, old scheme 00-14)."),
                                  QStringLiteral("YY"));
    const QCommandLineOption week(QStringLiteral("week"), QStringLiteral("Production week, 1-54 (new scheme)."),
                                  QStringLiteral("WW"));
    const QCommandLineOption oldScheme(QStringLiteral("old-scheme"),
                                       QStringLiteral("Old serial system: year, month, 12-bit serial (what the "
                                                      "window's \"Old serial system\" box selects)."));
    const QCommandLineOption month(QStringLiteral("month"), QStringLiteral("Production month, 1-12 (old scheme)."),
                                   QStringLiteral("MM"));
    const QCommandLineOption first(QStringLiteral("first"), QStringLiteral("First serial number."),
                                   QStringLiteral("N"));
    const QCommandLineOption count(QStringLiteral("count"), QStringLiteral("Number of images."), QStringLiteral("C"));
    const QCommandLineOption out(QStringLiteral("out"), QStringLiteral("Output directory (created when missing)."),
                                 QStringLiteral("DIR"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Print the lines the window would log in its message box, and the "
                                                    "diagnostic traces on stderr."));
    const QCommandLineOption next(QStringLiteral("next"),
                                  QStringLiteral("Take the next N free serial numbers of the model, year and week "
                                                 "(month) from the registry, instead of --first and --count."),
                                  QStringLiteral("N"));
    const QCommandLineOption reissue(QStringLiteral("reissue"),
                                     QStringLiteral("Write device IDs that were issued already, and record the "
                                                    "reissue."));
    const QCommandLineOption noRegistry(QStringLiteral("no-registry"),
                                        QStringLiteral("Record nothing and check nothing against the registry."));
    const QCommandLineOption offline(QStringLiteral("offline"),
                                     QStringLiteral("When the registry cannot be reached, write the series anyway, "
                                                    "unchecked, and keep its records in the local spool (see "
                                                    "\"zrtool registry spool\"); an ID issued elsewhere meanwhile "
                                                    "is then recorded as a reissue naming the earlier issue."));
    const RegistryOptions registryOptions;
    for (const QCommandLineOption &o : {model, bootloader, app, params, year, week, oldScheme, month, first, count, out,
                                        verbose, next, reissue, noRegistry, offline})
        cmd.addOption(o);
    registryOptions.addTo(cmd);
    if (!cmd.parse(arguments, 0, 0, {model, bootloader, year}))
        return kExitUsage;
    const auto &p = cmd.parser;
    if (p.isSet(next) == (p.isSet(first) || p.isSet(count)))
        return cmd.usageError(p.isSet(next) ? QStringLiteral("--next replaces --first and --count")
                                            : QStringLiteral("missing option --first and --count (or --next)"));
    if (!p.isSet(next) && !(p.isSet(first) && p.isSet(count)))
        return cmd.usageError(QStringLiteral("missing option --%1").arg(p.isSet(first) ? "count" : "first"));
    if (p.isSet(noRegistry) && (p.isSet(next) || p.isSet(reissue) || p.isSet(offline)))
        return cmd.usageError(QStringLiteral("--no-registry cannot take --next, --reissue or --offline"));
    if (p.isSet(next) && (p.isSet(reissue) || p.isSet(offline)))
        return cmd.usageError(QStringLiteral("--next takes free serial numbers: it needs the registry and takes "
                                             "neither --reissue nor --offline"));
#ifdef ZRTOOL_FULL
    std::unique_ptr<Recorder> recorder;
    if (!p.isSet(noRegistry) && !(recorder = registryOptions.recorder(p)))
        return kExitUsage;
#else
    if (!p.isSet(noRegistry))
        return runInFullProgram(arguments); // a series that records is the full program's
#endif

    // The model and its builder.
    const QString code = p.value(model);
    const CatalogueRow *row = findModel(code, false);
    if (!row)
        return cmd.usageError(QStringLiteral("unknown model '%1'").arg(code));
    const BootVariant *variant = bootVariant(builderSlotName(row->builder));
    if (!variant)
        return cmd.usageError(QStringLiteral("model %1 has no boot image (its builder patches firmware)").arg(code));
    BootInputs in;
    in.model = QLatin1String(row->code);
    in.rdmId = row->rdm;
    in.bootloaderPath = p.value(bootloader);
    in.applicationPath = p.value(app);
    in.parameterPath = p.value(params);
    if (p.isSet(app) && variant->application == ApplicationPlacement::None)
        return cmd.usageError(QStringLiteral("%1 images carry no application").arg(in.model));
    if (!p.isSet(app) && variant->application == ApplicationPlacement::Region)
        return cmd.usageError(QStringLiteral("%1 images need an application (--app)").arg(in.model));
    if (p.isSet(params) && !(variant->modelData && isParameterModel(in.model)))
        return cmd.usageError(QStringLiteral("%1 images carry no parameter file").arg(in.model));

    // Production data, checked against the choices the window offers.
    ProductionRun run;
    run.scheme = p.isSet(oldScheme) ? SerialScheme::Old : SerialScheme::New;
    if (run.scheme == SerialScheme::Old && !variant->schemeChoice)
        return cmd.usageError(QStringLiteral("%1 images use the new serial scheme only").arg(in.model));
    const QCommandLineOption &period = run.scheme == SerialScheme::New ? week : month;
    const QCommandLineOption &otherPeriod = run.scheme == SerialScheme::New ? month : week;
    if (p.isSet(otherPeriod))
        return cmd.usageError(run.scheme == SerialScheme::New
                                  ? QStringLiteral("--month needs --old-scheme")
                                  : QStringLiteral("--old-scheme takes --month, not --week"));
    if (!p.isSet(period))
        return cmd.usageError(QStringLiteral("missing option --%1").arg(period.names().constFirst()));
    if (!pickItem(p.value(year), yearItems(run.scheme), &run.year))
        return cmd.usageError(QStringLiteral("--year must be one of %1..%2, not '%3'")
                                  .arg(yearItems(run.scheme).constFirst(), yearItems(run.scheme).constLast(),
                                       p.value(year)));
    if (!pickItem(p.value(period), periodItems(run.scheme), &run.period))
        return cmd.usageError(QStringLiteral("--%1 must be one of %2..%3, not '%4'")
                                  .arg(period.names().constFirst(), periodItems(run.scheme).constFirst(),
                                       periodItems(run.scheme).constLast(), p.value(period)));
    const quint32 last = quint32(maxSerial(run.scheme));
    quint32 firstSerial = 0, images = 0;
    if (p.isSet(next)) {
        // The first serial is read from the registry when the series is reserved.
        if (!parseNumber(p.value(next), &images, last + 1) || images == 0)
            return cmd.usageError(QStringLiteral("--next must be from 1 to %1").arg(last + 1));
    } else if (!parseNumber(p.value(first), &firstSerial, last)) {
        return cmd.usageError(QStringLiteral("--first must be a serial number from 0 to %1").arg(last));
    }
    if (!p.isSet(next) && (!parseNumber(p.value(count), &images, last + 1 - firstSerial) || images == 0))
        return cmd.usageError(QStringLiteral("--count must be from 1 to %1 (serial numbers end at %2)")
                                  .arg(last + 1 - firstSerial)
                                  .arg(last));
    run.firstSerial = int(firstSerial);
    run.count = int(images);
    run.outputDirectory = p.value(out);

    // Inputs that are no files, or larger than an image (or a parameter block) can hold, are refused unread.
    for (const QString &path : {in.bootloaderPath, in.applicationPath, in.parameterPath}) {
        if (path.isEmpty())
            continue;
        const bool hex = path == in.bootloaderPath && variant->source == BootloaderSource::Hex;
        if (path == in.parameterPath && QFileInfo(path).isFile() && QFileInfo(path).size() > kParameterBlockSize)
            return fileError(kExitInput, path, QStringLiteral("%1 bytes, a parameter block holds at most %2")
                                                   .arg(QFileInfo(path).size())
                                                   .arg(kParameterBlockSize));
        QString problem;
        if (!checkInputFile(path, hex ? std::numeric_limits<qint64>::max() : qint64(largestImageSize()), &problem))
            return fileError(kExitInput, path, problem);
    }

    // Inputs, read once for the whole series.
    const bool verboseLog = p.isSet(verbose);
    const LogFn log = [verboseLog](const QString &line) {
        if (verboseLog)
            printLine(line);
    };
    const PreparedBoot prepared = prepareBootImage(*variant, in, log);
    switch (prepared.status) {
    case PreparedBoot::Ok:
        break;
    case PreparedBoot::HexError:
        return fileError(kExitInput, prepared.failedPath, hexToBinProblem(prepared.failedPath, prepared.hexCode));
    default:
        return fileError(kExitInput, prepared.failedPath, QStringLiteral("cannot read (%1)").arg(prepared.failedReason));
    }
    if (variant->source == BootloaderSource::Hex && prepared.hexBytes == 0)
        return fileError(kExitInput, in.bootloaderPath,
                         emptyWindowProblem(UpgradeLayout::kFlashBase,
                                            UpgradeLayout::kFlashBase + variant->imageSize - 1));
    // The window would build the series without the block and only log the size; a script would never notice.
    if (prepared.hasParameters && prepared.parameters.size() > kParameterBlockSize)
        return fileError(kExitInput, in.parameterPath,
                         QStringLiteral("%1 bytes, a parameter block holds at most %2")
                             .arg(prepared.parameters.size())
                             .arg(kParameterBlockSize));

    SeriesObserver observer;
#ifdef ZRTOOL_FULL
    // The IDs are reserved before the first image, so two benches never both write one of them.
    std::unique_ptr<IssueSeries> issue;
    const auto printNotice = [&recorder] {
        const QString notice = recorder ? recorder->takeNotice() : QString();
        for (const QString &line : notice.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            fprintf(stderr, "zrtool boot: %s\n", qPrintable(line));
    };
    if (recorder) {
        issue = std::make_unique<IssueSeries>(*recorder, in, run);
        const IssueSeries::Check check = p.isSet(next) ? issue->reserveNext(run.count) : issue->reserve(p.isSet(reissue));
        switch (check) {
        case IssueSeries::Check::Reserved:
            run.firstSerial = issue->firstSerial();
            break;
        case IssueSeries::Check::Reused:
            if (p.isSet(next)) {
                fprintf(stderr, "zrtool boot: other benches kept taking the next %d serial numbers of %s; nothing "
                                "written, try again\n",
                        run.count, qPrintable(in.model));
            } else {
                fprintf(stderr, "zrtool boot: serial numbers %s were already issued (%s); nothing written: --next %d "
                                "takes the next free ones (--reissue writes these again, on purpose)\n",
                        qPrintable(issue->collisionRange()), qPrintable(issue->collisionDates()), run.count);
            }
            return kExitInput;
        case IssueSeries::Check::Busy:
            fprintf(stderr, "zrtool boot: serial numbers %s are being written by another bench right now; nothing "
                            "written\n",
                    qPrintable(issue->collisionRange()));
            return kExitInput;
        case IssueSeries::Check::PastEnd:
            fprintf(stderr, "zrtool boot: %s %s: %d serial numbers from %d run past the last one, %u\n",
                    qPrintable(in.model), qPrintable(serialString(run.year, run.period, issue->firstSerial())),
                    run.count, issue->firstSerial(), last);
            return kExitInput;
        case IssueSeries::Check::Unrecorded: {
            QString why;
            if (!p.isSet(offline) || p.isSet(next)) {
                fprintf(stderr, "zrtool boot: the production registry %s cannot be reached (%s); nothing written%s\n",
                        qPrintable(recorder->shownUrl()), qPrintable(issue->problem()),
                        p.isSet(next) ? "" : " (--offline writes the series unchecked and spools its records)");
                return kExitRegistry;
            }
            if (!recorder->spool().writable(&why)) {
                fprintf(stderr, "zrtool boot: the production registry %s cannot be reached (%s) and its spool cannot "
                                "be written (%s); nothing written\n",
                        qPrintable(recorder->shownUrl()), qPrintable(issue->problem()), qPrintable(why));
                return kExitRegistry;
            }
            break; // the recorder says where the records wait once the first one is spooled
        }
        }
        printNotice();
        observer = issue->observer();
    }
#endif

    // The first failure ends the run; the images written before it stay (and are recorded).
    SeriesWrite series;
    {
        ProgressBar bar(QStringLiteral("zrtool boot %1").arg(in.model), run.count);
        series = writeBootSeries(*variant, in, prepared, run, log, true, [&bar](int done) { bar.setValue(done); },
                                 observer);
    } // the bar's line ends before an error is printed
#ifdef ZRTOOL_FULL
    bool recorded = true;
    if (issue) {
        recorded = issue->finish();
        printNotice();
    }
#endif
    if (!series.failedPath.isEmpty())
        return fileError(kExitOutput, series.failedPath, series.error.startsWith(QLatin1String("cannot"))
                                                                     ? series.error
                                                                     : QStringLiteral("cannot write (%1)").arg(series.error));
#ifdef ZRTOOL_FULL
    if (!recorded)
        return kExitRegistry; // the images are there, their records are not: said above
#endif
    const QString firstPath = bootImagePath(in, prepared, run, run.firstSerial);
    printLine(run.count == 1 ? firstPath
                             : QStringLiteral("%1 images: %2 .. %3")
                                   .arg(run.count)
                                   .arg(firstPath, bootImagePath(in, prepared, run, run.firstSerial + run.count - 1)));
    return kExitOk;
}
