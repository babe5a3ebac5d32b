// Production boot images: the production word, names, and one engine for the main builder and its variants.
#include "builders/bootimage.h"

#include <QCoreApplication>
#include <QDir>
#include <QSet>
#include <QStringBuilder>
#include <cstdio>
#include <cstring>

#include "core/files.h"
#include "builders/hextobin.h"
#include "builders/modelpaths.h"
#include "builders/upgradefile.h"
#include "link/codec.h"

namespace {

// Main builder: the device descriptor's model field and the parameter block inside the 8 KiB boot area.
constexpr int kModelFieldOffset = int(DESCRIPTOR_ADDRESS - FLASH_BASE);
constexpr int kModelFieldSize = 16;
constexpr int kParameterBlockOffset = 0x1F40;
constexpr int kSerialTextSize = 16;

// New scheme: year - 11 must fit 5 bits, so years 11..39.
constexpr int kNewFirstYear = 11;
constexpr int kNewLastYear = 39;
constexpr int kOldLastYear = 14;
constexpr int kOldPreselectedYear = 13;
constexpr int kWeeks = 54;
constexpr int kMonths = 12;

QString tr(const char *text)
{
    return QCoreApplication::translate("Flasher", text);
}

QStringList twoDigitItems(int first, int last)
{
    QStringList items; // "00" .. "99", without QString::arg's locale look-ups
    items.reserve(last - first + 1);
    for (int i = first; i <= last; ++i) {
        const QChar digits[] = {QLatin1Char(char('0' + i / 10 % 10)), QLatin1Char(char('0' + i % 10))};
        items << QString(digits, 2);
    }
    return items;
}

} // namespace

quint32 productionWord(SerialScheme scheme, quint8 rdmId, int year, int period, int serial)
{
    const quint32 rdm = quint32(rdmId) << 24;
    if (scheme == SerialScheme::New)
        return rdm | (quint32(year - kNewFirstYear) & 0x1F) << 19 | (quint32(period) & 0x3F) << 13
            | (quint32(serial) & 0x1FFF);
    const quint32 bcdYear = quint32(year / 10) << 4 | quint32(year % 10);
    return rdm | bcdYear << 16 | (quint32(period) & 0xF) << 12 | (quint32(serial) & 0xFFF);
}

QString serialString(int year, int period, int serial)
{
    // Plain digits: a series formats this twice per image, and QString::arg() consults the locale each time.
    if (year >= 0 && year < 100 && period >= 0 && period < 100 && serial >= 0 && serial < 10000) {
        QString text(8, QLatin1Char('0'));
        QChar *digit = text.data();
        const auto put = [&digit](int value, int width) {
            for (int k = width - 1; k >= 0; --k, value /= 10)
                digit[k] = QLatin1Char(char('0' + value % 10));
            digit += width;
        };
        put(year, 2);
        put(period, 2);
        put(serial, 4);
        return text;
    }
    char text[40];
    const int size = std::snprintf(text, sizeof text, "%02d%02d%04d", year, period, serial);
    return QString::fromLatin1(text, size);
}

int maxSerial(SerialScheme scheme)
{
    return scheme == SerialScheme::New ? 8191 : 4095;
}

QStringList yearItems(SerialScheme scheme)
{
    return scheme == SerialScheme::New ? twoDigitItems(kNewFirstYear, kNewLastYear) : twoDigitItems(0, kOldLastYear);
}

int yearPreselection(SerialScheme scheme, const QDate &today)
{
    if (scheme == SerialScheme::Old)
        return kOldPreselectedYear;
    return qBound(0, today.year() % 100 - kNewFirstYear, kNewLastYear - kNewFirstYear);
}

QStringList periodItems(SerialScheme scheme)
{
    return twoDigitItems(1, scheme == SerialScheme::New ? kWeeks : kMonths);
}

int periodPreselection(SerialScheme scheme, const QDate &today)
{
    return (scheme == SerialScheme::New ? today.weekNumber() : today.month()) - 1;
}

QString versionSuffix(const QString &applicationPath)
{
    const QString name = fileNameOf(applicationPath);
    const int v = name.indexOf(QLatin1String("_v"));
    if (applicationPath.isEmpty() || v < 0)
        return QString();
    const QString tail = name.mid(v);
    const int app = tail.lastIndexOf(QLatin1String("_app"));
    return app < 0 ? tail : tail.left(app);
}

QString parameterSuffix(const QString &parameterPath)
{
    if (parameterPath.isEmpty())
        return QString();
    const QString name = fileNameOf(parameterPath);
    const int txt = name.lastIndexOf(QLatin1String(".txt"));
    return QLatin1Char('_') + (txt < 0 ? name : name.left(txt));
}

namespace {
// Asked once per image of a series: plain names compared in place, no list of strings to build or search.
template <size_t N>
bool isOneOf(const QString &model, const char *const (&models)[N])
{
    for (const char *name : models) {
        const QLatin1String candidate(name);
        if (model.size() == candidate.size() && model == candidate)
            return true;
    }
    return false;
}
} // namespace

bool isParameterModel(const QString &model)
{
    static const char *const models[] = {"Zr525", "Zr524", "Zr509", "Zr679", "Zr499", "Zr586", "Zr439", "Zr566"};
    return isOneOf(model, models);
}

bool hasModelField(const QString &model)
{
    static const char *const models[] = {"Zr535",      "Zr647", "Zr517", "Zr433", "Zr647_MONO", "Zr517_MONO",
                                         "Zr433_MONO", "Zr487", "Zr409", "Zr564", "Zr407",      "Zr633"};
    return isOneOf(model, models) || isParameterModel(model);
}

const UpgradeLayout *BootVariant::layout() const
{
    return layoutFamily ? upgradeLayout(QLatin1String(layoutFamily)) : nullptr;
}

const BootVariant *bootVariant(const char *builder)
{
    using S = BootloaderSource;
    using A = ApplicationPlacement;
    // clang-format off
    static const BootVariant variants[] = {
        // builder slot                      image     boot    application  app layout     word     serial   scheme  version model  log
        //                                                                                          text     choice  in name data   paths
        {"slotCreateBootBinZr",                 0x2000,  S::Hex, A::Appended, nullptr,       0x1FF0,  -1,      true,   true,   true,  true},
        {"slotCreateBootBinZr_103RC",           0x2000,  S::Hex, A::Appended, nullptr,       0x1FF0,  -1,      true,   true,   false, true},
        {"slotCreateBootBinZrSTM32G4",          0x4000,  S::Hex, A::Appended, nullptr,       0x3FF0,  -1,      true,   true,   false, true},
        {"slotCreateBootBinZr536_",             0x20000, S::Hex, A::None,     nullptr,       0x1FFC0, 0x1FFB0, true,   false,  false, false},
        {"slotCreateBootBinSTM32F4xx_family",   0x40000, S::Bin, A::Region,   "STM32F405RG", 0x1FFB0, -1,      false,  true,   false, true},
        {"slotCreateBootBinSTM32F070F6_family", 0x7800,  S::Bin, A::Region,   "STM32F070F6", 0x17F0,  -1,      false,  true,   false, true},
    };
    // clang-format on
    for (const BootVariant &v : variants)
        if (qstrcmp(v.builder, builder) == 0)
            return &v;
    return nullptr;
}

PreparedBoot prepareBootImage(const BootVariant &variant, const BootInputs &inputs, const LogFn &log)
{
    PreparedBoot p;
    const bool withApplication = variant.application != ApplicationPlacement::None
        && !inputs.applicationPath.isEmpty();
    const bool withParameters = variant.modelData && isParameterModel(inputs.model)
        && !inputs.parameterPath.isEmpty();

    if (withApplication && variant.versionInName)
        p.versionSuffix = versionSuffix(inputs.applicationPath);
    if (variant.modelData && !p.versionSuffix.isEmpty())
        log(p.versionSuffix);
    if (withParameters) {
        const QString name = fileNameOf(inputs.parameterPath);
        p.parameterSuffix = parameterSuffix(inputs.parameterPath);
        log(inputs.parameterPath);
        log(name);
        log(QLatin1Char('_') + name);
        log(p.parameterSuffix);
    }

    p.image = QByteArray(int(variant.imageSize), '\0');
    const UpgradeLayout *layout = variant.layout();
    if (variant.source == BootloaderSource::Hex) {
        const quint32 first = UpgradeLayout::kFlashBase;
        p.hexCode = HexToBin(inputs.bootloaderPath, reinterpret_cast<quint8 *>(p.image.data()), first,
                             first + variant.imageSize - 1, &p.hexBytes);
        if (p.hexCode != 0) {
            p.status = PreparedBoot::HexError;
            p.failedPath = inputs.bootloaderPath;
            return p;
        }
    } else {
        QByteArray bootloader;
        if (!layout || !readFileBytes(inputs.bootloaderPath, &bootloader, &p.failedReason, largestImageSize())) {
            p.status = PreparedBoot::UnreadableBootloader;
            p.failedPath = inputs.bootloaderPath;
            return p;
        }
        p.image.replace(0, qMin(bootloader.size(), int(layout->appOffset)),
                        bootloader.left(int(layout->appOffset)));
    }

    if (withApplication || variant.application == ApplicationPlacement::Region) {
        QByteArray application;
        if (!readFileBytes(inputs.applicationPath, &application, &p.failedReason, largestImageSize())) {
            p.status = PreparedBoot::UnreadableApplication;
            p.failedPath = inputs.applicationPath;
            return p;
        }
        if (variant.application == ApplicationPlacement::Appended) {
            p.application = application;
        } else {
            const int region = int(layout->imageSize - layout->appOffset);
            p.image.replace(int(layout->appOffset), qMin(application.size(), region), application.left(region));
            sealImage(p.image, *layout);
        }
    }

    if (withParameters) {
        if (!readFileBytes(inputs.parameterPath, &p.parameters, &p.failedReason, largestImageSize())) {
            p.status = PreparedBoot::UnreadableParameters;
            p.failedPath = inputs.parameterPath;
            return p;
        }
        p.hasParameters = true;
    }
    return p;
}

namespace {

// Which model data of the main builder the images of a model carry.
struct ModelData
{
    bool field = false;      // the model field
    bool parameters = false; // and the parameter block
};

ModelData modelData(const BootVariant &variant, const BootInputs &inputs)
{
    ModelData data;
    data.field = variant.modelData && hasModelField(inputs.model);
    data.parameters = data.field && isParameterModel(inputs.model);
    return data;
}

// The window's log lines of one image of the main builder.
void logModelData(const ModelData &data, const PreparedBoot &prepared, const LogFn &log)
{
    if (!data.field)
        return;
    if (data.parameters) {
        log(QStringLiteral("Seria lamp Zr525"));
        if (prepared.hasParameters)
            log(QStringLiteral("paramData size = %1").arg(prepared.parameters.size()));
    } else {
        log(QStringLiteral("zmiana danych bootloader'a"));
    }
}

// What every image of a series shares: the bootloader with the model field, the parameter block and the
// appended application. Only the production word and the serial text differ from one serial number to the next.
QByteArray seriesImage(const ModelData &data, const BootInputs &inputs, const PreparedBoot &prepared)
{
    QByteArray image = prepared.image;
    if (data.field) {
        if (data.parameters && prepared.hasParameters && prepared.parameters.size() <= kParameterBlockSize)
            image.replace(kParameterBlockOffset, prepared.parameters.size(), prepared.parameters);
        QByteArray field = inputs.model.toLatin1().left(kModelFieldSize);
        field.append(QByteArray(kModelFieldSize - field.size(), '\0'));
        image.replace(kModelFieldOffset, kModelFieldSize, field);
    }
    return image + prepared.application;
}

// Writes the serial number's production data over the series image, in place.
void stampSerial(QByteArray &image, const BootVariant &variant, const BootInputs &inputs, const ProductionRun &run,
                 int serial)
{
    putU32(image, int(variant.wordOffset), productionWord(run.scheme, inputs.rdmId, run.year, run.period, serial));
    if (variant.serialTextOffset >= 0) {
        char *text = image.data() + variant.serialTextOffset;
        const QString digits = serialString(run.year, run.period, serial);
        const int size = qMin(digits.size(), kSerialTextSize);
        for (int i = 0; i < size; ++i)
            text[i] = digits.at(i).toLatin1();
        std::memset(text + size, 0, size_t(kSerialTextSize - size));
    }
}

QString outputDirectory(const BootInputs &inputs, const ProductionRun &run)
{
    return run.outputDirectory.isEmpty() ? modelDirectory(inputs.model) : run.outputDirectory;
}

// The file names of a series: what comes before and after the serial text.
struct SeriesNames
{
    QString head;
    QString tail;
    QString path(const ProductionRun &run, int serial) const
    {
        return head % serialString(run.year, run.period, serial) % tail;
    }
};

SeriesNames seriesNames(const BootInputs &inputs, const PreparedBoot &prepared, const ProductionRun &run)
{
    // One kind of separator in the names the log shows (a chosen "out/sub" joined with '\' on Windows).
    return {QDir::toNativeSeparators(outputDirectory(inputs, run)) + QDir::separator() + inputs.model + QStringLiteral("_Boot_"),
            prepared.versionSuffix + prepared.parameterSuffix + QStringLiteral(".bin")};
}

} // namespace

QByteArray bootImageFor(const BootVariant &variant, const BootInputs &inputs, const PreparedBoot &prepared,
                        const ProductionRun &run, int serial, const LogFn &log)
{
    const ModelData data = modelData(variant, inputs);
    logModelData(data, prepared, log);
    QByteArray image = seriesImage(data, inputs, prepared);
    stampSerial(image, variant, inputs, run, serial);
    return image;
}

QString bootImagePath(const BootInputs &inputs, const PreparedBoot &prepared, const ProductionRun &run, int serial)
{
    return seriesNames(inputs, prepared, run).path(run, serial);
}

SeriesWrite writeBootSeries(const BootVariant &variant, const BootInputs &inputs, const PreparedBoot &prepared,
                            const ProductionRun &run, const LogFn &log, bool stopAtFailure,
                            const std::function<void(int)> &progress, const SeriesObserver &observer)
{
    SeriesWrite result;
    const QString dir = outputDirectory(inputs, run);
    // A new directory is filled while it is still hidden and appears whole; an existing one gets a temporary per
    // image. Either way one flush makes the series durable before any image takes its final name.
    FileBatch batch(stopAtFailure ? FileBatch::UpToFailure : FileBatch::EachOnItsOwn);
    if (const int stale = removeStaleTemporaries(dir))
        log(tr("Removed %1 temporary files that an interrupted run left in %2").arg(stale).arg(dir));
    QString reason;
    if (!batch.intoDirectory(dir, &reason)) {
        log(tr("Cannot create directory %1").arg(dir));
        result.failedPath = dir;
        result.error = QStringLiteral("cannot create the directory: %1").arg(reason);
        return result;
    }
    const SeriesNames names = seriesNames(inputs, prepared, run);
    const ModelData data = modelData(variant, inputs);
    QByteArray image = seriesImage(data, inputs, prepared); // stamped in place for each serial number
    QVector<QPair<int, QString>> staged; // serial number and path of each image the batch took
    for (int serial = run.firstSerial; serial < run.firstSerial + run.count; ++serial) {
        logModelData(data, prepared, log);
        stampSerial(image, variant, inputs, run, serial);
        const QString path = names.path(run, serial);
        if (variant.logPaths)
            log(path);
        if (observer.built)
            observer.built(serial, image);
        if (batch.add(path, image)) {
            staged.append({serial, path});
        } else {
            log(tr("Cannot write file %1").arg(path));
            if (observer.done)
                observer.done(serial, path, false);
            if (stopAtFailure)
                break;
        }
        if (progress)
            progress(serial - run.firstSerial + 1);
    }
    const int stagingFailures = batch.failures().size();
    batch.commit();
    QSet<QString> failed;
    for (int i = stagingFailures; i < batch.failures().size(); ++i) {
        log(tr("Cannot write file %1").arg(batch.failures().at(i).path));
        failed.insert(batch.failures().at(i).path);
    }
    result.written = batch.committed();
    if (!batch.failures().isEmpty()) {
        result.failedPath = batch.failures().constFirst().path;
        result.error = batch.failures().constFirst().error;
    }
    // Up to a failure, only the first committed() staged images were renamed into place.
    int renamed = 0;
    for (const auto &image : staged) {
        const bool inPlace = !failed.contains(image.second) && (!stopAtFailure || renamed < batch.committed());
        renamed += inPlace ? 1 : 0;
        if (observer.done)
            observer.done(image.first, image.second, inPlace);
    }
    return result;
}

int writeBootImages(const BootVariant &variant, const BootInputs &inputs, const PreparedBoot &prepared,
                    const ProductionRun &run, const LogFn &log, const SeriesObserver &observer)
{
    return writeBootSeries(variant, inputs, prepared, run, log, false, {}, observer).written;
}

BootRunResult createBootImages(const BootVariant &variant, const BootInputs &inputs, const ProductionRun &run,
                               const LogFn &log)
{
    BootRunResult result;
    const PreparedBoot prepared = prepareBootImage(variant, inputs, log);
    result.status = prepared.status;
    result.hexCode = prepared.hexCode;
    result.failedPath = prepared.failedPath;
    if (prepared.status == PreparedBoot::Ok)
        result.written = writeBootImages(variant, inputs, prepared, run, log);
    return result;
}

ParamPatch addParamsToFirmware(QByteArray &firmware, const QByteArray &parameters)
{
    if (parameters.size() > kParameterBlockSize)
        return ParamPatch::TooLarge;
    if (firmware.size() < kFirmwareParameterOffset + parameters.size())
        return ParamPatch::FirmwareTooShort;
    firmware.replace(kFirmwareParameterOffset, parameters.size(), parameters);
    return ParamPatch::Copied;
}
