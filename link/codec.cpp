// Frame builders, CRC-16/ARC, the word-wise image encoding and the hex dump formatter.
#include "link/codec.h"

#include <algorithm>

#include "core/logcategories.h"

const quint32 ImageKey[32] = {
    0x3A5C96E1, 0x7B02D4F9, 0x0E6D1A83, 0xC4F7215B, 0x91B8E06D, 0x5D3F7A12, 0xE82C4B97, 0x26A9F035,
    0xB1740DCE, 0x4FE6925A, 0x8C1B37F4, 0x139DA6C8, 0xD7528E1F, 0x6AC0F349, 0xF5892C76, 0x2E47B5D0,
    0x9D36E40B, 0x40FA7C93, 0xA7E15B28, 0x1B8C09E6, 0xE96D74A1, 0x7254C83F, 0x0FB3A15C, 0xC82E6F97,
    0x5A97D203, 0xB61F48EA, 0x34C0B97D, 0x8F6A15C2, 0x21D5E8B4, 0xDC39064F, 0x6871FA2D, 0xF30E9C58,
};

namespace {
const quint32 *g_imageKey = ImageKey;
quint32 g_customKey[32];
} // namespace

const quint32 *activeImageKey()
{
    return g_imageKey;
}

void setImageKey(const quint32 *key)
{
    if (!key) {
        g_imageKey = ImageKey;
        return;
    }
    std::copy(key, key + 32, g_customKey);
    g_imageKey = g_customKey;
}

quint16 Crc16(const void *bytes, int length)
{
    const auto *p = static_cast<const quint8 *>(bytes);
    quint16 crc = 0;
    for (int i = 0; i < length; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return crc;
}

bool checkReplyCrc(const QByteArray &reply)
{
    if (reply.size() < kCrcSize)
        return false;
    return Crc16(reply.constData(), reply.size() - kCrcSize) == readU16(reply, reply.size() - kCrcSize);
}

QByteArray withCrc(const QByteArray &frame)
{
    QByteArray out = frame;
    const quint16 crc = Crc16(frame);
    out.append(char(crc & 0xFF));
    out.append(char(crc >> 8));
    return out;
}

static quint32 loadWord(const quint8 *p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

static void storeWord(quint8 *p, quint32 w)
{
    p[0] = quint8(w);
    p[1] = quint8(w >> 8);
    p[2] = quint8(w >> 16);
    p[3] = quint8(w >> 24);
}

void EncodeImage(void *buffer, int length)
{
    auto *p = static_cast<quint8 *>(buffer);
    const int words = qMax(0, length) / 4;
    qCDebug(zrCodec, "Encoding started @ 0x%08llx", static_cast<unsigned long long>(reinterpret_cast<quintptr>(p)));
    for (int i = 0; i < words; ++i) {
        const quint32 key = g_imageKey[i % 32];
        storeWord(p + 4 * i, (loadWord(p + 4 * i) ^ key) + key);
    }
    qCDebug(zrCodec, "Encoding end @ 0x%08llx",
            static_cast<unsigned long long>(reinterpret_cast<quintptr>(p + 4 * words)));
}

void DecodeImage(void *buffer, int length)
{
    auto *p = static_cast<quint8 *>(buffer);
    const int words = qMax(0, length) / 4;
    for (int i = 0; i < words; ++i) {
        const quint32 key = g_imageKey[i % 32];
        storeWord(p + 4 * i, (loadWord(p + 4 * i) - key) ^ key);
    }
}

int dataLimit(quint16 command)
{
    switch (command) {
    case CMD_I2C_WRITE:
    case CMD_WRITE_RAM:
        return 1024;
    default: // CMD_WRITE_MEMORY, CMD_STREAM_WRITE
        return 2048;
    }
}

bool isEncodedCommand(quint16 command)
{
    return command == CMD_WRITE_MEMORY || command == CMD_WRITE_RAM || command == CMD_STREAM_WRITE;
}

quint16 readU16(const QByteArray &bytes, int offset)
{
    if (offset < 0 || offset + 2 > bytes.size())
        return 0;
    const auto *p = reinterpret_cast<const quint8 *>(bytes.constData()) + offset;
    return quint16(p[0] | p[1] << 8);
}

quint32 readU32(const QByteArray &bytes, int offset)
{
    if (offset < 0 || offset + 4 > bytes.size())
        return 0;
    return loadWord(reinterpret_cast<const quint8 *>(bytes.constData()) + offset);
}

void putU16(QByteArray &bytes, int offset, quint16 value)
{
    bytes[offset] = char(value & 0xFF);
    bytes[offset + 1] = char(value >> 8);
}

void putU32(QByteArray &bytes, int offset, quint32 value)
{
    storeWord(reinterpret_cast<quint8 *>(bytes.data()) + offset, value);
}

static QByteArray header(int size, quint16 length, quint16 command, quint32 destination)
{
    QByteArray f(size, '\0');
    putU16(f, 0, length);
    putU16(f, 2, command);
    putU32(f, 4, destination);
    putU32(f, 8, HOST_ID);
    return f;
}

QByteArray buildHeaderFrame(quint16 command, quint32 destination)
{
    return header(kFrameHeaderSize, kFrameHeaderSize + kCrcSize, command, destination);
}

QByteArray buildMemoryFrame(quint16 command, quint32 destination, quint32 address, quint32 byteCount)
{
    QByteArray f = header(kMemoryHeaderSize, kMemoryHeaderSize + kCrcSize, command, destination);
    putU32(f, 12, address);
    putU32(f, 16, byteCount);
    return f;
}

QByteArray buildDataFrame(quint16 command, quint32 destination, quint32 address, const QByteArray &data)
{
    const int n = qMin(data.size(), dataLimit(command));
    QByteArray block = data.left(n); // our own copy: the caller's buffer stays as it is
    if (isEncodedCommand(command))
        EncodeImage(block.data(), n);
    QByteArray f = header(kMemoryHeaderSize, quint16(n + kMemoryHeaderSize + kCrcSize), command, destination);
    putU32(f, 12, address);
    putU32(f, 16, quint32(n));
    return f + block;
}

QByteArray buildEraseFrame(quint32 destination, quint8 parameter)
{
    QByteArray f = header(kFrameHeaderSize + 1, kFrameHeaderSize + 1 + kCrcSize, CMD_ERASE, destination);
    f[12] = char(parameter);
    return f;
}

QByteArray buildDiscoveryFrame(quint32 first, quint32 second)
{
    QByteArray f = header(kMemoryHeaderSize, kMemoryHeaderSize + kCrcSize, CMD_DISCOVERY, BROADCAST_ID);
    putU32(f, 12, first);
    putU32(f, 16, second);
    return f;
}

QByteArray buildStreamConnectFrame(quint32 destination, const QByteArray &nameArea, quint16 value)
{
    // The device firmware expects 14 in the length field, not the 64 bytes the frame occupies.
    QByteArray f = header(kFrameHeaderSize + kStreamNameSize + 2, 0x000E, CMD_STREAM_CONNECT, destination);
    const int n = qMin(nameArea.size(), kStreamNameSize);
    for (int i = 0; i < n; ++i)
        f[kFrameHeaderSize + i] = nameArea[i];
    putU16(f, kFrameHeaderSize + kStreamNameSize, value);
    return f;
}

QString formatHexDump(const void *bytes, int length)
{
    const auto *p = static_cast<const quint8 *>(bytes);
    QString out = QString::asprintf("\n src address: 0x%08llx",
                                    static_cast<unsigned long long>(reinterpret_cast<quintptr>(p)));
    auto row = [&](int offset, int k) {
        out += QString::asprintf("\n0x%04x:", offset);
        for (int i = 0; i < k; ++i)
            out += QString::asprintf(" %02x", p[offset + i]);
        out += QString(3 * (16 - k), QLatin1Char(' '));
        out += QLatin1String(" < ");
        for (int i = 0; i < k; ++i) {
            const quint8 c = p[offset + i];
            out += (c >= 0x20 && c <= 0x7F) ? QChar(c) : QLatin1Char('.');
        }
        out += QString(16 - k, QLatin1Char(' '));
        out += QLatin1String(" >");
    };
    int offset = 0;
    for (; offset + 16 <= length; offset += 16)
        row(offset, 16);
    if (offset < length)
        row(offset, length - offset);
    return out;
}
