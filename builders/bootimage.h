// Production boot images: the production word, names, and one engine for the main builder and its variants.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QStringList>
#include <functional>

#include "params/paramrecord.h"

struct UpgradeLayout;

// --- production data ---

// New: bits 23-19 year - 11, 18-13 week, 12-0 serial. Old: 23-16 BCD year, 15-12 month, 11-0 serial.
// Both: bits 31-24 the model's RDM identifier.
enum class SerialScheme { New, Old };

quint32 productionWord(SerialScheme scheme, quint8 rdmId, int year, int period, int serial);
// Two-digit year, two-digit week or month, four-digit serial: "26140042".
QString serialString(int year, int period, int serial);
int maxSerial(SerialScheme scheme);

// The choices of the production dialogs and their preselection for a given day.
QStringList yearItems(SerialScheme scheme);
int yearPreselection(SerialScheme scheme, const QDate &today);
QStringList periodItems(SerialScheme scheme);
int periodPreselection(SerialScheme scheme, const QDate &today);

// --- names ---

// From the first "_v" of the application's file name to its end, cut before the last "_app"; empty when the
// file name holds no "_v". Directories above the file never take part.
QString versionSuffix(const QString &applicationPath);
// "_" + the parameter file's name cut before its last ".txt"; empty without a parameter file.
QString parameterSuffix(const QString &parameterPath);

// --- model data (main builder) ---

bool hasModelField(const QString &model);   // model field at 0x1FC0 (includes the parameter-file models)
bool isParameterModel(const QString &model); // parameter block at 0x1F40 from a parameter file

// --- the builders, described by data ---

enum class BootloaderSource { Hex, Bin };
enum class ApplicationPlacement {
    None,     // no application dialog
    Appended, // optional, written behind the image
    Region,   // required, copied into the image at the family layout's application offset and sealed with a CRC
};

struct BootVariant
{
    const char *builder;          // the builder slot
    quint32 imageSize;            // bytes; for Region the family layout's image size
    BootloaderSource source;      // Hex: converted for 0x08000000 .. +imageSize-1; Bin: copied up to appOffset
    ApplicationPlacement application;
    const char *layoutFamily;     // upgrade layout of the application region (Region only)
    quint32 wordOffset;           // production word, 32-bit little-endian
    int serialTextOffset;         // serial string + 8 zero bytes; -1: none
    bool schemeChoice;            // the check box chooses the scheme; otherwise the new scheme only
    bool versionInName;           // version suffix in the file names
    bool modelData;               // model field, parameter block, and their log lines (main builder)
    bool logPaths;                // each output path is logged

    const UpgradeLayout *layout() const;
};

// main builder (8 KiB boot area) and the five variants, by builder slot name; nullptr when unknown
const BootVariant *bootVariant(const char *builder);

using LogFn = std::function<void(const QString &)>;

// What the user chose: the model and the input files (empty path: none chosen).
struct BootInputs
{
    QString model;
    quint8 rdmId = 0;
    QString bootloaderPath;
    QString applicationPath;
    QString parameterPath;
};

// The series to produce.
struct ProductionRun
{
    SerialScheme scheme = SerialScheme::New;
    int year = 0;     // two-digit year
    int period = 0;   // week (new scheme) or month (old scheme)
    int firstSerial = 0;
    int count = 1;
    QString outputDirectory; // empty: "./<model>"; created when missing
};

// The inputs read and assembled once per run; only production data differ between the images.
struct PreparedBoot
{
    enum Status { Ok, HexError, UnreadableBootloader, UnreadableApplication, UnreadableParameters };
    Status status = Ok;
    int hexCode = 0;          // HexToBin result (HexError)
    quint64 hexBytes = 0;     // bytes the bootloader HEX file stored in the image's window
    QString failedPath;       // the file that could not be read
    QString failedReason;     // and why
    QByteArray image;         // bootloader (and application region), no production data
    QByteArray application;   // Appended: bytes written behind the image
    QByteArray parameters;    // parameter file contents (parameter-file models)
    bool hasParameters = false;
    QString versionSuffix;    // empty when it does not take part in the names
    QString parameterSuffix;
};

// Reads and converts the inputs; logs the version suffix and parameter file lines of the main builder.
PreparedBoot prepareBootImage(const BootVariant &variant, const BootInputs &inputs, const LogFn &log);

// What a series write left: the images under their final names, and the first failure (path and reason).
struct SeriesWrite
{
    int written = 0;
    QString failedPath;
    QString error;
};
// Writes one image per serial number, logging per the variant, through one file batch: the directory is created
// once, every image goes to a temporary file, one flush makes them durable and renames put them in place. An
// image that cannot be written is logged with its path; with stopAtFailure the series ends there (the images
// before it stay valid), else it goes on. `progress` hears the number of images done.
// Hears each image of a series: its bytes once built, and once its file is in place or is not.
struct SeriesObserver
{
    std::function<void(int serial, const QByteArray &image)> built;
    std::function<void(int serial, const QString &path, bool written)> done;
};
SeriesWrite writeBootSeries(const BootVariant &variant, const BootInputs &inputs, const PreparedBoot &prepared,
                            const ProductionRun &run, const LogFn &log, bool stopAtFailure,
                            const std::function<void(int)> &progress = {}, const SeriesObserver &observer = {});
// The window's series: an image that cannot be written is logged and the series goes on. Returns the number of
// images written.
int writeBootImages(const BootVariant &variant, const BootInputs &inputs, const PreparedBoot &prepared,
                    const ProductionRun &run, const LogFn &log, const SeriesObserver &observer = {});

// The image of one serial number, as written to its file.
QByteArray bootImageFor(const BootVariant &variant, const BootInputs &inputs, const PreparedBoot &prepared,
                        const ProductionRun &run, int serial, const LogFn &log);
// The file of one serial number.
QString bootImagePath(const BootInputs &inputs, const PreparedBoot &prepared, const ProductionRun &run,
                      int serial);

struct BootRunResult
{
    PreparedBoot::Status status = PreparedBoot::Ok;
    int hexCode = 0;
    QString failedPath;
    int written = 0;
};

// A whole run without dialogs (prepare, then write the series).
BootRunResult createBootImages(const BootVariant &variant, const BootInputs &inputs, const ProductionRun &run,
                               const LogFn &log);

// --- parameters into an application file ---

constexpr int kParameterBlockSize = ParamRecord::kSize; // the wizard's record
constexpr int kFirmwareParameterOffset = 0x7F40;
enum class ParamPatch { Copied, TooLarge, FirmwareTooShort };
// Copies a parameter block of at most 128 bytes to 0x7F40 of the firmware, which must already reach that far.
ParamPatch addParamsToFirmware(QByteArray &firmware, const QByteArray &parameters);
