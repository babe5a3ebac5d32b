// The simulated bus and its virtual bootloaders, driven through the real cable with the codec's frames.
#include <QtTest>
#include <QElapsedTimer>

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
    void sectorFlashNeedsErase();
    void replyWindows_data();
    void replyWindows();
    void refusedRequests_data();
    void refusedRequests();
    void addressing_data();
    void addressing();
    void powerCycling();
    void applicationIgnoresBootloaderFrames();
    void technicianPowerCyclesAtConnectStart();
    void discoveryAndMute();
    void streamProgramsHeldModel();
    void replyFaults();
    void frameWithWrongCrcIgnored();
    void corruptReadBack();
    void i2cAndRam();
    void realClockWaits();
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

void TestSim::sectorFlashNeedsErase()
{
    Bench b(QStringLiteral("STM32F405RG"));
    const quint32 address = 0x08020000;
    const QByteArray first = pattern(1024, 1), second = pattern(1024, 90);
    bool ok = false;
    b.send(buildDataFrame(CMD_WRITE_MEMORY, 0, address, first), &ok, 300);
    QVERIFY(ok);
    QCOMPARE(b.device->flashAt(address, 1024), first);

    // Programming over programmed flash only clears bits: a missing erase shows as a compare error.
    b.send(buildDataFrame(CMD_WRITE_MEMORY, 0, address, second), &ok, 300);
    QVERIFY(ok);
    QByteArray anded = first;
    for (int i = 0; i < anded.size(); ++i)
        anded[i] = char(quint8(first.at(i)) & quint8(second.at(i)));
    QVERIFY(anded != second);
    QCOMPARE(b.readBlock(address, 1024, 300), anded);

    b.send(buildEraseFrame(0, 5), &ok, 1500);
    QVERIFY(ok);
    QCOMPARE(b.device->eraseCount(), 1);
    QCOMPARE(b.device->flashAt(address, 0x20000), QByteArray(0x20000, char(0xFF)));
    QCOMPARE(b.device->flashAt(0x08040000, 4), QByteArray(4, char(0xFF)));
    b.send(buildDataFrame(CMD_WRITE_MEMORY, 0, address, second), &ok, 300);
    QCOMPARE(b.device->flashAt(address, 1024), second);
}

// Whether a reply arrives inside the caller's read window depends on line time and processing time.
void TestSim::replyWindows_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("readMs");
    QTest::addColumn<bool>("answered");
    const QByteArray write = buildDataFrame(CMD_WRITE_MEMORY, 0, 0x08002000, pattern(1024, 5));
    QTest::newRow("L051C8 write, 140 ms") << "STM32L051C8" << write << 140 << false;
    QTest::newRow("L051C8 write, 1400 ms") << "STM32L051C8" << write << 1400 << true;
    QTest::newRow("F100C8 write, 140 ms") << "STM32F100C8" << write << 140 << true;
    QTest::newRow("F405RG sector erase, 300 ms") << "STM32F405RG" << buildEraseFrame(0, 5) << 300 << false;
    QTest::newRow("F405RG sector erase, 1500 ms") << "STM32F405RG" << buildEraseFrame(0, 5) << 1500 << true;
    QTest::newRow("read 1 KiB, 70 ms") << "STM32F100C8" << buildMemoryFrame(CMD_READ_MEMORY, 0, 0x08000000, 1024)
                                       << 70 << true;
    // Only the first part of the reply fits the window.
    QTest::newRow("read 2 KiB, 70 ms") << "STM32F103RC" << buildMemoryFrame(CMD_READ_MEMORY, 0, 0x08000000, 2048)
                                       << 70 << false;
    QTest::newRow("I2C write 1 KiB, 500 ms") << "STM32F100C8"
                                             << buildDataFrame(CMD_I2C_WRITE, 0, 0, pattern(1024, 2)) << 500 << true;
    QTest::newRow("mute is never answered") << "STM32F100C8" << buildMuteFrame() << 1000 << false;
}

void TestSim::replyWindows()
{
    QFETCH(QString, family);
    QFETCH(QByteArray, frame);
    QFETCH(int, readMs);
    QFETCH(bool, answered);
    Bench b(family);
    bool ok = false;
    const QByteArray reply = b.send(frame, &ok, readMs);
    QCOMPARE(ok, answered);
    if (answered)
        QCOMPARE(reply.size(), int(readU16(reply, 0)));
}

// Requests the bootloader refuses get no reply and change nothing.
void TestSim::refusedRequests_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<QByteArray>("frame");
    const QByteArray block = pattern(1024, 8);
    QTest::newRow("write into the bootloader") << "STM32F100C8"
                                               << buildDataFrame(CMD_WRITE_MEMORY, 0, 0x08001C00, block);
    QTest::newRow("write past the flash end") << "STM32F100C8"
                                              << buildDataFrame(CMD_WRITE_MEMORY, 0, 0x0800FE00, block);
    QTest::newRow("F030F4 bootloader ends at 6 KiB") << "STM32F030F4"
                                                     << buildDataFrame(CMD_WRITE_MEMORY, 0, 0x08001400, block);
    QTest::newRow("read of more than 2 KiB") << "STM32F103RC"
                                             << buildMemoryFrame(CMD_READ_MEMORY, 0, 0x08002000, 4096);
    QTest::newRow("read outside flash and RAM") << "STM32F100C8"
                                                << buildMemoryFrame(CMD_READ_MEMORY, 0, 0x08010000, 16);
    QTest::newRow("erase of the bootloader sector") << "STM32F405RG" << buildEraseFrame(0, 0);
    QByteArray lying = buildDataFrame(CMD_WRITE_MEMORY, 0, 0x08002000, block);
    putU16(lying, 0, 22);
    QTest::newRow("length field does not match") << "STM32F100C8" << lying;
}

void TestSim::refusedRequests()
{
    QFETCH(QString, family);
    QFETCH(QByteArray, frame);
    Bench b(family);
    const QByteArray before = b.device->flash();
    bool ok = true;
    QVERIFY(b.send(frame, &ok, 1500).isEmpty());
    QVERIFY(!ok);
    QCOMPARE(b.device->flash(), before);
    QCOMPARE(b.device->eraseCount(), 0);
    // Still in its bootloader and answering.
    b.send(buildConnectFrame(0), &ok, 100);
    QVERIFY(ok);
}

void TestSim::addressing_data()
{
    QTest::addColumn<quint32>("destination");
    QTest::addColumn<bool>("answered");
    QTest::newRow("its own ID") << 0x03D2A001u << true;
    QTest::newRow("0 after a connect") << 0u << true;
    QTest::newRow("everybody") << 0xFFFFFFFFu << true;
    QTest::newRow("another device") << 0x03D2A002u << false;
}

void TestSim::addressing()
{
    QFETCH(quint32, destination);
    QFETCH(bool, answered);
    Bench b;
    bool ok = false;
    const QByteArray reply = b.send(buildMemoryFrame(CMD_READ_MEMORY, destination, kSimDescriptorAddress, 64), &ok, 100);
    QCOMPARE(ok, answered);
    if (!answered)
        return;
    QCOMPARE(readU32(reply, 8), 0x03D2A001u);
    QCOMPARE(readU32(reply, 12), kSimDescriptorAddress);
    QCOMPARE(readU32(reply, 16), 64u);
    QByteArray descriptor = reply.mid(20, 64);
    DecodeImage(descriptor.data(), 64);
    QCOMPARE(descriptor.left(6), QByteArray("Zr501\0", 6));
    QCOMPARE(descriptor.mid(32, 8), QByteArray("BL 1.07\0", 8));
}

void TestSim::powerCycling()
{
    Bench b(QStringLiteral("STM32F100C8"), 3);
    bool ok = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        QVERIFY(b.send(buildConnectFrame(0), &ok, 100, 100).isEmpty());
        QVERIFY(!b.device->inBootloader() || attempt == 2);
    }
    b.send(buildConnectFrame(0), &ok, 100, 100);
    QVERIFY(ok);

    // After CMD_RUN the application runs; a power cycle opens the bootloader window again, for a while.
    b.send(buildRunFrame(0), &ok, 100, 100);
    b.device->powerCycle();
    QVERIFY(b.device->inBootloader());
    b.send(buildConnectFrame(0x12345678), &ok, 1100); // nobody answers; time passes
    QVERIFY(!b.device->inBootloader());
    b.send(buildConnectFrame(0), &ok, 100, 100);
    QVERIFY(!ok);

    b.device->powerCycle();
    b.send(buildConnectFrame(0), &ok, 100, 100);
    QVERIFY(ok);
    b.send(buildConnectFrame(0x12345678), &ok, 1500);
    QVERIFY(b.device->inBootloader()); // held by the connect
}

void TestSim::applicationIgnoresBootloaderFrames()
{
    Bench b;
    bool ok = false;
    b.send(buildRunFrame(0), &ok, 100, 100);
    QVERIFY(ok);
    // Nobody at the bench: the application answers no bootloader command, Connect included, however often.
    for (const QByteArray &frame : {buildConnectFrame(0), buildMemoryFrame(CMD_READ_MEMORY, 0, 0x08001FC0, 64),
                                    buildDiscoveryFrame(0, 0xFFFFFFFF), buildRunFrame(0)}) {
        for (int attempt = 0; attempt < 10; ++attempt)
            QVERIFY(b.send(frame, &ok, 100, 100).isEmpty());
    }
    QVERIFY(!b.device->inBootloader());
    QCOMPARE(b.device->technicianPowerCycles(), 0);

    // It listens to DMX512: every packet with start code 0 while it runs; the bus counts every packet.
    const quint8 dimmer[25] = {0, 255, 128};
    const quint8 otherStartCode[25] = {0xCC};
    QCOMPARE(b.cable.sendDmxFrame(dimmer, 25), quint32(FT_OK));
    b.cable.sendDmxFrame(dimmer, 25);
    b.cable.sendDmxFrame(otherStartCode, 25);
    QCOMPARE(b.device->dmxPacketsTaken(), 2);
    QCOMPARE(b.bus.dmxPacketCount(), 3);
    // In its bootloader it takes none.
    b.device->powerCycle();
    b.cable.sendDmxFrame(dimmer, 25);
    QCOMPARE(b.device->dmxPacketsTaken(), 2);
    QCOMPARE(b.bus.dmxPacketCount(), 4);
}

void TestSim::technicianPowerCyclesAtConnectStart()
{
    SimulatedBus bus;
    ScriptedPrompts prompts;
    RS485Cable cable(nullptr, 250000, 8, 2, 0, &bus, &prompts);
    SimDeviceConfig config;
    config.modelCode = "Zr501";
    config.silentConnects = 3;
    config.technician = true;
    SimDevice *device = bus.addDevice(config);
    prompts.item(QStringLiteral("USB-RS485 Cable (simulated bus) S/N: ZRSIM001"));
    bool ok = false;
    // Attempts of one run until the device answers; -1 if it does not within `limit`.
    const auto connectRun = [&](const QByteArray &frame, int limit) {
        for (int attempt = 1; attempt <= limit; ++attempt) {
            cable.transact(frame, &ok, 100, 100);
            if (ok)
                return attempt;
        }
        return -1;
    };
    QCOMPARE(connectRun(buildConnectFrame(0), 10), 4); // switched off at the start: the first power-up
    QCOMPARE(device->technicianPowerCycles(), 0);

    cable.transact(buildRunFrame(0), &ok, 100, 100);
    QCOMPARE(connectRun(buildConnectFrame(0), 10), 4); // the run began with the application running
    QCOMPARE(device->technicianPowerCycles(), 1);
    QCOMPARE(connectRun(buildConnectFrame(0), 10), 1); // held: nothing to do for the technician
    QCOMPARE(device->technicianPowerCycles(), 1);

    // A stream for another model sends it to its application; the same run does not bring it back.
    cable.transact(buildStreamConnectFrame(0, "Zr556", 0), &ok, 100, 100);
    QVERIFY(!device->inBootloader());
    QCOMPARE(connectRun(buildConnectFrame(0), 10), -1);
    QCOMPARE(device->technicianPowerCycles(), 1);
    // After a second of quiet the next connect frame begins a new run.
    cable.transact(buildConnectFrame(0x12345678), &ok, 1100, 0); // for nobody; time passes
    QCOMPARE(connectRun(buildConnectFrame(0), 10), 4);
    QCOMPARE(device->technicianPowerCycles(), 2);
}

void TestSim::discoveryAndMute()
{
    Bench b;
    SimDeviceConfig second;
    second.deviceId = 0x03D2A0F0;
    b.bus.addDevice(second);
    bool ok = false;
    // Both answer at once: the bytes collide.
    const QByteArray garbled = b.send(buildDiscoveryFrame(0, 0xFFFFFFFF), &ok, 20);
    QVERIFY(!garbled.isEmpty());
    QVERIFY(!ok);

    const QByteArray one = b.send(buildDiscoveryFrame(0x03D2A000, 0x03D2A00F), &ok, 20);
    QVERIFY(ok);
    QCOMPARE(readU32(one, 8), 0x03D2A001u);

    QVERIFY(b.send(buildMuteFrame(), &ok, 10).isEmpty());
    QVERIFY(b.bus.devices().at(1)->muted());
    QVERIFY(b.send(buildDiscoveryFrame(0, 0xFFFFFFFF), &ok, 20).isEmpty());
    QVERIFY(b.send(buildUnmuteFrame(), &ok, 10).isEmpty());
    b.send(buildDiscoveryFrame(0x03D2A0F0, 0x03D2A0F0), &ok, 20);
    QVERIFY(ok);
}

void TestSim::streamProgramsHeldModel()
{
    SimulatedBus bus;
    ScriptedPrompts prompts;
    RS485Cable cable(nullptr, 250000, 8, 2, 0, &bus, &prompts);
    SimDeviceConfig lamp, other;
    lamp.modelCode = "Zr556";
    lamp.deviceId = 0x05A46001;
    other.deviceId = 0x05A46002;
    SimDevice *held = bus.addDevice(lamp);
    SimDevice *left = bus.addDevice(other);
    held->powerCycle(); // in its bootloader window
    QVERIFY(left->inBootloader()); // held already, by an earlier connect
    prompts.item(QStringLiteral("USB-RS485 Cable (simulated bus) S/N: ZRSIM001"));

    bool ok = true;
    QVERIFY(cable.transact(buildStreamConnectFrame(0, "Zr556", 0), &ok, 100, 100).isEmpty());
    QVERIFY(!left->inBootloader()); // another model's stream: it starts its application
    cable.transact(buildConnectFrame(0x12345678), &ok, 1500, 0); // past the bootloader window
    QVERIFY(held->inBootloader());
    QVERIFY(!left->inBootloader());

    const QByteArray block = pattern(1024, 44);
    QVERIFY(cable.transact(buildDataFrame(CMD_STREAM_WRITE, 0, 0x08002000, block), &ok, 140, 0).isEmpty());
    QVERIFY(!ok);
    QCOMPARE(held->flashAt(0x08002000, 1024), block);
    QCOMPARE(left->flashAt(0x08002000, 1024), QByteArray(1024, char(0xFF)));
}

void TestSim::replyFaults()
{
    Bench b;
    bool ok = true;
    b.bus.dropReplies(1);
    QVERIFY(b.send(buildConnectFrame(0), &ok, 100).isEmpty());
    b.send(buildConnectFrame(0), &ok, 100);
    QVERIFY(ok);

    b.bus.corruptReplies(1);
    const QByteArray bad = b.send(buildConnectFrame(0), &ok, 100);
    QVERIFY(!ok);
    QCOMPARE(bad.size(), kFrameHeaderSize + kCrcSize);
}

// Straight through the driver, which lets a frame go out with a wrong CRC: the bootloader ignores it.
void TestSim::frameWithWrongCrcIgnored()
{
    SimulatedBus bus;
    SimDevice *device = bus.addDevice(SimDeviceConfig());
    FtdiDriver::Handle h = nullptr;
    QCOMPARE(bus.openBySerialNumber("ZRSIM001", &h), quint32(FT_OK));
    bus.setBaudRate(h, 250000);
    bus.setDataCharacteristics(h, 8, 2, 0);
    bus.setTimeouts(h, 140, 0);
    const QByteArray good = withCrc(buildDataFrame(CMD_WRITE_MEMORY, 0, 0x08002000, pattern(1024, 1)));
    QByteArray bad = good;
    bad[30] = char(bad.at(30) ^ 1);
    QByteArray buffer(2560, '\0');
    quint32 count = 0;
    for (const QByteArray &frame : {bad, good}) {
        bus.write(h, frame.constData(), quint32(frame.size()), &count);
        bus.read(h, buffer.data(), 2560, &count);
        QCOMPARE(count, frame == good ? 14u : 0u);
        QCOMPARE(device->flashAt(0x08002000, 1024) == pattern(1024, 1), frame == good);
    }
}

void TestSim::corruptReadBack()
{
    Bench b;
    const QByteArray block = pattern(1024, 12);
    bool ok = false;
    b.send(buildDataFrame(CMD_WRITE_MEMORY, 0, 0x08002400, block), &ok, 140);
    b.device->corruptReadBack(0x08002400, 1);
    const QByteArray reply = b.send(buildMemoryFrame(CMD_READ_MEMORY, 0, 0x08002400, 1024), &ok, 140);
    QVERIFY(ok); // the CRC is right, the data are not
    QByteArray data = reply.mid(20, 1024);
    DecodeImage(data.data(), data.size());
    QVERIFY(data != block);
    QCOMPARE(b.device->flashAt(0x08002400, 1024), block);
    QCOMPARE(b.readBlock(0x08002400, 1024), block);
}

void TestSim::i2cAndRam()
{
    Bench b;
    bool ok = false;
    const QByteArray bytes = pattern(512, 77);
    b.send(buildDataFrame(CMD_I2C_WRITE, 0, 0x10, bytes), &ok, 500);
    QVERIFY(ok);
    QCOMPARE(b.device->i2c().mid(0x10, 512), bytes); // I2C data travel plain
    const QByteArray reply = b.send(buildMemoryFrame(CMD_I2C_READ, 0, 0x10, 512), &ok, 200, 200);
    QVERIFY(ok);
    QCOMPARE(reply.mid(20, 512), bytes);

    b.send(buildDataFrame(CMD_WRITE_RAM, 0, 0x20001000, bytes), &ok, 200, 200);
    QVERIFY(ok);
    QCOMPARE(b.device->ram().mid(0x1000, 512), bytes);
    b.send(buildRunRamFrame(0), &ok, 100, 100);
    QVERIFY(ok);
    QCOMPARE(b.device->runRamCount(), 1);
}

void TestSim::realClockWaits()
{
    SimulatedBus bus(SimulatedBus::Clock::Real);
    ScriptedPrompts prompts;
    RS485Cable cable(nullptr, 250000, 8, 2, 0, &bus, &prompts);
    prompts.item(QStringLiteral("USB-RS485 Cable (simulated bus) S/N: ZRSIM001"));
    QVERIFY(cable.ensureOpen());
    QElapsedTimer wall;
    wall.start();
    bool ok = true;
    QVERIFY(cable.transact(buildConnectFrame(0), &ok, 30, 0).isEmpty());
    QVERIFY(wall.elapsed() >= 29);
    QVERIFY(bus.elapsedUs() >= 29000);
}

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
