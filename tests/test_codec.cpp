// Frames, CRC-16, image encoding and the hex dump.
#include <QtTest>

#include "link/codec.h"

class TestCodec : public QObject
{
    Q_OBJECT

private slots:
    void crcCheckValues_data();
    void crcCheckValues();
    void replyCrcCheck();
    void frames_data();
    void frames();
    void dataLimits_data();
    void dataLimits();
    void dataBlockEncodedCopy();
    void encodeRoundTripEveryLength();
    void blockReencoding();
    void zeroWordEncodesToTwiceKey();
    void hexDump();
};

void TestCodec::crcCheckValues_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("crc");
    QTest::newRow("empty") << QByteArray() << 0x0000;
    QTest::newRow("123456789") << QByteArray("123456789") << 0xBB3D;
    QTest::newRow("abc") << QByteArray("abc") << 0x9738;
}

void TestCodec::crcCheckValues()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, crc);
    QCOMPARE(int(Crc16(bytes)), crc);
}

void TestCodec::replyCrcCheck()
{
    const QByteArray good = withCrc(QByteArray::fromHex("0e000100abcdef01ab907856"));
    QVERIFY(checkReplyCrc(good));
    QByteArray bad = good;
    bad[3] = char(bad[3] ^ 1);
    QVERIFY(!checkReplyCrc(bad));
    QVERIFY(!checkReplyCrc(QByteArray()));
    QVERIFY(!checkReplyCrc(QByteArray(1, '\0')));
    QVERIFY(checkReplyCrc(QByteArray(2, '\0'))); // CRC of nothing is 0x0000
}

void TestCodec::frames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("onWire");
    QTest::newRow("run before connect") << buildRunFrame(0xFFFFFFFF)
                                        << QByteArray::fromHex("0e000900ffffffffab907856fbdf");
    QTest::newRow("connect") << buildConnectFrame(0) << QByteArray::fromHex("0e00010000000000ab9078563a25");
    QTest::newRow("read memory") << buildMemoryFrame(CMD_READ_MEMORY, 0, 0x08000000, 1024)
                                 << QByteArray::fromHex("1600050000000000ab9078560000000800040000" "3542");
}

void TestCodec::frames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, onWire);
    QCOMPARE(withCrc(frame).toHex(), onWire.toHex());
}

void TestCodec::dataLimits_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("given");
    QTest::addColumn<int>("sent");
    QTest::newRow("write memory 3000") << int(CMD_WRITE_MEMORY) << 3000 << 2048;
    QTest::newRow("write memory 1024") << int(CMD_WRITE_MEMORY) << 1024 << 1024;
    QTest::newRow("stream write 4096") << int(CMD_STREAM_WRITE) << 4096 << 2048;
    QTest::newRow("i2c write 1500") << int(CMD_I2C_WRITE) << 1500 << 1024;
    QTest::newRow("write ram 1500") << int(CMD_WRITE_RAM) << 1500 << 1024;
}

void TestCodec::dataLimits()
{
    QFETCH(int, command);
    QFETCH(int, given);
    QFETCH(int, sent);
    const QByteArray f = buildDataFrame(quint16(command), 0, 0x08000000, QByteArray(given, 'x'));
    QCOMPARE(f.size(), sent + 20);
    QCOMPARE(int(readU16(f, 0)), sent + 22);
    QCOMPARE(int(readU16(f, 2)), command);
    QCOMPARE(readU32(f, 8), HOST_ID);
    QCOMPARE(readU32(f, 12), 0x08000000u);
    QCOMPARE(int(readU32(f, 16)), sent);
}

void TestCodec::dataBlockEncodedCopy()
{
    const QByteArray data = QByteArray::fromHex("010203040506");
    const QByteArray before = data;
    const QByteArray f = buildDataFrame(CMD_WRITE_MEMORY, 0, 0x08002000, data);
    QCOMPARE(data, before);
    QByteArray expect = data;
    EncodeImage(expect.data(), 6);
    QCOMPARE(f.mid(20), expect);
    QVERIFY(f.mid(20, 4) != data.left(4));
    QCOMPARE(f.mid(24, 2), data.mid(4, 2));
    // I2C data travel as they are.
    QCOMPARE(buildDataFrame(CMD_I2C_WRITE, 0, 0, data).mid(20), data);

    const QByteArray erase = buildEraseFrame(0, 5);
    QCOMPARE(erase.size(), 13);
    QCOMPARE(int(readU16(erase, 0)), 15);
    QCOMPARE(int(erase[12]), 5);

    const QByteArray stream = buildStreamConnectFrame(0, QByteArray("Zr556"), 0);
    QCOMPARE(stream.size(), 62);
    QCOMPARE(int(readU16(stream, 0)), 14);
    QCOMPARE(int(readU16(stream, 2)), int(CMD_STREAM_CONNECT));
    QCOMPARE(stream.mid(12, 6), QByteArray("Zr556\0", 6));
    QCOMPARE(stream.mid(17, 45), QByteArray(45, '\0'));
    const QByteArray longName = buildStreamConnectFrame(0, QByteArray(60, 'n'), 0);
    QCOMPARE(longName.size(), 62);
    QCOMPARE(longName.mid(12, 48), QByteArray(48, 'n'));

    const QByteArray disc = buildDiscoveryFrame(0, 0xFFFFFFFF);
    QCOMPARE(readU32(disc, 4), 0xFFFFFFFFu);
    QCOMPARE(readU32(disc, 16), 0xFFFFFFFFu);
    QCOMPARE(int(readU16(disc, 0)), 22);
    QCOMPARE(readU32(buildMuteFrame(), 4), 0xFFFFFFFFu);
    QCOMPARE(int(readU16(buildUnmuteFrame(), 2)), int(CMD_UNMUTE));
}

void TestCodec::encodeRoundTripEveryLength()
{
    for (int len = 0; len <= 130; ++len) {
        QByteArray plain(len + 4, '\0');
        for (int i = 0; i < plain.size(); ++i)
            plain[i] = char(i * 37 + len);
        QByteArray buf = plain;
        EncodeImage(buf.data(), len);
        const int whole = len / 4 * 4;
        QCOMPARE(buf.mid(whole), plain.mid(whole)); // tail and bytes beyond untouched
        if (whole > 0)
            QVERIFY(buf.left(whole) != plain.left(whole));
        DecodeImage(buf.data(), len);
        QCOMPARE(buf, plain);
    }
}

void TestCodec::blockReencoding()
{
    QByteArray image(0x3000, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 7) ^ (i >> 8));
    QByteArray whole = image;
    EncodeImage(whole.data(), whole.size());

    QByteArray block = image.mid(0x2000, 0x400);
    EncodeImage(block.data(), block.size());
    QCOMPARE(block, whole.mid(0x2000, 0x400));

    QByteArray shifted = image.mid(0x2004, 0x400);
    EncodeImage(shifted.data(), shifted.size());
    QVERIFY(shifted != whole.mid(0x2004, 0x400));
}

void TestCodec::zeroWordEncodesToTwiceKey()
{
    QByteArray zeros(128, '\0');
    EncodeImage(zeros.data(), zeros.size());
    for (int j = 0; j < 32; ++j)
        QCOMPARE(readU32(zeros, 4 * j), quint32(2u * ImageKey[j]));
}

void TestCodec::hexDump()
{
    const char three[] = {0x41, 0x00, 0x7F};
    const QString d3 = formatHexDump(three, 3);
    const QStringList lines3 = d3.split(QLatin1Char('\n'));
    QCOMPARE(lines3.size(), 3);
    QVERIFY(lines3[0].isEmpty());
    QVERIFY(lines3[1].startsWith(QLatin1String(" src address: 0x")));
    QCOMPARE(lines3[2], QStringLiteral("0x0000: 41 00 7f") + QString(39, QLatin1Char(' ')) + QStringLiteral(" < A.")
                            + QChar(0x7F) + QString(13, QLatin1Char(' ')) + QStringLiteral(" >"));

    QByteArray sixteen;
    for (int i = 0; i < 16; ++i)
        sixteen.append(char(0x30 + i));
    const QStringList lines16 = formatHexDump(sixteen).split(QLatin1Char('\n'));
    QCOMPARE(lines16.size(), 3);
    QCOMPARE(lines16[2], QStringLiteral("0x0000: 30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f < 0123456789:;<=>? >"));

    QCOMPARE(formatHexDump(QByteArray()).split(QLatin1Char('\n')).size(), 2);

    const QStringList lines18 = formatHexDump(QByteArray(18, '\x01')).split(QLatin1Char('\n'));
    QCOMPARE(lines18.size(), 4);
    QVERIFY(lines18[3].startsWith(QLatin1String("0x0010: 01 01 ")));
    QVERIFY(lines18[3].endsWith(QStringLiteral(" < ..") + QString(14, QLatin1Char(' ')) + QStringLiteral(" >")));
}

QTEST_GUILESS_MAIN(TestCodec)
#include "test_codec.moc"
