// zrtool upg create / inspect / extract: upgrade files through the same writer and reader as the window.
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <algorithm>

#include "core/files.h"
#include "boot/upgradefamily.h"
#include "builders/catalogue.h"
#include "builders/hextobin.h"
#include "builders/upgradefile.h"
#include "builders/upgradewriter.h"
#include "zrtool/cli.h"

namespace {

const QString kHeaderSuffix = upgradeFileHeader(QString());

QCommandLineOption familyOption(const QString &what)
{
    return QCommandLineOption(QStringLiteral("family"),
                              what + QStringLiteral(" One of: ") + familyNameList() + QLatin1Char('.'),
                              QStringLiteral("NAME"));
}

// --family NAME (a procedure or a layout name, as `zrtool upgrade --family` takes), checked; false with a usage
// error printed when the name is unknown.
bool layoutOption(const Command &cmd, const QCommandLineOption &option, const UpgradeLayout **layout)
{
    *layout = nullptr;
    if (!cmd.parser.isSet(option))
        return true;
    const UpgradeFamily *family = familyByName(cmd.parser.value(option));
    if (!family) {
        cmd.usageError(QStringLiteral("unknown family '%1' (one of %2)").arg(cmd.parser.value(option), familyNameList()));
        return false;
    }
    *layout = &familyLayout(*family);
    return true;
}

// A descriptor name as a person reads it: the name, or what stands there instead.
QString descriptorText(const QByteArray &name)
{
    if (name.isEmpty())
        return QStringLiteral("no model (blank)");
    return printableDescriptorName(name) ? QString::fromLatin1(name) : QStringLiteral("no model (not text)");
}

// The layout the catalogue's writer uses for a model; null for a model without one.
const UpgradeLayout *catalogueLayout(const QString &model)
{
    const CatalogueRow *row = findModel(model, true);
    const char *family = row ? writerFamily(row->writer) : nullptr;
    return family ? upgradeLayout(QLatin1String(family)) : nullptr;
}

// What an upgrade file holds and whether the upgrade procedures would take it.
struct Inspection
{
    UpgradeFile file;
    QString model;                         // from the header; empty when the header is not of the written form
    const UpgradeLayout *layout = nullptr;
    QString layoutFrom;                    // how the layout was found
    QByteArray plain;                      // the decoded image; empty when the stored one is too short
    quint16 stored = 0;
    quint16 computed = 0;
    bool coversDescriptor = false;
    QByteArray descriptorName; // the model code the image writes into the device descriptor
    QStringList problems;

    bool crcOk() const { return !plain.isEmpty() && stored == computed; }
};

void checkCrc(Inspection &r)
{
    r.plain = decodedImage(r.file.image, r.layout->imageSize);
    if (r.plain.isEmpty())
        return;
    r.stored = storedImageCrc(r.plain, *r.layout);
    r.computed = computedImageCrc(r.plain, *r.layout);
}

// The layout is the one named on the command line, else the one the catalogue's writer uses for the model, else
// the one whose image size the file has (and, where two share a size, whose CRC matches).
Inspection inspectFile(const QString &path, const UpgradeLayout *forced)
{
    Inspection r;
    r.file = readUpgradeFile(path);
    if (r.file.header.endsWith(kHeaderSuffix) && r.file.header.size() > kHeaderSuffix.size())
        r.model = r.file.header.left(r.file.header.size() - kHeaderSuffix.size());
    else
        r.problems << QStringLiteral("the header is not '<model>%1'").arg(kHeaderSuffix);
    if (r.file.version != kUpgradeFileVersion)
        r.problems << QStringLiteral("the version is '%1', the upgrade procedures accept '%2' only")
                          .arg(r.file.version, kUpgradeFileVersion);

    if (forced) {
        r.layout = forced;
        r.layoutFrom = QStringLiteral("--family");
    } else if ((r.layout = catalogueLayout(r.model))) {
        r.layoutFrom = QStringLiteral("catalogue, model %1").arg(r.model);
    } else {
        // By image size. Of layouts of the same size, the one that sealed the image has a matching CRC and a blank
        // bootloader area. The CRC (initial value 0) does not see leading zeros, so an image whose application
        // lies behind a larger blank area matches the smaller layout too: the larger blank area is the layout's.
        QVector<const UpgradeLayout *> sized, sealed;
        for (const UpgradeLayout &l : upgradeLayouts()) {
            if (quint32(r.file.image.size()) != l.imageSize)
                continue;
            sized << &l;
            Inspection candidate = r;
            candidate.layout = &l;
            checkCrc(candidate);
            if (candidate.crcOk() && candidate.plain.left(int(l.appOffset)).count('\0') == int(l.appOffset))
                sealed << &l;
        }
        const auto byBlankArea = [](const UpgradeLayout *a, const UpgradeLayout *b) {
            return a->appOffset < b->appOffset;
        };
        r.layout = sized.size() == 1 ? sized.first()
            : sealed.isEmpty()       ? nullptr
                                     : *std::max_element(sealed.begin(), sealed.end(), byBlankArea);
        if (!r.layout) {
            r.problems << (sized.isEmpty()
                               ? QStringLiteral("no family layout has an image of %1 bytes").arg(r.file.image.size())
                               : QStringLiteral("the image size fits several layouts; name one with --family"));
            return r;
        }
        r.layoutFrom = QStringLiteral("image size");
    }
    checkCrc(r);
    r.descriptorName = imageDescriptorName(r.plain, r.layout->appOffset, &r.coversDescriptor);
    if (r.coversDescriptor && r.descriptorName != r.model.toLatin1())
        r.problems << QStringLiteral("the device descriptor at %1 names %2, not %3")
                          .arg(hex(DESCRIPTOR_ADDRESS, 8), descriptorText(r.descriptorName),
                               r.model.isEmpty() ? QStringLiteral("the header's model") : r.model);
    if (r.plain.isEmpty())
        r.problems << QStringLiteral("the image holds %1 bytes, the %2 layout needs %3")
                          .arg(r.file.image.size())
                          .arg(QLatin1String(r.layout->family))
                          .arg(r.layout->imageSize);
    else if (r.stored != r.computed)
        r.problems << QStringLiteral("CRC-16 BAD: stored %1, computed %2").arg(hex(r.stored, 4), hex(r.computed, 4));
    // A writer fed a HEX file without application data seals an all-zero region, whose CRC matches too.
    else if (r.plain.mid(int(r.layout->appOffset), int(r.layout->crcOffset() - r.layout->appOffset)).count('\0')
             == int(r.layout->crcOffset() - r.layout->appOffset))
        r.problems << QStringLiteral("the application region %1..%2 holds no data (all zero)")
                          .arg(hex(r.layout->appFirstAddress(), 8),
                               hex(UpgradeLayout::kFlashBase + r.layout->crcOffset() - 1, 8));
    return r;
}

// A file that cannot be opened at all; false with the error printed.
bool openable(const QString &path)
{
    QString refused;
    if (!checkInputFile(path, maxUpgradeFileSize(), &refused)) {
        fileError(kExitInput, path, refused);
        return false;
    }
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        return true;
    fileError(kExitInput, path, QStringLiteral("cannot open (%1)").arg(file.errorString()));
    return false;
}

int runCreate(const QStringList &arguments)
{
    Command cmd(QStringLiteral("upg create"),
                QStringLiteral("Builds the upgrade file (.upg) of a model from its application in Intel HEX, and "
                               "beside it the plain application binary (<name>_app.bin), exactly as the window's "
                               "\"Create Upgrade\" entries do. Nothing is written when the HEX file has an error."));
    cmd.addArgument(QStringLiteral("IN.hex"), QStringLiteral("The application in Intel HEX."));
    const QCommandLineOption model(QStringLiteral("model"),
                                   QStringLiteral("Model code; the catalogue names its family writer."),
                                   QStringLiteral("CODE"));
    const QCommandLineOption family = familyOption(QStringLiteral("Family layout, for a model the catalogue does "
                                                                  "not name (or to override it)."));
    const QCommandLineOption output = Command::outputOption(QStringLiteral("Upgrade file to write (\".upg\" is "
                                                                           "appended when the name lacks it)."),
                                                            QStringLiteral("OUT.upg"));
    const QCommandLineOption crop(QStringLiteral("crop"),
                                  QStringLiteral("Cut off HEX data outside the layout's application window, as the "
                                                 "window's entries do (default: refuse such a file, exit 2)."));
    const QCommandLineOption force(QStringLiteral("force"),
                                   QStringLiteral("Write a layout that covers the device descriptor (0x08001FC0, "
                                                  "STM32F070F6) even when the HEX file does not name the model "
                                                  "there (default: refuse, exit 2: the device would report an "
                                                  "unknown model after the upgrade)."));
    for (const QCommandLineOption &o : {model, family, output, crop, force})
        cmd.addOption(o);
    if (!cmd.parse(arguments, 1, 1, {model, output}))
        return kExitUsage;

    const UpgradeLayout *layout = nullptr;
    if (!layoutOption(cmd, family, &layout))
        return kExitUsage;
    QString code = cmd.parser.value(model);
    if (!layout) {
        const CatalogueRow *row = findModel(code, true);
        if (!row)
            return cmd.usageError(QStringLiteral("unknown model '%1' (or name its family with --family)").arg(code));
        if (!writerFamily(row->writer))
            return cmd.usageError(QStringLiteral("model %1 has no upgrade file").arg(code));
        code = QLatin1String(row->code); // the code the window's entry hands to the writer
        layout = catalogueLayout(code);
    } else if (code.isEmpty()) {
        return cmd.usageError(QStringLiteral("--model needs a model code"));
    }

    const QString in = cmd.arguments().at(0);
    // A device or FIFO named on purpose keeps its name.
    const QFileInfo target(cmd.parser.value(output));
    const QString out = target.exists() && !target.isFile() && !target.isDir() ? target.filePath()
                                                                                 : upgradeFilePath(target.filePath());
    UpgradeChecks checks;
    checks.refuseOutside = !cmd.parser.isSet(crop);
    checks.checkDescriptor = !cmd.parser.isSet(force);
    const UpgradeRunResult result =
            createUpgradeFiles(in, *layout, code, QLatin1String(kCatalogueUpgradeVersion), out, checks);
    if (result.hexCode != kHexOk)
        return fileError(kExitInput, in, hexToBinProblem(in, result.hexCode));
    if (result.hexBytes == 0)
        return fileError(kExitInput, in, emptyWindowProblem(layout->appFirstAddress(), layout->appLastAddress()));
    if (result.refusal == UpgradeRunResult::Refusal::Outside)
        return fileError(kExitInput, in,
                         QStringLiteral("%1 bytes of data at %2..%3, outside the %4 window %5..%6 (nothing written; "
                                        "--crop cuts them off)")
                                 .arg(result.outside.bytes)
                                 .arg(hex(result.outside.lowest, 8), hex(result.outside.highest, 8),
                                      QLatin1String(layout->family), hex(layout->appFirstAddress(), 8),
                                      hex(layout->appLastAddress(), 8)));
    if (result.refusal == UpgradeRunResult::Refusal::Descriptor)
        return fileError(kExitInput, in,
                         QStringLiteral("the device descriptor at %1 names %2, not %3: the device would be an "
                                        "unknown device after the upgrade (nothing written; --force writes it)")
                                 .arg(hex(DESCRIPTOR_ADDRESS, 8), descriptorText(result.descriptorName), code));
    if (!result.failedFiles.isEmpty()) // one line, naming the first file; neither file was left
        return fileError(kExitOutput, result.failedFiles.constFirst(),
                         result.error.startsWith(QLatin1String("cannot"))
                             ? result.error
                             : QStringLiteral("cannot write (%1); neither %2 nor %3 was written")
                                   .arg(result.error, companionPath(out), out));
    printLine(out);
    printLine(companionPath(out));
    return kExitOk;
}

int runInspect(const QStringList &arguments)
{
    Command cmd(QStringLiteral("upg inspect"),
                QStringLiteral("Shows the header, model, version, image size, family layout, application window and "
                               "the stored and computed CRC-16 of an upgrade file. Exit status 0 only when the "
                               "upgrade procedures would accept the file and its CRC matches, else 2."));
    cmd.addArgument(QStringLiteral("FILE.upg"), QStringLiteral("Upgrade file."));
    const QCommandLineOption json = Command::jsonOption();
    const QCommandLineOption family = familyOption(QStringLiteral("Family layout to check against."));
    cmd.addOption(json);
    cmd.addOption(family);
    const UpgradeLayout *forced = nullptr;
    if (!cmd.parse(arguments, 1, 1) || !layoutOption(cmd, family, &forced))
        return kExitUsage;

    const QString path = cmd.arguments().at(0);
    if (!openable(path))
        return kExitInput;
    const Inspection r = inspectFile(path, forced);
    const bool ok = r.problems.isEmpty();
    const UpgradeLayout *l = r.layout;
    const quint32 base = UpgradeLayout::kFlashBase;

    if (cmd.parser.isSet(json)) {
        QJsonObject o{{"file", path},
                      {"header", r.file.header},
                      {"model", r.model},
                      {"version", r.file.version},
                      {"imageSize", r.file.image.size()},
                      {"layout", l ? QJsonValue(QLatin1String(l->family)) : QJsonValue()},
                      {"result", ok ? "OK" : "BAD"},
                      {"problems", QJsonArray::fromStringList(r.problems)}};
        // Addresses and CRCs as hexadecimal text, as every command prints them; sizes as numbers.
        if (l) {
            o.insert("layoutFrom", r.layoutFrom);
            o.insert("layoutImageSize", qint64(l->imageSize));
            o.insert("applicationFirst", hex(l->appFirstAddress(), 8));
            o.insert("applicationLast", hex(base + l->crcOffset() - 1, 8));
            o.insert("crcAddress", hex(base + l->crcOffset(), 8));
        }
        if (r.coversDescriptor)
            o.insert("descriptorModel", descriptorText(r.descriptorName));
        if (!r.plain.isEmpty()) {
            o.insert("imageCrc", hex(r.stored, 4)); // the CRC-16 stored in the image, as "upgrade" and the registry
            o.insert("imageCrcComputed", hex(r.computed, 4));
            o.insert("crc", r.crcOk() ? "OK" : "BAD");
        }
        printJson(o);
    } else {
        const auto row = [](const char *name, const QString &value) {
            printLine(QString::fromLatin1(name).leftJustified(13) + value);
        };
        row("File:", path);
        row("Header:", r.file.header);
        row("Model:", r.model);
        row("Version:", r.file.version);
        row("Image size:", QStringLiteral("%1 bytes (%2)").arg(r.file.image.size()).arg(hex(r.file.image.size())));
        if (l) {
            row("Layout:", QStringLiteral("%1, image %2 bytes (%3), from the %4")
                               .arg(QLatin1String(l->family))
                               .arg(l->imageSize)
                               .arg(hex(l->imageSize), r.layoutFrom));
            row("Application:", QStringLiteral("%1..%2, CRC-16 at %3")
                                    .arg(hex(l->appFirstAddress(), 8), hex(base + l->crcOffset() - 1, 8),
                                         hex(base + l->crcOffset(), 8)));
        }
        if (r.coversDescriptor)
            row("Descriptor:", QStringLiteral("%1 (at %2)").arg(descriptorText(r.descriptorName), hex(DESCRIPTOR_ADDRESS, 8)));
        if (!r.plain.isEmpty())
            row("CRC-16:", QStringLiteral("stored %1, computed %2, %3")
                               .arg(hex(r.stored, 4), hex(r.computed, 4),
                                    r.crcOk() ? QStringLiteral("OK") : QStringLiteral("BAD")));
        row("Result:", ok ? QStringLiteral("OK") : QStringLiteral("BAD"));
    }
    if (!ok)
        return fileError(kExitInput, path, QStringLiteral("BAD: ") + r.problems.join(QLatin1String("; ")));
    return kExitOk;
}

int runExtract(const QStringList &arguments)
{
    Command cmd(QStringLiteral("upg extract"),
                QStringLiteral("Writes the decoded application region of an upgrade file (application and CRC-16, "
                               "the same bytes as the _app.bin written beside it)."));
    cmd.addArgument(QStringLiteral("FILE.upg"), QStringLiteral("Upgrade file."));
    const QCommandLineOption output = Command::outputOption(QStringLiteral("Binary file to write."),
                                                            QStringLiteral("app.bin"));
    const QCommandLineOption family = familyOption(QStringLiteral("Family layout of the file."));
    const QCommandLineOption ignoreCrc(QStringLiteral("ignore-crc"),
                                       QStringLiteral("Extract even when the stored CRC-16 does not match."));
    for (const QCommandLineOption &o : {output, family, ignoreCrc})
        cmd.addOption(o);
    const UpgradeLayout *forced = nullptr;
    if (!cmd.parse(arguments, 1, 1, {output}) || !layoutOption(cmd, family, &forced))
        return kExitUsage;

    const QString path = cmd.arguments().at(0);
    if (!openable(path))
        return kExitInput;
    const Inspection r = inspectFile(path, forced);
    if (!r.layout || r.plain.isEmpty())
        return fileError(kExitInput, path, r.problems.join(QLatin1String("; ")));
    if (!r.crcOk() && !cmd.parser.isSet(ignoreCrc))
        return fileError(kExitInput, path, QStringLiteral("CRC-16 BAD: stored %1, computed %2 (--ignore-crc extracts "
                                                          "it anyway)").arg(hex(r.stored, 4), hex(r.computed, 4)));
    const QString out = cmd.parser.value(output);
    const QByteArray application = r.plain.mid(int(r.layout->appOffset));
    QString problem;
    if (!writeFile(out, application, &problem))
        return fileError(kExitOutput, out, problem);
    printLine(QStringLiteral("%1: %2 bytes from %3")
                  .arg(out)
                  .arg(application.size())
                  .arg(hex(r.layout->appFirstAddress(), 8)));
    return kExitOk;
}

} // namespace

int runUpg(const QStringList &arguments)
{
    return dispatch(QStringLiteral("zrtool upg"),
                    {{"create", "build a .upg and its _app.bin from Intel HEX", runCreate},
                     {"inspect", "check an upgrade file (header, layout, CRC-16)", runInspect},
                     {"extract", "write the decoded application region", runExtract}},
                    arguments);
}
