// Intel HEX fixtures for tests: records with correct checksums and whole files from address/bytes pairs.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QString>

// One record line (type, 16-bit offset, data) with its checksum, upper-case, LF-terminated.
inline QByteArray hexRecord(int type, quint16 offset, const QByteArray &data = QByteArray())
{
    QByteArray body;
    body.append(char(data.size())).append(char(offset >> 8)).append(char(offset & 0xFF)).append(char(type));
    body.append(data);
    quint8 sum = 0;
    for (char c : body)
        sum += quint8(c);
    body.append(char(quint8(0x100 - sum)));
    return ':' + body.toHex().toUpper() + '\n';
}

// A HEX text holding `bytes` at each absolute address, in 16-byte data records, with extended linear
// address records where the upper half changes, and an end-of-file record.
inline QByteArray hexText(const QMap<quint32, QByteArray> &blocks)
{
    QByteArray text;
    qint64 upper = -1;
    for (auto it = blocks.begin(); it != blocks.end(); ++it) {
        for (int i = 0; i < it.value().size(); i += 16) {
            const quint32 address = it.key() + quint32(i);
            if (qint64(address >> 16) != upper) {
                upper = address >> 16;
                const char high[2] = {char(upper >> 8), char(upper & 0xFF)};
                text += hexRecord(4, 0, QByteArray(high, 2));
            }
            // A record never crosses a 64 KiB boundary.
            const int length = qMin(qMin(16, it.value().size() - i), int(0x10000 - (address & 0xFFFF)));
            text += hexRecord(0, quint16(address & 0xFFFF), it.value().mid(i, length));
            i -= 16 - length;
        }
    }
    return text + hexRecord(1, 0);
}

// Writes bytes to a file; false when it cannot.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}
