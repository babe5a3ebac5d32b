// Intel HEX conversion: data (00), end of file (01), extended linear address (04), start linear address (05).
#include "builders/hextobin.h"

#include <QFile>
#include <cstring>
#include <limits>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "core/files.h"

namespace {

enum RecordType { kData = 0x00, kEndOfFile = 0x01, kExtendedLinear = 0x04, kStartLinear = 0x05 };

// A line of this many characters or fewer (line end included) cannot hold a record.
constexpr int kShortLineLimit = 10;
// Record fields by character position: ':' CC AAAA TT data... SS
constexpr int kCountPos = 1;
constexpr int kDataPos = 9;
constexpr int kHeaderBytes = 4; // count, address (2), type
constexpr int kMaxCount = 255;

// Digit values; kNotHex marks every other character, so an OR over the digits of a field tells if one was bad.
constexpr quint8 kNotHex = 0x10;
struct DigitTable
{
    quint8 value[256];
    constexpr DigitTable() : value()
    {
        for (int c = 0; c < 256; ++c)
            value[c] = c >= '0' && c <= '9' ? quint8(c - '0')
                : c >= 'A' && c <= 'F'      ? quint8(c - 'A' + 10)
                : c >= 'a' && c <= 'f'      ? quint8(c - 'a' + 10)
                                            : kNotHex;
    }
};
constexpr DigitTable kDigits;

// Decodes `count` digit pairs from `pos` of the line into out[]; false when the line ends before the last pair
// or a character is not a hex digit (a line end counts as a character of the line, not as a digit).
bool decode(const char *line, int size, int pos, int count, quint8 *out)
{
    if (pos + 2 * count > size)
        return false;
    const auto *p = reinterpret_cast<const quint8 *>(line) + pos;
    quint8 bad = 0;
    for (int i = 0; i < count; ++i) {
        const quint8 high = kDigits.value[p[2 * i]];
        const quint8 low = kDigits.value[p[2 * i + 1]];
        bad |= high | low;
        out[i] = quint8((high << 4) | (low & 0x0F));
    }
    return !(bad & kNotHex);
}

// Decodes the `count` data bytes of a record from `pos` into out[] and adds them to *sum, as decode() would;
// sixteen bytes (32 digits) at a time where the processor has SSE2.
bool decodeData(const char *line, int size, int pos, int count, quint8 *out, quint32 *sum)
{
    if (pos + 2 * count > size)
        return false;
    int i = 0;
    quint32 total = 0;
#ifdef __SSE2__
    const auto *p = reinterpret_cast<const quint8 *>(line) + pos;
    // Digits by range: '0'..'9', and with bit 5 set (upper case folded to lower) 'a'..'f'; bytes of 0x80 and
    // above compare as negative and fall in neither range.
    const __m128i below0 = _mm_set1_epi8('0' - 1), above9 = _mm_set1_epi8('9' + 1);
    const __m128i belowA = _mm_set1_epi8('a' - 1), aboveF = _mm_set1_epi8('f' + 1);
    const __m128i fold = _mm_set1_epi8(0x20), zero = _mm_setzero_si128(), lowByte = _mm_set1_epi16(0x00FF);
    const auto nibbles = [&](__m128i c, __m128i *valid) {
        const __m128i isDigit = _mm_and_si128(_mm_cmpgt_epi8(c, below0), _mm_cmplt_epi8(c, above9));
        const __m128i lower = _mm_or_si128(c, fold);
        const __m128i isLetter = _mm_and_si128(_mm_cmpgt_epi8(lower, belowA), _mm_cmplt_epi8(lower, aboveF));
        *valid = _mm_and_si128(*valid, _mm_or_si128(isDigit, isLetter));
        const __m128i digit = _mm_and_si128(isDigit, _mm_sub_epi8(c, _mm_set1_epi8('0')));
        const __m128i letter = _mm_and_si128(isLetter, _mm_sub_epi8(lower, _mm_set1_epi8('a' - 10)));
        const __m128i v = _mm_or_si128(digit, letter); // per 16-bit lane: high digit, then low digit
        return _mm_or_si128(_mm_slli_epi16(_mm_and_si128(v, lowByte), 4), _mm_srli_epi16(v, 8));
    };
    __m128i valid = _mm_set1_epi8(-1), sums = zero;
    for (; i + 16 <= count; i += 16) {
        const __m128i a = nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 2 * i)), &valid);
        const __m128i b = nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 2 * i + 16)), &valid);
        const __m128i bytes = _mm_packus_epi16(a, b);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), bytes);
        sums = _mm_add_epi64(sums, _mm_sad_epu8(bytes, zero));
    }
    if (_mm_movemask_epi8(valid) != 0xFFFF)
        return false;
    total = quint32(_mm_cvtsi128_si32(sums)) + quint32(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
#endif
    if (!decode(line, size, pos + 2 * i, count - i, out + i)) // what is left after the last group of sixteen
        return false;
    for (; i < count; ++i)
        total += out[i];
    *sum += total;
    return true;
}

// Checksum: the record's bytes (count, address, type, data, checksum) add up to 0 modulo 256; false too when
// one of them is missing or not hexadecimal.
bool checksumOk(const char *line, int size, int count)
{
    quint8 bytes[kHeaderBytes + kMaxCount + 1];
    if (!decode(line, size, kCountPos, kHeaderBytes + count + 1, bytes))
        return false;
    quint32 sum = 0;
    for (int i = 0; i < kHeaderBytes + count + 1; ++i)
        sum += bytes[i];
    return (sum & 0xFF) == 0;
}

// Stores the bytes whose addresses (address + k, 32-bit arithmetic) lie in [first, last]; a record may run past
// 0xFFFFFFFF and wrap to 0, so it is cut into the part below the wrap and the part after it.
quint64 store(const quint8 *data, int count, quint32 address, quint8 *buffer, quint32 first, quint32 last,
              HexOutside *outside)
{
    quint64 stored = 0;
    if (outside) {
        // [address, address + count) wraps at most once; each address outside the window is noted.
        for (int k = 0; k < count; ++k) {
            const quint32 a = address + quint32(k);
            if (a >= first && a <= last)
                continue;
            if (outside->bytes == 0 || a < outside->lowest)
                outside->lowest = a;
            if (outside->bytes == 0 || a > outside->highest)
                outside->highest = a;
            ++outside->bytes;
        }
    }
    const quint64 end = quint64(address) + quint64(count); // one past the record's last address, unwrapped
    const auto copy = [&](quint64 from, quint64 to, quint64 dataAt) { // [from, to) in addresses
        const quint64 lo = qMax<quint64>(from, first);
        const quint64 hi = qMin<quint64>(to, quint64(last) + 1);
        if (lo < hi) {
            std::memcpy(buffer + (lo - first), data + (dataAt + lo - from), size_t(hi - lo));
            stored += hi - lo;
        }
    };
    copy(address, qMin<quint64>(end, 1ull << 32), 0);
    if (end > (1ull << 32))
        copy(0, end - (1ull << 32), (1ull << 32) - address);
    return stored;
}

// One line, line end included; returns kHexOk to go on with the next line, 1 at an end-of-file record, or a
// negative result.
constexpr int kEndReached = 1;
int convertLine(const char *line, int size, quint32 *upper, quint8 *buffer, quint32 first, quint32 last,
                quint64 *stored, HexOutside *outside)
{
    if (size <= kShortLineLimit)
        return kHexShortLine;
    if (line[0] != ':')
        return kHexNoColon;
    quint8 header[kHeaderBytes]; // count, address high, address low, type
    if (!decode(line, size, kCountPos, 1, header))
        return kHexBadCount;
    if (!decode(line, size, kCountPos + 2, 2, header + 1))
        return kHexBadAddress;
    if (!decode(line, size, kCountPos + 6, 1, header + 3))
        return kHexBadType;
    const int count = header[0];
    const quint32 offset = quint32(header[1]) << 8 | header[2];

    switch (header[3]) {
    case kData: {
        quint8 data[kMaxCount];
        quint32 sum = 0;
        if (!decodeData(line, size, kDataPos, count, data, &sum))
            return kHexBadData;
        quint8 checksum;
        if (!decode(line, size, kDataPos + 2 * count, 1, &checksum))
            return kHexBadChecksum;
        sum += header[0] + header[1] + header[2] + header[3] + checksum;
        if (sum & 0xFF)
            return kHexBadChecksum;
        *stored += store(data, count, *upper + offset, buffer, first, last, outside);
        return kHexOk;
    }
    case kEndOfFile:
        return checksumOk(line, size, count) ? kEndReached : kHexBadChecksum;
    case kExtendedLinear: {
        quint8 high[2];
        if (!decode(line, size, kDataPos, 2, high))
            return kHexUnsupported;
        if (!checksumOk(line, size, count))
            return kHexBadChecksum;
        *upper = (quint32(high[0]) << 8 | high[1]) << 16;
        return kHexOk;
    }
    case kStartLinear:
        return checksumOk(line, size, count) ? kHexOk : kHexBadChecksum;
    default: // segment addressing (02, 03) and anything unknown
        return kHexUnsupported;
    }
}

} // namespace

int HexToBin(const QString &fileName, quint8 *buffer, quint32 first, quint32 last)
{
    quint64 stored = 0;
    return HexToBin(fileName, buffer, first, last, &stored);
}

int HexToBin(const QString &fileName, quint8 *buffer, quint32 first, quint32 last, quint64 *stored)
{
    return HexToBin(fileName, buffer, first, last, stored, nullptr);
}

int HexToBin(const QString &fileName, quint8 *buffer, quint32 first, quint32 last, quint64 *stored,
             HexOutside *outside)
{
    *stored = 0;
    if (outside)
        *outside = HexOutside();
    QString refused;
    if (!checkInputFile(fileName, std::numeric_limits<qint64>::max(), &refused)) // a FIFO would block the open
        return kHexCannotOpen;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return kHexCannotOpen;

    // Lines are taken in place from large reads; only a line cut by the end of a read moves to the front of the
    // buffer. No line is longer than a record can be, so the buffer never grows and a file without line ends
    // (a 2 GiB run of zeros, /dev/zero) is refused after its first read.
    std::vector<char> chunk(static_cast<size_t>(kHexReadChunk));
    size_t begin = 0, end = 0; // the bytes read and not yet converted
    bool atEnd = false;
    quint32 upper = 0; // bits 31..16 of the absolute address, from the last extended linear address record
    for (;;) {
        const char *from = chunk.data() + begin;
        const char *lineEnd = static_cast<const char *>(std::memchr(from, '\n', end - begin));
        const size_t size = lineEnd ? size_t(lineEnd - from) + 1 : end - begin; // the last line may lack its end
        if (size > size_t(kHexMaxLine))
            return kHexLongLine;
        if (!lineEnd && !atEnd) {
            std::memmove(chunk.data(), from, end - begin);
            end -= begin;
            begin = 0;
            const qint64 got = file.read(chunk.data() + end, qint64(chunk.size() - end));
            if (got < 0)
                return kHexCannotOpen;
            atEnd = got == 0;
            end += size_t(got);
            continue;
        }
        if (begin == end)
            return kHexOk; // end of file
        const int result = convertLine(from, int(size), &upper, buffer, first, last, stored, outside);
        if (result != kHexOk)
            return result == kEndReached ? kHexOk : result;
        begin += size;
    }
}
