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
    void companion_data();
    void companion();
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
    QVERIFY(f.header.isEmpty());
    QVERIFY(f.version.isEmpty());
    QVERIFY(f.image.isEmpty());
}

void TestUpgradeFile::companion_data()
{
    QTest::addColumn<QString>("upg");
    QTest::addColumn<QString>("app");
    QTest::newRow("chosen name") << "/w/Zr501/Zr501_v1.23.upg" << "/w/Zr501/Zr501_v1.23_app.bin";
    QTest::newRow("proposed name") << "./Zr501/Zr501_vx.xx" << "./Zr501/Zr501_vx_app.bin";
    QTest::newRow("no dot") << "/w/Zr501/firmware" << "/w/Zr501/firmware_app.bin";
    QTest::newRow("dot only in a directory") << "/w/rel.2/firmware" << "/w/rel.2/firmware_app.bin";
}

void TestUpgradeFile::companion()
{
    QFETCH(QString, upg);
    QFETCH(QString, app);
    QCOMPARE(companionPath(upg), app);
}

QTEST_GUILESS_MAIN(TestUpgradeFile)
#include "test_upgradefile.moc"
