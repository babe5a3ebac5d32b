// Intel HEX conversion: result codes, windows, record order, line lengths and checksums.
#include <QtTest>

#include "builders/hextobin.h"
#include "tests/support/hexfile.h"

namespace {

// One record line with a correct checksum; `data` as hex digits.
QByteArray rec(int type, quint16 offset, const QByteArray &data = QByteArray())
{
    return hexRecord(type, offset, QByteArray::fromHex(data));
}
QByteArray ela(quint16 high) { return rec(4, 0, QByteArray::number(high, 16).rightJustified(4, '0')); }
const QByteArray eof = ":00000001FF\n";
const QByteArray base = ela(0x0800); // data records below address 0x08000000

constexpr quint32 kFirst = 0x08000000;
constexpr quint32 kLast = 0x0800000F;

struct Converted
{
    int code;
    QByteArray buffer;
};

Converted convert(const QByteArray &text, quint32 first = kFirst, quint32 last = kLast)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("f.hex");
    if (!writeFile(path, text))
        qFatal("cannot write the fixture");
    QByteArray buffer(int(last - first + 1), '\xEE'); // 0xEE marks bytes the conversion left alone
    const int code = HexToBin(path, reinterpret_cast<quint8 *>(buffer.data()), first, last);
    return {code, buffer};
}

QByteArray untouchedFrom(const QByteArray &hexPrefix)
{
    return hexPrefix + QByteArray(32 - hexPrefix.size(), 'e');
}

// Lines of exactly `n` bytes (n >= 12) that store nothing: empty data records with blanks after the checksum.
QByteArray filler(int n)
{
    QByteArray text;
    while (n > 0) {
        const int line = n >= 24 + 300 ? 300 : n >= 24 ? n / 2 : n;
        text += ":0000000000" + QByteArray(line - 12, ' ') + '\n';
        n -= line;
    }
    return text;
}

// `head`, then filler, then `tail` placed so that its byte `at` is the first byte of the reader's second chunk.
QByteArray atChunkEnd(const QByteArray &head, const QByteArray &tail, int at)
{
    return head + filler(kHexReadChunk - head.size() - at) + tail;
}

} // namespace

class TestHexToBin : public QObject
{
    Q_OBJECT

private slots:
    void codes_data();
    void codes();
    void chunkBoundaries_data();
    void chunkBoundaries();
    void windowsCutOneFile();
    void unopenableFile();
    void everyCharacterInWideRecords_data();
    void everyCharacterInWideRecords();
};

void TestHexToBin::codes_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("buffer"); // the 16-byte window as hex, "ee" = untouched

    const QByteArray d0 = rec(0, 0x0000, "01020304");
    QTest::newRow("empty file") << QByteArray() << 0 << untouchedFrom("");
    QTest::newRow("data and end") << base + d0 + eof << 0 << untouchedFrom("01020304");
    QTest::newRow("no end record") << base + d0 << 0 << untouchedFrom("01020304");
    QTest::newRow("crlf, lower case") << QByteArray(base + rec(0, 0, "0a0b") + eof).replace("\n", "\r\n").toLower() << 0
                                      << untouchedFrom("0a0b");
    QTest::newRow("last line without line end") << base + d0 + eof.trimmed() << 0 << untouchedFrom("01020304");
    QTest::newRow("garbage after end record") << base + d0 + eof + "\ngarbage\n" << 0 << untouchedFrom("01020304");
    QTest::newRow("-1 blank line before end") << base + d0 + "\n" + eof << -1 << untouchedFrom("01020304");
    QTest::newRow("-1 ten characters") << base + ":00000001\n" << -1 << untouchedFrom("");
    QTest::newRow("-2 no colon") << base + d0 + "x" + d0.mid(1) << -2 << untouchedFrom("01020304");
    QTest::newRow("-3 count") << base + ":0G00000001FF\n" << -3 << untouchedFrom("");
    QTest::newRow("-4 address") << base + ":0100x00001FF\n" << -4 << untouchedFrom("");
    QTest::newRow("-5 type") << base + ":010000 001FF\n" << -5 << untouchedFrom("");
    QTest::newRow("-6 data") << base + ":02000000010XF0\n" << -6 << untouchedFrom("");
    QTest::newRow("-6 count two too large") << base + ":0600000001020304F2\n" << -6 << untouchedFrom("");
    QTest::newRow("-7 segment address 02") << base + rec(2, 0, "1000") + d0 << -7 << untouchedFrom("");
    QTest::newRow("-7 start segment 03") << base + rec(3, 0, "00001000") << -7 << untouchedFrom("");
    QTest::newRow("-7 unreadable linear address") << QByteArray(":02000004080Z00\n") << -7 << untouchedFrom("");
    QTest::newRow("-8 wrong checksum") << base + d0.left(d0.size() - 2) + "0\n" << -8 << untouchedFrom("");
    QTest::newRow("-8 missing checksum") << base + ":020000000102\n" << -8 << untouchedFrom("");
    QTest::newRow("-8 count one too large") << base + ":0500000001020304F2\n" << -8 << untouchedFrom("");
    QTest::newRow("-8 bad end record") << base + d0 + ":00000001FE\n" << -8 << untouchedFrom("01020304");
    QTest::newRow("stops at the bad line") << base + d0 + ":0200040001FF\n" + rec(0, 8, "0909") << -8
                                           << untouchedFrom("01020304");
    QTest::newRow("count zero skipped") << base + rec(0, 0) + d0 + eof << 0 << untouchedFrom("01020304");
    QTest::newRow("start linear ignored") << base + rec(5, 0, "08000101") + d0 + eof << 0
                                          << untouchedFrom("01020304");
    QTest::newRow("out of order, later wins") << base + rec(0, 8, "0808") + rec(0, 2, "AABBCC") + rec(0, 0, "010203")
                                              << 0 << QByteArray("010203bbcceeeeee0808eeeeeeeeeeee");
    QTest::newRow("straddles the window end") << base + rec(0, 0x0E, "11223344") << 0
                                              << QByteArray(28, 'e') + "1122";
    QTest::newRow("below the window") << ela(0x07FF) + rec(0, 0xFFFE, "5566778899") << 0
                                      << untouchedFrom("778899");
    QTest::newRow("32 data bytes in one record")
        << base + rec(0, 0, QByteArray("000102030405060708090A0B0C0D0E0F").repeated(2)) + eof << 0
        << QByteArray("000102030405060708090a0b0c0d0e0f");
    QTest::newRow("no linear address: outside") << d0 + eof << 0 << untouchedFrom("");
}

void TestHexToBin::codes()
{
    QFETCH(QByteArray, text);
    QFETCH(int, code);
    QFETCH(QByteArray, buffer);
    const Converted c = convert(text);
    QCOMPARE(c.code, code);
    QCOMPARE(c.buffer.toHex(), buffer);
}

void TestHexToBin::chunkBoundaries_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("buffer");

    const QByteArray d0 = rec(0, 0x0000, "01020304");
    const QByteArray d4 = rec(0, 0x0004, "0506");
    const QByteArray crlf = QByteArray(d0).replace("\n", "\r\n");
    QTest::newRow("record straddles the chunk end") << atChunkEnd(base, d0 + eof, 10) << 0 << untouchedFrom("01020304");
    QTest::newRow("line end is the chunk's last byte") << atChunkEnd(base, d0 + d4 + eof, d0.size()) << 0
                                                        << untouchedFrom("010203040506");
    QTest::newRow("CR LF split across chunks") << atChunkEnd(base, crlf + d4 + eof, crlf.size() - 1) << 0
                                               << untouchedFrom("010203040506");
    QTest::newRow("last line without line end ends the chunk") << atChunkEnd(base, d0.trimmed(), d0.size() - 1)
                                                               << 0 << untouchedFrom("01020304");
    QTest::newRow("last line without line end after the chunk") << atChunkEnd(base, d0.trimmed(), 5) << 0
                                                                << untouchedFrom("01020304");
    const QByteArray longest = rec(0, 0x0008, QByteArray("AB").repeated(255)).replace("\n", "\r\n");
    QTest::newRow("longest record line across the chunk end") << atChunkEnd(base, longest + eof, 300) << 0
                                                              << untouchedFrom(QByteArray(16, 'e') + "abababababababab");
    QTest::newRow("-10 one character longer") << base + d0 + longest.left(kHexMaxLine - 2) + " \r\n" + eof << -10
                                              << untouchedFrom("01020304");
    QTest::newRow("-10 line longer than the chunk")
        << base + d0.trimmed() + QByteArray(kHexReadChunk + 100, ' ') + '\n' + d4 + eof << -10 << untouchedFrom("");
    QTest::newRow("-10 last line without line end, too long") << base + d0 + QByteArray(kHexMaxLine + 1, '0') << -10
                                                              << untouchedFrom("01020304");
    QTest::newRow("-8 bad checksum across the chunk end")
        << atChunkEnd(base + d0, d4.left(d4.size() - 2) + "0\n" + rec(0, 8, "0909"), 7) << -8
        << untouchedFrom("01020304");
}

void TestHexToBin::chunkBoundaries()
{
    QFETCH(QByteArray, text);
    QFETCH(int, code);
    QFETCH(QByteArray, buffer);
    const Converted c = convert(text);
    QCOMPARE(c.code, code);
    QCOMPARE(c.buffer.toHex(), buffer);
}

void TestHexToBin::windowsCutOneFile()
{
    // Bootloader at 0x08000000, application from 0x08002000, in one file across a 64 KiB boundary.
    const QByteArray text = base + rec(0, 0x0000, "B0B1") + rec(0, 0x1FFE, "BEBFA0A1") + rec(0, 0xFFFF, "A2A3")
        + ela(0x0801) + rec(0, 0x0001, "A4") + eof;
    const Converted boot = convert(text, 0x08000000, 0x08001FFF);
    QCOMPARE(boot.code, 0);
    QCOMPARE(boot.buffer.left(2).toHex(), QByteArray("b0b1"));
    QCOMPARE(boot.buffer.right(2).toHex(), QByteArray("bebf"));
    QCOMPARE(boot.buffer.count('\xEE'), 0x2000 - 4);

    const Converted app = convert(text, 0x08002000, 0x0801FFFF);
    QCOMPARE(app.code, 0);
    QCOMPARE(app.buffer.left(2).toHex(), QByteArray("a0a1"));
    QCOMPARE(app.buffer.mid(0xFFFF - 0x2000, 3).toHex(), QByteArray("a2a3a4"));
    QCOMPARE(app.buffer.count('\xEE'), app.buffer.size() - 5);
}

void TestHexToBin::unopenableFile()
{
    quint8 byte = 0xEE;
    QCOMPARE(HexToBin("/nonexistent/dir/f.hex", &byte, kFirst, kFirst), int(kHexCannotOpen));
    QCOMPARE(byte, quint8(0xEE));
}

void TestHexToBin::everyCharacterInWideRecords_data()
{
    QTest::addColumn<int>("count"); // data bytes of the record
    QTest::addColumn<int>("at");    // which character of its data digits is replaced

    // Wide records are decoded sixteen bytes at a time: the first and last digit of each half, and digits in the
    // bytes left over after the last whole group of sixteen.
    for (int at : {0, 1, 15, 16, 30, 31})
        QTest::addRow("16 bytes, digit %d", at) << 16 << at;
    for (int at : {0, 31, 32, 63})
        QTest::addRow("33 bytes, digit %d", at) << 33 << at;
    QTest::newRow("33 bytes, the leftover byte") << 33 << 65;
}

void TestHexToBin::everyCharacterInWideRecords()
{
    QFETCH(int, count);
    QFETCH(int, at);
    QByteArray data(count, '\0');
    for (int k = 0; k < count; ++k)
        data[k] = char(0x11 * k + 0x5A);
    const QByteArray line = hexRecord(0, 0x0000, data); // ':' + 8 header digits, then the data digits
    const int pos = 9 + at;
    const auto digitValue = [](int c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    QTemporaryDir dir;
    for (int c = 0; c < 256; ++c) {
        if (c == '\n')
            continue; // a line end in the data makes the line short, not a bad digit
        const QString path = dir.filePath(QString::number(c)); // a new file each: truncating one waits for the disk
        QByteArray changed = line;
        changed[pos] = char(c);
        QVERIFY(writeFile(path, base + changed + eof));
        QByteArray buffer(count, '\xEE');
        const int code = HexToBin(path, reinterpret_cast<quint8 *>(buffer.data()), kFirst, kFirst + quint32(count) - 1);
        const int value = digitValue(c);
        const int expected = value < 0 ? kHexBadData : value == digitValue(quint8(line.at(pos))) ? kHexOk
                                                                                                 : kHexBadChecksum;
        QVERIFY2(code == expected, qPrintable(QStringLiteral("character 0x%1: code %2, expected %3")
                                                  .arg(c, 2, 16, QLatin1Char('0')).arg(code).arg(expected)));
        if (expected == kHexOk)
            QCOMPARE(buffer, data);
    }
}

QTEST_GUILESS_MAIN(TestHexToBin)
#include "test_hextobin.moc"
