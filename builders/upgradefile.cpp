// The upgrade file (.upg): layouts per family, reading, sealing with the CRC and writing.
#include "builders/upgradefile.h"

#include <QDataStream>
#include <QFile>

#include "link/codec.h"

const QVector<UpgradeLayout> &upgradeLayouts()
{
    // family          image size S  application offset O
    static const QVector<UpgradeLayout> layouts = {
        {"STM32F070F6", 0x7800, 0x1800},
        {"STM32F100C6", 0x8000, 0x2000},
        {"STM32F100C8", 0x10000, 0x2000},
        {"STM32G474CB", 0x12000, 0x4000},
        {"STM32F103RC", 0x40000, 0x2000},
        {"STM32F405RG", 0x40000, 0x20000},
    };
    return layouts;
}

const UpgradeLayout *upgradeLayout(const QString &family)
{
    for (const UpgradeLayout &l : upgradeLayouts())
        if (family == QLatin1String(l.family))
            return &l;
    return nullptr;
}

QString upgradeFileHeader(const QString &modelCode)
{
    return modelCode + QStringLiteral(" Upgrade File Header");
}

UpgradeFile readUpgradeFile(const QString &path)
{
    UpgradeFile f;
    QFile file(path);
    f.opened = file.open(QIODevice::ReadOnly);
    QDataStream in(&file);
    in >> f.header >> f.version >> f.image;
    if (in.status() != QDataStream::Ok) {
        // Keep what was read whole; a truncated value reads as empty.
        if (in.status() == QDataStream::ReadPastEnd && !f.image.isEmpty())
            f.image.clear();
    }
    return f;
}

QByteArray decodedImage(const QByteArray &storedImage, quint32 size)
{
    if (quint32(storedImage.size()) < size)
        return QByteArray();
    QByteArray image = storedImage.left(int(size));
    DecodeImage(image.data(), image.size());
    return image;
}

quint16 computedImageCrc(const QByteArray &plainImage, const UpgradeLayout &layout)
{
    return Crc16(plainImage.constData() + layout.appOffset, int(layout.imageSize - layout.appOffset - 2));
}

quint16 storedImageCrc(const QByteArray &plainImage, const UpgradeLayout &layout)
{
    return readU16(plainImage, int(layout.crcOffset()));
}

void sealImage(QByteArray &plainImage, const UpgradeLayout &layout)
{
    putU16(plainImage, int(layout.crcOffset()), computedImageCrc(plainImage, layout));
}

bool writeUpgradeFile(QIODevice *device, const QString &modelCode, const QString &version,
                      const QByteArray &plainImage)
{
    QByteArray encoded = plainImage;
    EncodeImage(encoded.data(), encoded.size());
    QDataStream out(device);
    out << upgradeFileHeader(modelCode) << version << encoded;
    return out.status() == QDataStream::Ok;
}

QString companionPath(const QString &upgradePath)
{
    const int slash = qMax(upgradePath.lastIndexOf(QLatin1Char('/')), upgradePath.lastIndexOf(QLatin1Char('\\')));
    const int dot = upgradePath.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > slash ? upgradePath.left(dot) : upgradePath;
    return stem + QStringLiteral("_app.bin");
}
