// The upgrade file (.upg): layouts per family, reading, sealing with the CRC and writing.
#include "builders/upgradefile.h"

#include <QDataStream>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>
#include <algorithm>

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

// The values in QDataStream's form: a 32-bit big-endian byte count (0xFFFFFFFF for a null value), then the
// bytes; a text is UTF-16 big-endian. Each value is checked against its bound before anything is taken.
class StoredValues
{
public:
    explicit StoredValues(const QByteArray &bytes) : m_bytes(bytes) {}

    // The next length field; false when the file ends within it, when it exceeds `max` or (for text) is odd.
    bool length(quint32 max, bool text, quint32 *count)
    {
        if (m_failed || m_bytes.size() - m_at < 4)
            return fail();
        *count = qFromBigEndian<quint32>(m_bytes.constData() + m_at);
        m_at += 4;
        if (*count == 0xFFFFFFFFu) {
            *count = 0;
            return true;
        }
        return (*count <= max && !(text && (*count & 1))) || fail();
    }
    QString text(int maxChars)
    {
        quint32 count = 0;
        if (!length(quint32(2 * maxChars), true, &count) || quint32(m_bytes.size() - m_at) < count)
            return fail(), QString();
        QString s(int(count / 2), Qt::Uninitialized);
        for (int i = 0; i < s.size(); ++i)
            s[i] = QChar(qFromBigEndian<quint16>(m_bytes.constData() + m_at + 2 * i));
        m_at += int(count);
        return s;
    }
    QByteArray bytes(quint32 max)
    {
        quint32 count = 0;
        if (!length(max, false, &count))
            return QByteArray();
        const QByteArray value = m_bytes.mid(m_at, int(count)); // a file that ends early keeps what it holds
        m_at += value.size();
        return value;
    }

private:
    bool fail() { return m_failed = true, false; }
    const QByteArray &m_bytes;
    int m_at = 0;
    bool m_failed = false;
};

} // namespace

UpgradeFile readUpgradeFile(const QString &path)
{
    UpgradeFile f;
    QByteArray bytes;
    if (!checkInputFile(path, maxUpgradeFileSize(), &f.refused))
        return f;
    QString error;
    f.opened = readFileBytes(path, &bytes, &error, maxUpgradeFileSize());
    if (!f.opened) {
        if (QFileInfo(path).exists() && !QFileInfo(path).isFile())
            f.refused = error; // a device that holds more than an upgrade file can
        return f;
    }
    StoredValues in(bytes);
    f.header = in.text(kMaxUpgradeHeaderChars);
    f.version = in.text(kMaxUpgradeVersionChars);
    f.image = in.bytes(largestImageSize());
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
