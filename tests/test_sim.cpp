// The simulated bus and its virtual bootloaders, driven through the real cable with the codec's frames.
#include <QtTest>

#include "link/codec.h"
#include "link/rs485cable.h"
#include "sim/simulatedbus.h"
#include "tests/support/scriptedprompts.h"

namespace {
constexpr quint32 kFlash = 0x08000000;

// A bus with the cable already chosen and open.
struct Bench
{
    explicit Bench(const QString &family = QStringLiteral("STM32F100C8"), int silentConnects = 0)
    {
        SimDeviceConfig config;
        config.family = family;
        config.silentConnects = silentConnects;
        device = bus.addDevice(config);
        prompts.item(QStringLiteral("USB-RS485 Cable (simulated bus) S/N: ZRSIM001"));
        cable.ensureOpen();
    }
    QByteArray send(const QByteArray &frame, bool *ok, int readMs, int writeMs = 0)
    {
        return cable.transact(frame, ok, readMs, writeMs);
    }
    // Reads and decodes a block; empty when the reply is missing or wrong.
    QByteArray readBlock(quint32 address, int length, int readMs = 140)
    {
        bool ok = false;
        const QByteArray reply = send(buildMemoryFrame(CMD_READ_MEMORY, 0, address, quint32(length)), &ok, readMs);
        if (!ok)
            return {};
        QByteArray data = reply.mid(kReplyDataOffset, reply.size() - kReplyDataOffset - kCrcSize);
        DecodeImage(data.data(), data.size());
        return data;
    }

    SimulatedBus bus;
    ScriptedPrompts prompts;
    RS485Cable cable{nullptr, 250000, 8, 2, 0, &bus, &prompts};
    SimDevice *device = nullptr;
};

QByteArray pattern(int length, int seed)
{
    QByteArray bytes(length, '\0');
    for (int i = 0; i < length; ++i)
        bytes[i] = char((i * 7 + seed) & 0xFF);
    return bytes;
}
} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    void writeReadRun_data();
    void writeReadRun();
};

void TestSim::writeReadRun_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<quint32>("address");
    QTest::addColumn<int>("block");
    QTest::addColumn<int>("readMs");
    QTest::newRow("F100C8 1 KiB") << "STM32F100C8" << 0x08002000u << 1024 << 140;
    QTest::newRow("F103RC 2 KiB") << "STM32F103RC" << 0x0803F800u << 2048 << 140;
    QTest::newRow("F474RB second half of a page") << "STM32F474RB" << 0x08004400u << 1024 << 140;
    QTest::newRow("L051C8 slow programming") << "STM32L051C8" << 0x08002000u << 1024 << 1400;
    QTest::newRow("F030F4 from its 6 KiB boundary") << "STM32F030F4" << 0x08001800u << 1024 << 140;
}

void TestSim::writeReadRun()
{
    QFETCH(QString, family);
    QFETCH(quint32, address);
    QFETCH(int, block);
    QFETCH(int, readMs);
    Bench b(family);
    QVERIFY(b.device);
    const QByteArray data = pattern(block, 3);
    const QByteArray neighbourBefore = b.device->flashAt(address - 1024, 1024);

    bool ok = false;
    const qint64 before = b.bus.elapsedUs();
    const QByteArray reply = b.send(buildDataFrame(CMD_WRITE_MEMORY, 0, address, data), &ok, readMs);
    QVERIFY(ok);
    QCOMPARE(readU16(reply, 2), quint16(CMD_WRITE_MEMORY));
    QCOMPARE(readU32(reply, 4), HOST_ID);
    QCOMPARE(readU32(reply, 8), b.device->deviceId());
    // The transaction lasts its whole read window, in virtual time.
    QCOMPARE(b.bus.elapsedUs() - before, qint64(readMs) * 1000);
    QCOMPARE(b.device->flashAt(address, block), data);
    QCOMPARE(b.device->flashAt(address - 1024, 1024), neighbourBefore);

    // Memory travels encoded on the wire both ways.
    QVERIFY(!b.bus.requests().last().contains(data.left(64)));
    QCOMPARE(b.readBlock(address, block), data);

    QVERIFY(b.device->inBootloader());
    b.send(buildRunFrame(0), &ok, 100, 100);
    QVERIFY(ok);
    QCOMPARE(b.device->runCount(), 1);
    QVERIFY(!b.device->inBootloader());
    // The application does not speak the bootloader protocol.
    QVERIFY(b.send(buildConnectFrame(0), &ok, 100, 100).isEmpty());
    QVERIFY(!ok);
}

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
