// Creation of upgrade files from Intel HEX: the family image, its CRC, the .upg and its companion _app.bin.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "builders/upgradefile.h"

// The plain image of a family: the HEX file converted into the application window of a zero-filled image,
// sealed with the CRC (which replaces whatever the HEX file put into the last two bytes). *hexCode receives
// the HexToBin result; the image is built from what was converted even when it is not 0.
QByteArray buildUpgradeImage(const QString &hexPath, const UpgradeLayout &layout, int *hexCode,
                             quint64 *hexBytes = nullptr);

// Writes the companion binary (application and CRC, plain) and the upgrade file (header, version, encoded
// image) for a chosen upgrade path. Both become visible together or neither does; returns the paths of the files
// that could not be written (empty on success), and the operating system's reason for the first in *error.
QStringList writeUpgradeFiles(const QString &upgradePath, const UpgradeLayout &layout, const QString &model,
                              const QString &version, const QByteArray &plainImage, QString *error = nullptr);

struct UpgradeRunResult
{
    int hexCode = 0;         // HexToBin result; no file is written when it is not 0
    quint64 hexBytes = 0;    // bytes the HEX file stored in the application window; none: nothing is written
    QStringList failedFiles; // files that could not be written
    QString error;           // why the first of them could not
    bool ok() const { return hexCode == 0 && hexBytes > 0 && failedFiles.isEmpty(); }
};

// A whole run without dialogs: convert, seal, write both files.
UpgradeRunResult createUpgradeFiles(const QString &hexPath, const UpgradeLayout &layout, const QString &model,
                                    const QString &version, const QString &upgradePath);

// Start directory of the HEX dialog, "./<model>/out". The STM32F100C6 models share the sources of Zr436.
QString upgradeHexDirectory(const UpgradeLayout &layout, const QString &model);
// Name proposed by the save dialog: "./<model>/<model>_vx.xx".
QString proposedUpgradePath(const QString &model);
