// The .upg format: byte layout, reading back, decoding, sealing and the companion name.
#include <QtTest>

#include "builders/upgradefile.h"
#include "link/codec.h"

class TestUpgradeFile : public QObject
{
    Q_OBJECT

private slots:
    void byteLayout();
    void roundTripAndSeal();
    void shortImageRefused();
    void unreadableFile();
    void readsWhatTheFileHolds_data();
    void readsWhatTheFileHolds();
    void companion_data();
    void companion();
    void upgSuffix_data();
    void upgSuffix();
};

void TestUpgradeFile::byteLayout()
{
    const UpgradeLayout *c8 = upgradeLayout("STM32F100C8");
    QVERIFY(c8);
    QByteArray image(int(c8->imageSize), '\0');
    sealImage(image, *c8);
    QBuffer buf;
    buf.open(QIODevice::WriteOnly);
    QVERIFY(writeUpgradeFile(&buf, "Zr501", kUpgradeFileVersion, image));
    const QByteArray b = buf.data();
    QCOMPARE(b.size(), 65602);
    QCOMPARE(b.left(4).toHex(), QByteArray("00000032"));
    QCOMPARE(b.mid(4, 4).toHex(), QByteArray("005a0072")); // "Zr" as UTF-16BE
    QCOMPARE(b.mid(54, 8).toHex(), QByteArray("0000000400300031"));
    QCOMPARE(b.mid(62, 4).toHex(), QByteArray("00010000"));
    // A blank image is stored as the doubled key words.
    QCOMPARE(readU32(b, 66), quint32(2u * ImageKey[0]));

    // "Zr601_L0" is three characters (6 bytes) longer than "Zr601".
    QBuffer l0;
    l0.open(QIODevice::WriteOnly);
    writeUpgradeFile(&l0, "Zr601_L0", kUpgradeFileVersion, image);
    QCOMPARE(l0.data().size(), 65602 + 6);
}

void TestUpgradeFile::roundTripAndSeal()
{
    QTemporaryDir dir;
    const UpgradeLayout *g4 = upgradeLayout("STM32G474CB");
    QVERIFY(g4);
    QByteArray image(int(g4->imageSize), '\0');
    for (quint32 i = g4->appOffset; i < g4->imageSize; ++i)
        image[int(i)] = char(i * 13);
    sealImage(image, *g4);
    QCOMPARE(storedImageCrc(image, *g4), computedImageCrc(image, *g4));
    QCOMPARE(computedImageCrc(image, *g4),
             Crc16(image.constData() + 0x4000, 0xDFFE)); // the application area only, blank bytes included

    const QString path = dir.filePath("x.upg");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QVERIFY(writeUpgradeFile(&f, "Zr628", "01", image));
    f.close();

    const UpgradeFile read = readUpgradeFile(path);
    QVERIFY(read.opened);
    QCOMPARE(read.header, QStringLiteral("Zr628 Upgrade File Header"));
    QCOMPARE(read.version, QStringLiteral("01"));
    QCOMPARE(read.image.size(), int(g4->imageSize));
    QCOMPARE(decodedImage(read.image, g4->imageSize), image);
}

void TestUpgradeFile::shortImageRefused()
{
    QByteArray stored(0x7800, '\x11');
    QVERIFY(decodedImage(stored, 0x10000).isEmpty());
    QCOMPARE(decodedImage(stored, 0x7800).size(), 0x7800);
}

void TestUpgradeFile::unreadableFile()
{
    const UpgradeFile f = readUpgradeFile("/nonexistent/dir/file.upg");
    QVERIFY(!f.opened);
    QVERIFY(!f.refused.isEmpty()); // the operating system's reason
    QVERIFY(f.header.isEmpty());
    QVERIFY(f.version.isEmpty());
    QVERIFY(f.image.isEmpty());
}

namespace {
// A QDataStream length field, big-endian.
QByteArray lengthField(quint32 n)
{
    QByteArray b(4, '\0');
    qToBigEndian(n, b.data());
    return b;
}
QByteArray textField(const QString &text)
{
    QByteArray b = lengthField(quint32(2 * text.size()));
    for (const QChar c : text) {
        b += char(c.unicode() >> 8);
        b += char(c.unicode() & 0xFF);
    }
    return b;
}
} // namespace

// Every text and image length is taken as stored, up to what the file holds; bytes after the image are ignored.
void TestUpgradeFile::readsWhatTheFileHolds_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("header");
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("imageSize");
    const QString header = "Zr501 Upgrade File Header";
    const QByteArray image(0x10000, '\x5A');
    const QByteArray good = textField(header) + textField("01") + lengthField(0x10000) + image;
    const QString longHeader = QString(100, 'H');
    const QString longVersion = "01.23.4567-rc1+build7";
    QTest::newRow("as written") << good << header << "01" << 0x10000;
    QTest::newRow("bytes after the image") << good + QByteArray(0x40000, '\x77') << header << "01" << 0x10000;
    QTest::newRow("header of 100 characters")
        << textField(longHeader) + textField("01") + lengthField(0x10000) + image << longHeader << "01" << 0x10000;
    QTest::newRow("version of 21 characters")
        << textField(header) + textField(longVersion) + lengthField(0x10000) + image << header << longVersion
        << 0x10000;
    // A 10 000-character header keeps its first 4096, and the values after it are still found.
    const QString huge(10000, 'x');
    QTest::newRow("header of 10000 characters")
        << textField(huge) + textField("01") + lengthField(0x10000) + image << huge.left(4096) << "01" << 0x10000;
    QTest::newRow("null texts") << lengthField(0xFFFFFFFF) + lengthField(0xFFFFFFFF) + lengthField(0x10000) + image
                                << "" << "" << 0x10000;
    // A length beyond the end of the file ends the reading there; the image keeps what is present.
    QTest::newRow("header longer than the file") << lengthField(0x7FFFFFFE) + good << "" << "" << 0;
    QTest::newRow("odd text length") << lengthField(3) + good << "" << "" << 0;
    QTest::newRow("image longer than the file")
        << textField(header) + textField("01") + lengthField(0x40000) + image << header << "01" << 0x10000;
    QTest::newRow("image larger than any layout")
        << textField(header) + textField("01") + lengthField(0x50000) + QByteArray(0x50000, '\x5A') << header << "01"
        << int(largestImageSize());
    QTest::newRow("ends in the version") << textField(header) + lengthField(4) + QByteArray("\0") << header << ""
                                         << 0;
    QTest::newRow("empty file") << QByteArray() << "" << "" << 0;
}

void TestUpgradeFile::readsWhatTheFileHolds()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, header);
    QFETCH(QString, version);
    QFETCH(int, imageSize);
    QTemporaryDir dir;
    QFile f(dir.filePath("x.upg"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
    f.close();
    const UpgradeFile read = readUpgradeFile(f.fileName());
    QVERIFY(read.opened);
    QCOMPARE(read.header, header);
    QCOMPARE(read.version, version);
    QCOMPARE(read.image.size(), imageSize);
    QCOMPARE(read.image, QByteArray(imageSize, '\x5A'));
}

void TestUpgradeFile::companion_data()
{
    QTest::addColumn<QString>("upg");
    QTest::addColumn<QString>("app");
    QTest::newRow("chosen name") << "/w/Zr501/Zr501_v1.23.upg" << "/w/Zr501/Zr501_v1.23_app.bin";
    QTest::newRow("proposed name") << "./Zr501/Zr501_vx.xx" << "./Zr501/Zr501_vx_app.bin";
    QTest::newRow("no dot") << "/w/Zr501/firmware" << "/w/Zr501/firmware_app.bin";
    QTest::newRow("dot only in a directory") << "/w/rel.2/firmware" << "/w/rel.2/firmware_app.bin";
    QTest::newRow("version with .upg") << "/w/Zr501_v1.24.upg" << "/w/Zr501_v1.24_app.bin";
    QTest::newRow("upper-case suffix") << "/w/Zr501_v1.24.UPG" << "/w/Zr501_v1.24_app.bin";
}

void TestUpgradeFile::companion()
{
    QFETCH(QString, upg);
    QFETCH(QString, app);
    QCOMPARE(companionPath(upg), app);
}

// A name typed without ".upg" gets it; the companion is then named after the whole typed name.
void TestUpgradeFile::upgSuffix_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("upg");
    QTest::addColumn<QString>("app");
    QTest::newRow("typed version") << "/w/Zr501_v1.24" << "/w/Zr501_v1.24.upg" << "/w/Zr501_v1.24_app.bin";
    QTest::newRow("proposed name") << "./Zr501/Zr501_vx.xx" << "./Zr501/Zr501_vx.xx.upg"
                                   << "./Zr501/Zr501_vx.xx_app.bin";
    QTest::newRow("no dot") << "/w/firmware" << "/w/firmware.upg" << "/w/firmware_app.bin";
    QTest::newRow("with .upg") << "/w/Zr501_v1.24.upg" << "/w/Zr501_v1.24.upg" << "/w/Zr501_v1.24_app.bin";
    QTest::newRow("with .UPG") << "/w/fw.UPG" << "/w/fw.UPG" << "/w/fw_app.bin";
    QTest::newRow("other suffix") << "/w/fw.bin" << "/w/fw.bin.upg" << "/w/fw.bin_app.bin";
}

void TestUpgradeFile::upgSuffix()
{
    QFETCH(QString, chosen);
    QFETCH(QString, upg);
    QFETCH(QString, app);
    QCOMPARE(upgradeFilePath(chosen), upg);
    QCOMPARE(companionPath(upgradeFilePath(chosen)), app);
}

QTEST_GUILESS_MAIN(TestUpgradeFile)
#include "test_upgradefile.moc"
