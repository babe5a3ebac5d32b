// Creation of upgrade files from Intel HEX: the family image, its CRC, the .upg and its companion _app.bin.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "builders/hextobin.h"
#include "builders/upgradefile.h"

// The plain image of a family: the HEX file converted into the application window of a zero-filled image,
// sealed with the CRC (which replaces whatever the HEX file put into the last two bytes). *hexCode receives
// the HexToBin result; the image is built from what was converted even when it is not 0.
QByteArray buildUpgradeImage(const QString &hexPath, const UpgradeLayout &layout, int *hexCode,
                             quint64 *hexBytes = nullptr, HexOutside *outside = nullptr);

// Writes the companion binary (application and CRC, plain) and the upgrade file (header, version, encoded
// image) for a chosen upgrade path. Both become visible together or neither does; returns the paths of the files
// that could not be written (empty on success), and the operating system's reason for the first in *error.
QStringList writeUpgradeFiles(const QString &upgradePath, const UpgradeLayout &layout, const QString &model,
                              const QString &version, const QByteArray &plainImage, QString *error = nullptr);

// What createUpgradeFiles refuses besides HEX errors (zrtool's defaults; the window's entries check neither).
struct UpgradeChecks
{
    bool refuseOutside = false;   // HEX data outside the application window (it would be cut off silently)
    bool checkDescriptor = false; // a layout covering the descriptor must carry the model code there
};

struct UpgradeRunResult
{
    int hexCode = 0;         // HexToBin result; no file is written when it is not 0
    quint64 hexBytes = 0;    // bytes the HEX file stored in the application window; none: nothing is written
    HexOutside outside;      // HEX data outside the window
    enum class Refusal { None, Outside, Descriptor };
    Refusal refusal = Refusal::None; // what the checks refused (nothing written)
    QByteArray descriptorName; // the model code the image writes into the descriptor (layouts that cover it)
    QStringList failedFiles; // files that could not be written
    QString error;           // why the first of them could not
    bool ok() const { return hexCode == 0 && hexBytes > 0 && refusal == Refusal::None && failedFiles.isEmpty(); }
};

// A whole run without dialogs: convert, seal, write both files.
UpgradeRunResult createUpgradeFiles(const QString &hexPath, const UpgradeLayout &layout, const QString &model,
                                    const QString &version, const QString &upgradePath,
                                    const UpgradeChecks &checks = UpgradeChecks());

// The model code an image writes into the device descriptor at 0x08001FC0: its first 32 bytes up to the first zero.
// Only the STM32F070F6 layout's application area (from 0x08001800) covers the descriptor; for the others, and for
// an image too short to hold it, *covers is false and the name empty.
QByteArray imageDescriptorName(const QByteArray &plainImage, quint32 appOffset, bool *covers);

// A descriptor name a person can read: printable ASCII, not empty (else blank or half-written flash).
bool printableDescriptorName(const QByteArray &name);

// Start directory of the HEX dialog, "./<model>/out". The STM32F100C6 models share the sources of Zr436.
QString upgradeHexDirectory(const UpgradeLayout &layout, const QString &model);
// Name proposed by the save dialog: "./<model>/<model>_vx.xx".
QString proposedUpgradePath(const QString &model);
