// The cable backends: fallback order and the "why no cable" line, the serial-port driver on a pseudo-terminal, the
// libftdi driver's read loop against a fake libftdi.
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "app/flasher.h"
#include "link/cabledrivers.h"
#include "link/cableidentity.h"
#include "link/codec.h"
#include "link/libftdidriver.h"
#include "link/rs485cable.h"
#include "link/serialportdriver.h"
#include "sim/simulatedbus.h"
#include "tests/support/scriptedprompts.h"

namespace {
// A backend with the cables it sees and the reason it gives when it sees none.
class FakeBackend : public SimulatedBus
{
public:
    FakeBackend(const QList<QPair<QByteArray, QByteArray>> &cables, const QString &why,
                const QByteArray &otherName = QByteArray())
        : m_why(why), m_otherName(otherName)
    {
        setCables(cables);
    }
    QString problem() const override { return m_why; }
    QByteArray alternativeSerial(quint32) const override { return m_otherName; }
    // The other name opens the (first) cable too, as a port name does.
    Status openBySerialNumber(const char *name, Handle *handle) override
    {
        Status s = SimulatedBus::openBySerialNumber(name, handle);
        if (s != FT_OK && !m_otherName.isEmpty() && m_otherName == name) {
            setCables({{QByteArray("FT232R USB UART"), QByteArray(name)}});
            s = SimulatedBus::openBySerialNumber(name, handle);
        }
        return s;
    }

private:
    QString m_why;
    QByteArray m_otherName;
};

using Cables = QList<QPair<QByteArray, QByteArray>>;

// A pseudo-terminal of the test's own: the test plays the devices on the master side.
struct Pty
{
    int master = -1;
    QString path;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        path = QString::fromLatin1(ptsname(master));
    }
    ~Pty()
    {
        if (master >= 0)
            ::close(master);
    }
    bool send(const QByteArray &bytes) const
    {
        return ::write(master, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
    }
    QByteArray receive(int waitMs) const
    {
        QByteArray out;
        pollfd p{master, POLLIN, 0};
        while (poll(&p, 1, waitMs) > 0) {
            char buffer[512];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            out.append(buffer, int(n));
            waitMs = 20;
        }
        return out;
    }
};

// A libftdi stand-in: one device, reads served from a script of chunks.
class FakeLibFtdi : public LibFtdiApi
{
public:
    QList<Device> devices;
    QString listError;
    QList<QByteArray> chunks; // what successive read calls return (empty: nothing yet); then nothing
    int failReadAt = -1;      // this read call fails
    QStringList calls;
    int reads = 0;

    bool list(QList<Device> *out, QString *error) override
    {
        *out = devices;
        *error = listError;
        return listError.isEmpty();
    }
    void *open(quint8 bus, quint8 address, QString *) override
    {
        calls << QStringLiteral("open(%1,%2)").arg(bus).arg(address);
        return this;
    }
    void close(void *) override { calls << QStringLiteral("close"); }
    int reset(void *) override { return 0; }
    int setBaudRate(void *, int baud) override
    {
        calls << QStringLiteral("baud(%1)").arg(baud);
        return 0;
    }
    int setLineProperty(void *, int bits, int stopBits, int parity, bool breakOn) override
    {
        calls << QStringLiteral("line(%1,%2,%3,%4)").arg(bits).arg(stopBits).arg(parity).arg(breakOn ? "on" : "off");
        return 0;
    }
    int setFlowControl(void *, int) override { return 0; }
    int setLatencyTimer(void *, quint8 ms) override
    {
        calls << QStringLiteral("latency(%1)").arg(ms);
        return 0;
    }
    int getLatencyTimer(void *, quint8 *ms) override
    {
        *ms = 2;
        return 0;
    }
    int purge(void *, bool rx, bool tx) override
    {
        calls << QStringLiteral("purge(%1,%2)").arg(rx).arg(tx);
        return 0;
    }
    int setRts(void *, bool on) override
    {
        calls << QStringLiteral("rts(%1)").arg(on);
        return 0;
    }
    int write(void *, const quint8 *, int size) override { return size; }
    int read(void *, quint8 *bytes, int size) override
    {
        if (reads++ == failReadAt)
            return -1;
        if (chunks.isEmpty())
            return 0;
        const QByteArray chunk = chunks.takeFirst().left(size);
        memcpy(bytes, chunk.constData(), size_t(chunk.size()));
        return chunk.size();
    }
};

QStringList messages(Flasher &window)
{
    const QString text = window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"))->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}
} // namespace

class TestCables : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }
    void fallbackOrder_data();
    void fallbackOrder();
    void noCableReason();
    void backendChoice_data();
    void backendChoice();
    void serialPortOnPseudoTerminal();
    void serialPortReadLimit();
    void latencyTimerFile();
    void libFtdiRead_data();
    void libFtdiRead();
    void libFtdiCalls();
    void libFtdiEnumeration();
    void realCable();
};

void TestCables::fallbackOrder_data()
{
    QTest::addColumn<Cables>("d2xx");
    QTest::addColumn<Cables>("libftdi");
    QTest::addColumn<Cables>("serial");
    QTest::addColumn<QStringList>("listed"); // the cable dialog's entries, in order
    QTest::addColumn<int>("choice");
    QTest::addColumn<int>("opensThrough"); // index of the backend that opens the chosen entry
    QTest::addColumn<QString>("openedAs");
    QTest::addColumn<QByteArray>("otherName"); // what the serial backend calls its devices besides their serial

    const Cables none;
    const Cables ftdi = {{"FT232R USB UART", "A10KXYZ1"}};
    const Cables pty = {{"Serial port", "/dev/pts/7"}};
    QTest::newRow("no D2XX: libftdi, then serial ports")
            << none << ftdi << pty << QStringList({"FT232R USB UART S/N: A10KXYZ1", "Serial port S/N: /dev/pts/7"})
            << 1 << 2 << "/dev/pts/7" << QByteArray();
    QTest::newRow("D2XX first") << Cables({{"USB-RS485 Cable", "FT5R8K2Q"}}) << none << pty
                                << QStringList({"USB-RS485 Cable S/N: FT5R8K2Q", "Serial port S/N: /dev/pts/7"}) << 0
                                << 0 << "FT5R8K2Q" << QByteArray();
    QTest::newRow("serial ports only") << none << none << pty << QStringList({"Serial port S/N: /dev/pts/7"}) << 0
                                       << 2 << "/dev/pts/7" << QByteArray();
    // The same cable through libftdi and through the kernel's serial driver: both listed, each tagged.
    QTest::newRow("one cable, two backends")
            << none << ftdi << Cables({{"FT232R USB UART", "A10KXYZ1"}})
            << QStringList({"FT232R USB UART [libftdi] S/N: A10KXYZ1", "FT232R USB UART [serial] S/N: A10KXYZ1#2"})
            << 1 << 2 << "A10KXYZ1" << QByteArray();
    QTest::newRow("one cable, two backends, by port name")
            << none << ftdi << ftdi
            << QStringList({"FT232R USB UART [libftdi] S/N: A10KXYZ1", "FT232R USB UART [serial] S/N: ttyUSB0"})
            << 1 << 2 << "ttyUSB0" << QByteArray("ttyUSB0");
}

void TestCables::fallbackOrder()
{
    QFETCH(Cables, d2xx);
    QFETCH(Cables, libftdi);
    QFETCH(Cables, serial);
    QFETCH(QStringList, listed);
    QFETCH(int, choice);
    QFETCH(int, opensThrough);
    QFETCH(QString, openedAs);
    QFETCH(QByteArray, otherName);

    std::vector<CableDrivers::Backend> backends;
    QList<SimulatedBus *> fakes;
    for (const auto &[name, cables] : {std::pair{"d2xx", d2xx}, {"libftdi", libftdi}, {"serial", serial}}) {
        auto fake = std::make_unique<FakeBackend>(cables, QString(), QByteArray(name) == "serial" ? otherName : QByteArray());
        fakes << fake.get();
        backends.push_back({QString::fromLatin1(name), std::move(fake)});
    }
    CableDrivers drivers(std::move(backends));
    // Listed for choosing by name, the entries are the dialog's; a cable seen through two backends is marked on its
    // later entry, so that a gang over every cable takes it once.
    const QList<CableIdentity> identities = listCables(drivers);
    QStringList labels;
    for (const CableIdentity &c : identities) {
        labels << c.label();
        QCOMPARE(c.listedBefore, c.description.endsWith("[serial]"));
    }
    QCOMPARE(labels, listed);

    ScriptedPrompts prompts;
    RS485Cable cable(nullptr, 250000, 8, 2, 0, &drivers, &prompts);
    prompts.item(listed.at(choice));
    QVERIFY(cable.ensureOpen());
    QVERIFY(prompts.allAnswered());
    QCOMPARE(prompts.shown.first().items, listed);
    for (int i = 0; i < fakes.size(); ++i)
        QCOMPARE(fakes.at(i)->isOpen(), i == opensThrough);
    QVERIFY(fakes.at(opensThrough)->calls().contains("FT_OpenEx(" + openedAs + ")"));
    // Everything after the open reaches that backend, with the cable's own settings.
    QVERIFY(fakes.at(opensThrough)->calls().contains("FT_SetDataCharacteristics(8,2,0)"));
    bool ok = false;
    cable.transact(QByteArray(12, '\0'), &ok, 10, 10);
    QVERIFY(fakes.at(opensThrough)->calls().contains("FT_Write(14)"));
    cable.close();
    QVERIFY(!fakes.at(opensThrough)->isOpen());
}

// Nothing anywhere: the "Cable Error" box, then one line of our own with every backend's reason, then the action's.
void TestCables::noCableReason()
{
    std::vector<CableDrivers::Backend> backends;
    backends.push_back({"d2xx", std::make_unique<FakeBackend>(Cables(), "FTDI D2XX library not found")});
    backends.push_back({"libftdi", std::make_unique<FakeBackend>(Cables(), QString())});
    backends.push_back({"serial", std::make_unique<FakeBackend>(Cables(), "no serial ports found")});
    CableDrivers drivers(std::move(backends));
    ScriptedPrompts prompts;
    Flasher window(&prompts, &drivers);
    prompts.critical(Prompts::Ok);
    QVERIFY(QMetaObject::invokeMethod(&window, "slotRunRAM"));
    QVERIFY(prompts.allAnswered());
    QCOMPARE(prompts.shown.first().title, QStringLiteral("Cable Error"));
    QCOMPARE(prompts.shown.first().text, QStringLiteral("Connect USB Cable!"));
    QCOMPARE(messages(window), QStringList({"FTDI D2XX library not found; libftdi: no cable found; no serial ports found",
                                            "Connect USB Cable !!!"}));

    // A port that will not open: the reason of the backend that failed.
    SerialPortDriver serial;
    FtdiDriver::Handle handle = nullptr;
    QVERIFY(serial.openBySerialNumber("/dev/pts/999999", &handle) != FT_OK);
    QCOMPARE(serial.problem(), QStringLiteral("/dev/pts/999999: no such serial port"));
}

void TestCables::backendChoice_data()
{
    QTest::addColumn<QString>("pinned");
    QTest::addColumn<QStringList>("backends"); // empty: refused
    QStringList all = {"d2xx"};
    if (makeLibFtdiApi())
        all << "libftdi";
    all << "serial";
    QTest::newRow("all, in fallback order") << QString() << all;
    QTest::newRow("serial") << "serial" << QStringList({"serial"});
    QTest::newRow("d2xx") << "d2xx" << QStringList({"d2xx"});
    QTest::newRow("unknown") << "usb" << QStringList();
}

void TestCables::backendChoice()
{
    QFETCH(QString, pinned);
    QFETCH(QStringList, backends);
    QString error;
    const std::unique_ptr<CableDrivers> drivers = makeCableDrivers(pinned, {}, &error);
    if (backends.isEmpty()) {
        QVERIFY(!drivers);
        QCOMPARE(error, QStringLiteral("unknown cable backend \"usb\" (d2xx, libftdi, serial)"));
        return;
    }
    QVERIFY(drivers);
    QCOMPARE(drivers->backendNames(), backends);
}

// The port zrsim or a USB adapter gives: listed by name, opened by it, bytes both ways, calls a pseudo-terminal
// refuses (RTS, break, latency) harmless.
void TestCables::serialPortOnPseudoTerminal()
{
    Pty pty;
    QVERIFY(!pty.path.isEmpty());
    SerialPortDriver driver({pty.path});
    ScriptedPrompts prompts;
    RS485Cable cable(nullptr, 250000, 8, 2, 0, &driver, &prompts);
    const QString entry = QStringLiteral("Serial port S/N: ") + pty.path;
    prompts.item(entry);
    QVERIFY(cable.ensureOpen());
    QVERIFY(prompts.shown.first().items.contains(entry));

    bool ok = false;
    // The "device" answers the connect frame with a correct reply after reading it off the line.
    const QByteArray reply = withCrc(QByteArray::fromHex("0e00010000000000ab907856").replace(4, 4, "\x2a\xc0\x79\x03"));
    // The "device" reads the request off the line and answers it meanwhile.
    QByteArray request;
    std::thread device([&] {
        request = pty.receive(2000);
        if (request.size() == 14)
            pty.send(reply);
    });
    const QByteArray got = cable.transact(buildConnectFrame(0), &ok, 300, 100);
    device.join();
    QCOMPARE(request, withCrc(buildConnectFrame(0)));
    QCOMPARE(got, reply);
    QVERIFY(ok);

    // DMX: break calls do not stop the bytes.
    const quint8 packet[4] = {0, 1, 2, 3};
    QCOMPARE(cable.sendDmxFrame(packet, 4), quint32(FT_OK));
    QCOMPARE(pty.receive(500), QByteArray::fromHex("00010203"));
    cable.close();
}

// FT_Read semantics: back as soon as the requested bytes are in, else at the limit with what came.
void TestCables::serialPortReadLimit()
{
    Pty pty;
    QVERIFY(!pty.path.isEmpty());
    SerialPortDriver driver({pty.path});
    FtdiDriver::Handle h = nullptr;
    QCOMPARE(driver.openBySerialNumber(pty.path.toLatin1().constData(), &h), quint32(FT_OK));
    driver.setTimeouts(h, 150, 100);
    char buffer[2560];
    quint32 received = 0;

    QVERIFY(pty.send("abcde"));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(driver.read(h, buffer, 2560, &received), quint32(FT_OK));
    QVERIFY2(timer.elapsed() >= 145, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(QByteArray(buffer, int(received)), QByteArray("abcde"));

    QVERIFY(pty.send("0123456789"));
    driver.setTimeouts(h, 60000, 100);
    timer.restart();
    QCOMPARE(driver.read(h, buffer, 4, &received), quint32(FT_OK));
    QVERIFY(timer.elapsed() < 30000); // did not wait for the limit
    QCOMPARE(QByteArray(buffer, int(received)), QByteArray("0123"));
    // Purge drops what is left; a limit of 0 returns at once.
    QTest::qWait(50);
    driver.purge(h, FT_PURGE_RX | FT_PURGE_TX);
    driver.setTimeouts(h, 0, 100);
    QCOMPARE(driver.read(h, buffer, 2560, &received), quint32(FT_OK));
    QCOMPARE(received, 0u);

    quint32 written = 0;
    QCOMPARE(driver.write(h, "xyz", 3, &written), quint32(FT_OK));
    QCOMPARE(written, 3u);
    QCOMPARE(pty.receive(500), QByteArray("xyz"));
    QCOMPARE(driver.close(h), quint32(FT_OK));
    QCOMPARE(driver.close(h), quint32(FT_INVALID_HANDLE));
}

void TestCables::latencyTimerFile()
{
    QTemporaryDir sys;
    QVERIFY(QDir().mkpath(sys.filePath("class/tty/ttyUSB0/device")));
    QFile file(sys.filePath("class/tty/ttyUSB0/device/latency_timer"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("16\n");
    file.close();
    QCOMPARE(::latencyTimerFile("ttyUSB0", sys.path()), file.fileName());
    QCOMPARE(::latencyTimerFile("ttyS0", sys.path()), QString());
}

void TestCables::libFtdiRead_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<int>("reads"); // read calls made; -1: until the limit (at least 2)
    QTest::newRow("all at once") << QList<QByteArray>({"0123456789"}) << 10 << 60000 << QByteArray("0123456789") << 1;
    QTest::newRow("in pieces with gaps") << QList<QByteArray>({"012", "", "", "3456", "", "789"}) << 10 << 60000
                                        << QByteArray("0123456789") << 6;
    QTest::newRow("more than asked stays for the next read")
            << QList<QByteArray>({"01", "23456"}) << 4 << 60000 << QByteArray("0123") << 2;
    QTest::newRow("reply shorter than the buffer: to the limit")
            << QList<QByteArray>({"", "abc"}) << 2560 << 40 << QByteArray("abc") << -1;
    QTest::newRow("silence: to the limit") << QList<QByteArray>() << 2560 << 40 << QByteArray() << -1;
    QTest::newRow("limit 0: one call") << QList<QByteArray>({"ab", "cd"}) << 2560 << 0 << QByteArray("ab") << 1;
}

void TestCables::libFtdiRead()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(int, length);
    QFETCH(int, limitMs);
    QFETCH(QByteArray, received);
    QFETCH(int, reads);
    auto api = std::make_unique<FakeLibFtdi>();
    FakeLibFtdi *fake = api.get();
    fake->devices = {{"FT232R USB UART", "A10KXYZ1", 1, 5}};
    fake->chunks = chunks;
    LibFtdiDriver driver(std::move(api));
    quint32 count = 0;
    driver.createDeviceInfoList(&count);
    FtdiDriver::Handle h = nullptr;
    QCOMPARE(driver.openBySerialNumber("A10KXYZ1", &h), quint32(FT_OK));
    driver.setTimeouts(h, quint32(limitMs), 0);
    QByteArray buffer(2560, '\0');
    quint32 got = 0;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(driver.read(h, buffer.data(), quint32(length), &got), quint32(FT_OK));
    QCOMPARE(buffer.left(int(got)), received);
    if (reads < 0) {
        QVERIFY(timer.elapsed() >= limitMs);
        QVERIFY(fake->reads >= 2);
    } else {
        QCOMPARE(fake->reads, reads);
    }
}

// The calls behind the cable's open and a DMX break, and a failing read.
void TestCables::libFtdiCalls()
{
    auto api = std::make_unique<FakeLibFtdi>();
    FakeLibFtdi *fake = api.get();
    fake->devices = {{"FT232R USB UART", "A10KXYZ1", 1, 5}, {"USB-RS485 Cable", "FT5R8K2Q", 3, 9}};
    LibFtdiDriver driver(std::move(api));
    ScriptedPrompts prompts;
    RS485Cable cable(nullptr, 250000, 8, 2, 0, &driver, &prompts);
    prompts.item(QStringLiteral("USB-RS485 Cable S/N: FT5R8K2Q"));
    QVERIFY(cable.ensureOpen());
    QCOMPARE(prompts.shown.first().items,
             QStringList({"FT232R USB UART S/N: A10KXYZ1", "USB-RS485 Cable S/N: FT5R8K2Q"}));
    QCOMPARE(fake->calls, QStringList({"open(3,9)", "baud(250000)", "line(8,2,0,off)", "purge(1,0)",
                                       "purge(0,1)", "rts(1)", "latency(2)"}));
    fake->calls.clear();
    const quint8 packet[2] = {0, 255};
    cable.sendDmxFrame(packet, 2);
    QCOMPARE(fake->calls,
             QStringList({"rts(0)", "purge(1,1)", "line(8,2,0,on)", "line(8,2,0,off)"}));
    QCOMPARE(driver.alternativeSerial(1), QByteArray("usb-003-009"));

    fake->failReadAt = fake->reads;
    bool ok = true;
    QVERIFY(cable.transact(QByteArray(12, '\0'), &ok, 50, 50).isEmpty());
    QVERIFY(!ok);
    cable.close();
    QCOMPARE(fake->calls.last(), QStringLiteral("close"));
}

void TestCables::libFtdiEnumeration()
{
    auto api = std::make_unique<FakeLibFtdi>();
    api->listError = QStringLiteral("libusb_init() failed");
    LibFtdiDriver failing(std::move(api));
    quint32 count = 7;
    QCOMPARE(failing.createDeviceInfoList(&count), quint32(FT_OK));
    QCOMPARE(count, 0u);
    QCOMPARE(failing.problem(), QStringLiteral("libftdi: libusb_init() failed"));
    FtdiDriver::Handle h = nullptr;
    QCOMPARE(failing.openBySerialNumber("A10KXYZ1", &h), quint32(FT_DEVICE_NOT_FOUND));

    // The real libftdi on a machine without an FTDI device (CI, this bench without a cable).
    std::unique_ptr<LibFtdiApi> real = makeLibFtdiApi();
    if (!real)
        QSKIP("built without libftdi1");
    if (qEnvironmentVariableIsSet("ZR_TEST_CABLE"))
        QSKIP("a real cable is attached");
    LibFtdiDriver driver(std::move(real));
    count = 7;
    QCOMPARE(driver.createDeviceInfoList(&count), quint32(FT_OK));
    QCOMPARE(count, 0u);
    QVERIFY2(driver.problem().startsWith("libftdi: "), qPrintable(driver.problem()));
}

// On a bench with hardware: ZR_TEST_CABLE names the cable (serial number or port), ZR_TEST_CABLE_BACKEND may pin
// the backend. The cable opens with the cable's settings and carries a connect frame; a device need not answer.
void TestCables::realCable()
{
    const QByteArray name = qgetenv("ZR_TEST_CABLE");
    if (name.isEmpty())
        QSKIP("no cable named in ZR_TEST_CABLE");
    QString error;
    const std::unique_ptr<CableDrivers> drivers =
            makeCableDrivers(qEnvironmentVariable("ZR_TEST_CABLE_BACKEND"), {QString::fromLocal8Bit(name)}, &error);
    QVERIFY2(drivers, qPrintable(error));
    quint32 count = 0;
    drivers->createDeviceInfoList(&count);
    FtdiDriver::Handle h = nullptr;
    QVERIFY2(drivers->openBySerialNumber(name.constData(), &h) == FT_OK, qPrintable(drivers->problem()));
    QCOMPARE(drivers->setBaudRate(h, 250000), quint32(FT_OK));
    QCOMPARE(drivers->setDataCharacteristics(h, 8, 2, 0), quint32(FT_OK));
    drivers->setLatencyTimer(h, 2);
    quint8 latency = 0;
    if (drivers->getLatencyTimer(h, &latency) == FT_OK)
        qInfo("latency timer in force: %d ms", latency);
    drivers->setTimeouts(h, 140, 100);
    const QByteArray frame = withCrc(buildConnectFrame(0));
    quint32 written = 0;
    QCOMPARE(drivers->write(h, frame.constData(), quint32(frame.size()), &written), quint32(FT_OK));
    QCOMPARE(written, quint32(frame.size()));
    char buffer[2560];
    quint32 received = 0;
    QCOMPARE(drivers->read(h, buffer, sizeof buffer, &received), quint32(FT_OK));
    qInfo("%u bytes came back", received);
    QCOMPARE(drivers->close(h), quint32(FT_OK));
}

QTEST_MAIN(TestCables)
#include "test_cables.moc"
