// The libftdi cable backend through the real libftdi1, libusb and usbdevfs calls, against an FT232R emulated under
// umockdev's preload library, its line being the simulated bus: listing, the settings the chip receives,
// upgrades with fast replies and full windows, DMX, a cable held by another open file, replies across USB packets.
#include <QtTest>

#include <cstdlib>
#include <unistd.h>

#include "core/appstate.h"
#include "core/optionprompts.h"
#include "boot/deviceupgrade.h"
#include "boot/upgradefamily.h"
#include "builders/upgradefile.h"
#include "link/codec.h"
#include "link/libftdidriver.h"
#include "link/cableidentity.h"
#include "link/rs485cable.h"
#include "sim/simulatedbus.h"
#ifdef ZR_HAVE_UMOCKDEV
#include <libusb.h>

#include "tests/support/descriptorimage.h"
#include "tests/support/ft232remulator.h"
#endif

namespace {
#ifdef ZR_HAVE_UMOCKDEV
const QString kCableEntry = QStringLiteral("USB-RS485 Cable S/N: FTZRUSB1");

// A simulated device behind the emulated chip, with the cable that reaches it through libftdi.
struct Rig
{
    explicit Rig(const QByteArray &model = "Zr501", const QString &family = QStringLiteral("STM32F100C8"))
    {
        SimDeviceConfig config;
        config.modelCode = model;
        config.family = family;
        device = bus.addDevice(config);
    }
    bool open() { return cable.open(250000, 8, 2, 0) == 0; }

    SimulatedBus bus{SimulatedBus::Clock::Real};
    Ft232rEmulator chip{&bus};
    LibFtdiDriver driver{makeLibFtdiApi()};
    OptionPrompts prompts;
    RS485Cable cable{nullptr, 250000, 8, 2, 0, &driver, &prompts};
    SimDevice *device = nullptr;
};

using Request = Ft232rEmulator::VendorRequest;

QByteArray deviceReply(quint16 command, quint32 source)
{
    QByteArray reply = buildHeaderFrame(command, HOST_ID);
    putU32(reply, 8, source);
    return withCrc(reply);
}
#endif
} // namespace

class TestUsbCable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cableListed();
    void openSettings();
    void upgrade_data();
    void upgrade();
    void dmxFrame();
    void heldCableRefusesSecondOpen();
    void discardedTransfer();
    void replyAcrossUsbPackets_data();
    void replyAcrossUsbPackets();
};

void TestUsbCable::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
#ifndef ZR_HAVE_UMOCKDEV
    QSKIP("umockdev not found at build time (Debian: umockdev libumockdev-dev): the emulated USB cable is not built");
#elif !defined(ZR_HAVE_LIBFTDI)
    QSKIP("libftdi1 not found at build time (Debian: libftdi1-dev): no libftdi cable backend to test");
#else
    if (!Ft232rEmulator::preloadActive())
        QSKIP("umockdev's preload library (libumockdev-preload.so.0) is not installed");
#endif
}

#ifdef ZR_HAVE_UMOCKDEV
// The device list comes from libusb's enumeration and the chip's string descriptors.
void TestUsbCable::cableListed()
{
    Rig r;
    QVERIFY2(r.chip.error().isEmpty(), qPrintable(r.chip.error()));
    quint32 count = 0;
    QCOMPARE(r.driver.createDeviceInfoList(&count), quint32(FT_OK));
    QCOMPARE(count, 1u);
    quint32 flags = 0, type = 0, id = 0, locId = 0;
    char serial[16] = {}, description[64] = {};
    FtdiDriver::Handle handle = nullptr;
    QCOMPARE(r.driver.getDeviceInfoDetail(0, &flags, &type, &id, &locId, serial, description, &handle), quint32(FT_OK));
    QCOMPARE(QByteArray(serial), QByteArray("FTZRUSB1"));
    QCOMPARE(QByteArray(description), QByteArray("USB-RS485 Cable"));
    QCOMPARE(locId, quint32(1 << 8 | 2)); // bus 1, device 2
    QCOMPARE(r.driver.alternativeSerial(0), QByteArray("usb-001-002"));

    // The cable list names it by description and serial number, and also knows its USB address, which opens it
    // through a driver that has listed nothing (a gang worker's own); listing opened nothing for good.
    const QList<CableIdentity> listed = listCables(r.driver);
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.at(0).label(), QString(kCableEntry));
    QCOMPARE(listed.at(0).openName, QByteArray("usb-001-002"));
    QCOMPARE(listed.at(0).names, QStringList({"FTZRUSB1", "usb-001-002"}));
    {
        LibFtdiDriver fresh{makeLibFtdiApi()};
        OptionPrompts prompts;
        RS485Cable cable{nullptr, 250000, 8, 2, 0, &fresh, &prompts};
        cable.setIdentity(listed.at(0).openName, listed.at(0).serial);
        QVERIFY2(cable.open(250000, 8, 2, 0) == 0, qPrintable(fresh.problem()));
        QCOMPARE(cable.serialNumber(), QByteArray("FTZRUSB1"));
    }
    QVERIFY2(r.open(), qPrintable(r.driver.problem()));
    QCOMPARE(r.cable.serialNumber(), QByteArray("FTZRUSB1"));
}

// What the chip receives when the cable opens: reset, 250000 baud, 8N2, no flow control, RTS, latency 2 ms and
// its read-back, which sets the quiet check of fast replies.
void TestUsbCable::openSettings()
{
    Rig r;
    QVERIFY2(r.chip.error().isEmpty(), qPrintable(r.chip.error()));
    QVERIFY2(r.open(), qPrintable(r.driver.problem()));
    QCOMPARE(r.chip.baudRate(), 250000u);
    QCOMPARE(r.chip.lineProperties(), quint16(0x1008)); // 8 data bits, no parity, 2 stop bits, no break
    QCOMPARE(r.chip.latencyMs(), quint8(2));
    QVERIFY(r.chip.rts());
    QCOMPARE(r.chip.claims(), 1);
    // libftdi's own open (reset, 9600 baud), then the cable's settings in their order; index 1 is interface A.
    QCOMPARE(r.chip.vendorRequests(), QList<Request>({{0x40, 0, 0, 1},        // reset
                                                      {0x40, 3, 0x4138, 0},   // 9600 baud
                                                      {0x40, 0, 0, 1},        // FT_ResetDevice
                                                      {0x40, 3, 0x000C, 0},   // 3 MHz / 12: 250000 baud
                                                      {0x40, 4, 0x1008, 1},   // 8N2, no break
                                                      {0x40, 2, 0x0000, 1},   // no flow control
                                                      {0x40, 0, 2, 1},        // flush what came from the line
                                                      {0x40, 0, 1, 1},        // flush what goes to it
                                                      {0x40, 1, 0x0202, 1},   // RTS on
                                                      {0x40, 9, 2, 1},        // latency timer 2 ms
                                                      {0xC0, 10, 0, 1}}));    // and read back
    QCOMPARE(r.cable.quietMs(), 3);

    // Each exchange: both buffers purged, RTS down for the frame and up again.
    r.chip.clearRequests();
    bool ok = false;
    QCOMPARE(r.cable.transact(buildConnectFrame(0), &ok, 100, 100), deviceReply(CMD_CONNECT, r.device->deviceId()));
    QVERIFY(ok);
    const QList<Request> exchange = r.chip.vendorRequests();
    QCOMPARE(exchange, QList<Request>({{0x40, 0, 2, 1}, {0x40, 0, 1, 1}, {0x40, 1, 0x0200, 1}, {0x40, 1, 0x0202, 1}}));
    r.cable.close();
    QCOMPARE(r.chip.claims(), 0);
}

void TestUsbCable::upgrade_data()
{
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<QString>("family");
    QTest::addColumn<bool>("fast");
    QTest::newRow("Zr440, fast replies") << QByteArray("Zr440") << "STM32F030F4" << true;
    QTest::newRow("Zr440, full windows") << QByteArray("Zr440") << "STM32F030F4" << false;
    QTest::newRow("Zr501, fast replies") << QByteArray("Zr501") << "STM32F100C8" << true;
    QTest::newRow("Zr501, full windows") << QByteArray("Zr501") << "STM32F100C8" << false;
}

// A whole upgrade in real time, every block written and read back through the chip, the flash compared after.
void TestUsbCable::upgrade()
{
    QFETCH(QByteArray, model);
    QFETCH(QString, family);
    QFETCH(bool, fast);
    const UpgradeFamily *row = dispatchFamily(model, connectDispatchOrder());
    QVERIFY(row && QString::fromLatin1(row->name) == family);
    QByteArray image(int(row->imageSize), '\0');
    for (quint32 i = row->firstBlock - FLASH_BASE; i < row->imageSize; ++i)
        image[int(i)] = char((i * 13 + (i >> 7)) & 0xFF);
    nameModelInDescriptor(&image, model, row->firstBlock);
    QTemporaryDir dir;
    const QString path = dir.filePath(QString::fromLatin1(model) + QStringLiteral(".upg"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly)
            && writeUpgradeFile(&file, QString::fromLatin1(model), kUpgradeFileVersion, image));
    file.close();

    Rig r(model, family);
    QVERIFY2(r.chip.error().isEmpty(), qPrintable(r.chip.error()));
    r.cable.setFastReplies(fast);
    QVERIFY2(r.open(), qPrintable(r.driver.problem()));
    AppState state;
    UpgradeRequest request;
    request.file = path;
    QElapsedTimer took;
    took.start();
    const UpgradeOutcome outcome = upgradeDevice(state, r.prompts, r.cable, request);
    qInfo("%s: %.1f s", QTest::currentDataTag(), took.elapsed() / 1000.0);
    QVERIFY2(outcome.result == UpgradeOutcome::Result::Done, qPrintable(outcome.step));
    QCOMPARE(outcome.fastReplies, fast);
    const int first = int(row->firstBlock - FLASH_BASE), size = int(row->end - row->firstBlock);
    QByteArray flash;
    r.chip.withBus([&](SimulatedBus &) { flash = r.device->flash(); });
    QVERIFY(flash.mid(first, size) == image.mid(first, size));
}

// The DMX console's break-and-write: a break on the line (SET_DATA with bit 14, then without) and the 513 bytes.
void TestUsbCable::dmxFrame()
{
    Rig r;
    QVERIFY2(r.chip.error().isEmpty(), qPrintable(r.chip.error()));
    QVERIFY2(r.open(), qPrintable(r.driver.problem()));
    r.chip.clearRequests();
    QByteArray packet(513, '\0');
    for (int i = 1; i < packet.size(); ++i)
        packet[i] = char(i * 3);
    QCOMPARE(r.cable.sendDmxFrame(reinterpret_cast<const quint8 *>(packet.constData()), packet.size()),
             quint32(FT_OK));
    QList<QByteArray> packets;
    r.chip.withBus([&](SimulatedBus &bus) { packets = bus.dmxPackets(); });
    QCOMPARE(packets, QList<QByteArray>{packet});
    const QList<Request> requests = r.chip.vendorRequests();
    const int on = requests.indexOf(Request{0x40, 4, 0x5008, 1});
    QVERIFY(on >= 0);
    QCOMPARE(requests.indexOf(Request{0x40, 4, 0x1008, 1}, on), on + 1);
    QCOMPARE(r.chip.lineProperties(), quint16(0x1008));
}

// The interface belongs to the open file that claimed it: a second program (here a second libusb context) lists
// the cable but cannot open it until the first lets go.
void TestUsbCable::heldCableRefusesSecondOpen()
{
    Rig r;
    QVERIFY2(r.chip.error().isEmpty(), qPrintable(r.chip.error()));
    QVERIFY2(r.open(), qPrintable(r.driver.problem()));
    LibFtdiDriver other(makeLibFtdiApi());
    quint32 count = 0;
    QCOMPARE(other.createDeviceInfoList(&count), quint32(FT_OK));
    QCOMPARE(count, 1u);
    FtdiDriver::Handle handle = nullptr;
    QCOMPARE(other.openBySerialNumber("FTZRUSB1", &handle), quint32(FT_DEVICE_NOT_OPENED));
    QVERIFY(!handle);
    QVERIFY2(other.problem().contains(QLatin1String("FTZRUSB1")), qPrintable(other.problem()));
    // The first still works.
    bool ok = false;
    r.cable.transact(buildConnectFrame(0), &ok, 100, 100);
    QVERIFY(ok);

    r.cable.close();
    QCOMPARE(other.openBySerialNumber("FTZRUSB1", &handle), quint32(FT_OK));
    QCOMPARE(other.close(handle), quint32(FT_OK));
    QCOMPARE(r.chip.claims(), 0);
}

// A transfer the host gives up on: usbdevfs discards its URB, and libusb hands it back as cancelled.
void TestUsbCable::discardedTransfer()
{
    Rig r;
    QVERIFY2(r.chip.error().isEmpty(), qPrintable(r.chip.error()));
    libusb_context *usb = nullptr;
    QCOMPARE(libusb_init(&usb), 0);
    libusb_device_handle *handle = libusb_open_device_with_vid_pid(usb, 0x0403, 0x6001);
    QVERIFY(handle);
    QCOMPARE(libusb_claim_interface(handle, 0), 0);
    // The latency timer at its longest: the chip holds a bulk IN transfer 255 ms before it sends the status.
    QCOMPARE(libusb_control_transfer(handle, 0x40, 9, 255, 1, nullptr, 0, 1000), 0);
    unsigned char buffer[64];
    int status = -1;
    libusb_transfer *transfer = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(
            transfer, handle, 0x81, buffer, sizeof buffer,
            [](libusb_transfer *t) { *static_cast<int *>(t->user_data) = t->status; }, &status, 0);
    QCOMPARE(libusb_submit_transfer(transfer), 0);
    QCOMPARE(r.chip.urbsInFlight(), 1);
    QCOMPARE(libusb_cancel_transfer(transfer), 0);
    QElapsedTimer waited;
    waited.start();
    timeval tick{0, 100000};
    while (status < 0 && waited.elapsed() < 5000)
        libusb_handle_events_timeout(usb, &tick);
    QCOMPARE(status, int(LIBUSB_TRANSFER_CANCELLED));
    QCOMPARE(r.chip.urbsInFlight(), 0);
    libusb_free_transfer(transfer);
    QCOMPARE(libusb_release_interface(handle, 0), 0);
    QCOMPARE(r.chip.claims(), 0);
    libusb_close(handle);
    libusb_exit(usb);
}

void TestUsbCable::replyAcrossUsbPackets_data()
{
    QTest::addColumn<qint64>("gapUs"); // -1: nothing after the reply
    QTest::addColumn<bool>("accepted");
    QTest::newRow("reply alone") << qint64(-1) << true;
    QTest::newRow("bytes 1 ms after the reply") << qint64(1000) << false;
    QTest::newRow("bytes 2 ms after the reply") << qint64(2000) << false;
}

// The chip hands bytes over in USB packets, one a latency period: bytes that follow a reply on the line reach the
// host in the next packet. Fast replies judge them as the full window does.
void TestUsbCable::replyAcrossUsbPackets()
{
    QFETCH(qint64, gapUs);
    QFETCH(bool, accepted);
    for (const bool fast : {false, true}) {
        Rig r;
        QVERIFY2(r.chip.error().isEmpty(), qPrintable(r.chip.error()));
        r.cable.setFastReplies(fast);
        QVERIFY2(r.open(), qPrintable(r.driver.problem()));
        const QByteArray reply = deviceReply(CMD_CONNECT, 0x03D2A001);
        const QByteArray garbage("\x5a\xa5\x01", 3);
        r.chip.withBus([&](SimulatedBus &) {
            r.device->setSilent(true);
            r.bus.injectBytes(reply);
            if (gapUs >= 0)
                r.bus.injectBytesAt(garbage, kSimTurnaroundUs + (reply.size() - 1) * kSimByteUs + gapUs);
        });
        bool ok = !accepted;
        const QByteArray got = r.cable.transact(buildConnectFrame(0), &ok, 100, 100);
        QVERIFY2(ok == accepted, fast ? "fast replies" : "full windows");
        QCOMPARE(got, accepted ? reply : reply + garbage);
    }
}
#else
void TestUsbCable::cableListed() {}
void TestUsbCable::openSettings() {}
void TestUsbCable::upgrade_data() {}
void TestUsbCable::upgrade() {}
void TestUsbCable::dmxFrame() {}
void TestUsbCable::heldCableRefusesSecondOpen() {}
void TestUsbCable::discardedTransfer() {}
void TestUsbCable::replyAcrossUsbPackets_data() {}
void TestUsbCable::replyAcrossUsbPackets() {}
#endif

// The emulated device exists only for a process under umockdev's preload library: without it, the test starts
// itself again with the library preloaded (AddressSanitizer, when built in, is told that it comes second).
int main(int argc, char *argv[])
{
#ifdef ZR_HAVE_UMOCKDEV
    if (!Ft232rEmulator::preloadActive() && QFile::exists(QStringLiteral(UMOCKDEV_PRELOAD))) {
        QByteArray preload = UMOCKDEV_PRELOAD;
        if (!qEnvironmentVariableIsEmpty("LD_PRELOAD"))
            preload += ':' + qgetenv("LD_PRELOAD");
        qputenv("LD_PRELOAD", preload);
        QByteArray asan = qgetenv("ASAN_OPTIONS");
        qputenv("ASAN_OPTIONS", (asan.isEmpty() ? QByteArray() : asan + ':') + "verify_asan_link_order=0");
        ::execv("/proc/self/exe", argv);
        perror("test_usbcable: cannot start again under umockdev's preload library");
        return 1;
    }
#endif
    QCoreApplication app(argc, argv);
    TestUsbCable test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_usbcable.moc"
