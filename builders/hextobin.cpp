// Intel HEX conversion: data (00), end of file (01), extended linear address (04), start linear address (05).
#include "builders/hextobin.h"

#include <QByteArray>
#include <QFile>

namespace {

enum RecordType { kData = 0x00, kEndOfFile = 0x01, kExtendedLinear = 0x04, kStartLinear = 0x05 };

// A line of this many characters or fewer (line end included) cannot hold a record.
constexpr int kShortLineLimit = 10;
// Record fields by character position: ':' CC AAAA TT data... SS
constexpr int kCountPos = 1;
constexpr int kAddressPos = 3;
constexpr int kTypePos = 7;
constexpr int kDataPos = 9;

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The value of `digits` hex characters at `pos`; false when one of them is missing or not a hex digit.
bool field(const QByteArray &line, int pos, int digits, quint32 *value)
{
    if (pos + digits > line.size())
        return false;
    quint32 v = 0;
    for (int i = 0; i < digits; ++i) {
        const int d = hexDigit(line.at(pos + i));
        if (d < 0)
            return false;
        v = (v << 4) | quint32(d);
    }
    *value = v;
    return true;
}

// Checksum: the record's bytes (count, address, type, data, checksum) add up to 0 modulo 256.
bool checksumOk(const QByteArray &line, quint32 count)
{
    quint32 sum = 0;
    for (quint32 i = 0; i <= 4 + count; ++i) {
        quint32 byte;
        if (!field(line, int(kCountPos + 2 * i), 2, &byte))
            return false;
        sum += byte;
    }
    return (sum & 0xFF) == 0;
}

} // namespace

int HexToBin(const QString &fileName, quint8 *buffer, quint32 first, quint32 last)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return kHexCannotOpen;

    quint32 upper = 0; // bits 31..16 of the absolute address, from the last extended linear address record
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(); // whole, however long; line end included
        if (line.size() <= kShortLineLimit)
            return kHexShortLine;
        if (line.at(0) != ':')
            return kHexNoColon;
        quint32 count, offset, type;
        if (!field(line, kCountPos, 2, &count))
            return kHexBadCount;
        if (!field(line, kAddressPos, 4, &offset))
            return kHexBadAddress;
        if (!field(line, kTypePos, 2, &type))
            return kHexBadType;

        switch (type) {
        case kData: {
            QByteArray data(int(count), '\0');
            for (quint32 k = 0; k < count; ++k) {
                quint32 byte;
                if (!field(line, int(kDataPos + 2 * k), 2, &byte))
                    return kHexBadData;
                data[int(k)] = char(byte);
            }
            if (!checksumOk(line, count))
                return kHexBadChecksum;
            const quint32 address = upper + offset;
            for (quint32 k = 0; k < count; ++k) {
                const quint32 a = address + k;
                if (a >= first && a <= last)
                    buffer[a - first] = quint8(data.at(int(k)));
            }
            break;
        }
        case kEndOfFile:
            return checksumOk(line, count) ? kHexOk : kHexBadChecksum;
        case kExtendedLinear: {
            quint32 high;
            if (!field(line, kDataPos, 4, &high))
                return kHexUnsupported;
            if (!checksumOk(line, count))
                return kHexBadChecksum;
            upper = high << 16;
            break;
        }
        case kStartLinear:
            if (!checksumOk(line, count))
                return kHexBadChecksum;
            break;
        default: // segment addressing (02, 03) and anything unknown
            return kHexUnsupported;
        }
    }
    return kHexOk;
}
