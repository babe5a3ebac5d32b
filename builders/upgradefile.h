// The upgrade file (.upg): header text, version text and the encoded flash image of one family layout.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include "link/codec.h"

class QIODevice;

// Flash image layout of one upgrade-file family: image offset x is flash address 0x08000000 + x;
// [0, appOffset) is the bootloader's (blank in the file), [appOffset, imageSize - 2) the application,
// and the last two bytes hold the CRC-16 of the application, low byte first.
struct UpgradeLayout
{
    const char *family;
    quint32 imageSize;
    quint32 appOffset;

    quint32 appFirstAddress() const { return kFlashBase + appOffset; }
    quint32 appLastAddress() const { return kFlashBase + imageSize - 1; }
    quint32 crcOffset() const { return imageSize - 2; }
    static constexpr quint32 kFlashBase = FLASH_BASE;
};

// The six layouts, in the order of the writer slots.
const QVector<UpgradeLayout> &upgradeLayouts();
// The largest image of the layouts: no flash image we read or write is larger.
quint32 largestImageSize();
// nullptr for an unknown family name ("STM32F100C8", ...).
const UpgradeLayout *upgradeLayout(const QString &family);

QString upgradeFileHeader(const QString &modelCode); // model code + " Upgrade File Header"
inline const QString kUpgradeFileVersion = QStringLiteral("01");

// The three values as stored.
struct UpgradeFile
{
    bool opened = false; // false: the file could not be opened or was refused (the values then read as empty)
    QString refused;     // why: not a file, or the operating system's reason it cannot be read
    QString header;      // texts of more than 4096 characters keep their first 4096
    QString version;
    QByteArray image;    // as stored: encoded; the bytes present when the file ends early
};

// Longest texts an upgrade file of ours holds: the header is a model code and " Upgrade File Header", the version
// "01". The reader takes longer ones; zrtool bounds what it reads by them.
constexpr int kMaxUpgradeHeaderChars = 64;
constexpr int kMaxUpgradeVersionChars = 16;
// The largest upgrade file of ours: three length fields, the longest texts (UTF-16) and the largest image.
qint64 maxUpgradeFileSize();

// Reads header, version and image as a default QDataStream wrote them, and nothing after the image. A file that
// cannot be opened yields empty values; a length field beyond what the file still holds (or, for the image, beyond
// the largest layout) ends the reading there, as a file that ends early does: what could not be read is empty,
// except the image, which keeps the bytes present (at most the largest layout's size).
UpgradeFile readUpgradeFile(const QString &path);

// The first `size` bytes of a stored image, decoded. Empty when the image holds fewer than `size` bytes:
// such a file is refused rather than padded or read past its end.
QByteArray decodedImage(const QByteArray &storedImage, quint32 size);

// Stores the CRC-16 of the application area in the image's last two bytes (the image is plain, imageSize long).
void sealImage(QByteArray &plainImage, const UpgradeLayout &layout);
// CRC-16 stored in / computed over a plain image.
quint16 storedImageCrc(const QByteArray &plainImage, const UpgradeLayout &layout);
quint16 computedImageCrc(const QByteArray &plainImage, const UpgradeLayout &layout);

// Writes header, version and the encoded image (the plain image is encoded on a copy). False on a write error.
bool writeUpgradeFile(QIODevice *device, const QString &modelCode, const QString &version,
                      const QByteArray &plainImage);

// The plain application binary written beside an upgrade file: the path without its ".upg" followed by
// "_app.bin"; for another name, the path up to the last "." of its file name (the whole path when the file name
// has none).
QString companionPath(const QString &upgradePath);
// The name an upgrade file is written under: the chosen one, with ".upg" appended when it does not end in it
// (a typed "Zr501_v1.24" would otherwise give a file the upgrade dialogs do not list).
QString upgradeFilePath(const QString &chosenPath);
