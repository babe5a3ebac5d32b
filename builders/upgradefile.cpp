// The upgrade file (.upg): layouts per family, reading, sealing with the CRC and writing.
#include "builders/upgradefile.h"

#include <QBuffer>
#include <QDataStream>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>
#include <algorithm>
#include <limits>

#include "core/files.h"

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

quint32 largestImageSize()
{
    const auto &l = upgradeLayouts();
    return std::max_element(l.begin(), l.end(), [](const UpgradeLayout &a, const UpgradeLayout &b) {
               return a.imageSize < b.imageSize;
           })->imageSize;
}

qint64 maxUpgradeFileSize()
{
    return 3 * 4 + 2 * (kMaxUpgradeHeaderChars + kMaxUpgradeVersionChars) + qint64(largestImageSize());
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

namespace {

// Texts longer than this keep their first characters only and the rest is skipped: no header or version that
// long can equal an expected one, and the reader's memory stays bounded whatever a length field claims.
constexpr quint32 kKeptTextChars = 4096;

// The values in QDataStream's form: a 32-bit big-endian byte count (0xFFFFFFFF for a null value), then the
// bytes; a text is UTF-16 big-endian. A count is bounded by what the file still holds, so a damaged length field
// never makes the reader wait for or allocate more than the file's size; bytes after the image are not read.
class StoredValues
{
public:
    StoredValues(QIODevice &in, qint64 size) : m_in(in), m_size(size) {}

    QString text()
    {
        quint32 count = 0;
        if (!length(&count) || (count & 1) || count > remaining())
            return fail(), QString();
        const quint32 kept = qMin(count / 2, kKeptTextChars);
        const QByteArray raw = take(2 * kept);
        if (quint32(raw.size()) != 2 * kept || !skip(count - 2 * kept))
            return fail(), QString();
        QString s(int(kept), Qt::Uninitialized);
        for (int i = 0; i < s.size(); ++i)
            s[i] = QChar(qFromBigEndian<quint16>(raw.constData() + 2 * i));
        return s;
    }
    // At most `max` bytes of the image; an image that the file ends within keeps the bytes it holds.
    QByteArray bytes(quint32 max)
    {
        quint32 count = 0;
        if (!length(&count))
            return QByteArray();
        return take(qMin(count, max));
    }

private:
    bool length(quint32 *count)
    {
        const QByteArray field = m_failed ? QByteArray() : take(4);
        if (field.size() != 4)
            return fail();
        *count = qFromBigEndian<quint32>(field.constData());
        if (*count == 0xFFFFFFFFu)
            *count = 0;
        return true;
    }
    quint32 remaining() const { return quint32(qMin<qint64>(m_size - m_at, 0xFFFFFFFEll)); }
    QByteArray take(quint32 count)
    {
        const QByteArray got = m_in.read(qMin(count, remaining()));
        m_at += got.size();
        return got;
    }
    bool skip(quint32 count)
    {
        if (count == 0)
            return true;
        if (!m_in.seek(m_at + count))
            return false;
        m_at += count;
        return true;
    }
    bool fail() { return m_failed = true, false; }
    QIODevice &m_in;
    qint64 m_size;
    qint64 m_at = 0;
    bool m_failed = false;
};

} // namespace

UpgradeFile readUpgradeFile(const QString &path)
{
    UpgradeFile f;
    // Any size of regular file: what is read is bounded by the values, not by the file.
    if (!checkInputFile(path, std::numeric_limits<qint64>::max(), &f.refused))
        return f;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        f.refused = file.errorString();
        return f;
    }
    // A device has no size: the most an upgrade file can hold is read from it, and the values taken from that.
    QBuffer buffer;
    QIODevice *in = &file;
    qint64 size = file.size();
    if (file.isSequential()) {
        buffer.setData(file.read(maxUpgradeFileSize()));
        buffer.open(QIODevice::ReadOnly);
        in = &buffer;
        size = buffer.size();
    }
    if (file.error() != QFileDevice::NoError) {
        f.refused = file.errorString();
        return f;
    }
    f.opened = true;
    StoredValues values(*in, size);
    f.header = values.text();
    f.version = values.text();
    f.image = values.bytes(largestImageSize());
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

namespace {
const QString kUpgradeSuffix = QStringLiteral(".upg");
}

QString upgradeFilePath(const QString &chosenPath)
{
    return chosenPath.endsWith(kUpgradeSuffix, Qt::CaseInsensitive) ? chosenPath : chosenPath + kUpgradeSuffix;
}

QString companionPath(const QString &upgradePath)
{
    if (upgradePath.endsWith(kUpgradeSuffix, Qt::CaseInsensitive))
        return upgradePath.left(upgradePath.size() - kUpgradeSuffix.size()) + QStringLiteral("_app.bin");
    const int slash = qMax(upgradePath.lastIndexOf(QLatin1Char('/')), upgradePath.lastIndexOf(QLatin1Char('\\')));
    const int dot = upgradePath.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > slash ? upgradePath.left(dot) : upgradePath;
    return stem + QStringLiteral("_app.bin");
}
