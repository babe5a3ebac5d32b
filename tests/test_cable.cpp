// The RS-485 cable: choosing and opening a cable, the transaction's call order, CRC and reply framing, DMX output.
#include <QtTest>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QMenu>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>

#include "app/flasher.h"
#include "link/codec.h"
#include "link/d2xxlibrary.h"
#include "link/rs485cable.h"
#include "sim/simulatedbus.h"
#include "tests/support/scriptedprompts.h"

namespace {
const QString kSimCable = QStringLiteral("USB-RS485 Cable (simulated bus) S/N: ZRSIM001");
const QStringList kOpenSequence = {
        "FT_CreateDeviceInfoList", "FT_GetDeviceInfoDetail(0)", "FT_OpenEx(ZRSIM001)", "FT_ResetDevice",
        "FT_SetBaudRate(250000)",  "FT_SetDataCharacteristics(8,2,0)", "FT_SetFlowControl(0,0,0)", "FT_Purge(1)",
        "FT_Purge(2)",             "FT_SetTimeouts(80,80)", "FT_SetRts", "FT_SetLatencyTimer(2)",
        "FT_GetLatencyTimer"};

// A reply as a device with this ID sends it (with CRC).
QByteArray deviceReply(quint16 command, quint32 source)
{
    QByteArray reply = buildHeaderFrame(command, HOST_ID);
    putU32(reply, 8, source);
    return withCrc(reply);
}

struct Rig
{
    Rig()
    {
        device = bus.addDevice(SimDeviceConfig());
    }
    bool open()
    {
        prompts.item(kSimCable);
        const bool ok = cable.ensureOpen();
        bus.clearLog();
        return ok;
    }
    SimulatedBus bus;
    ScriptedPrompts prompts;
    RS485Cable cable{nullptr, 250000, 8, 2, 0, &bus, &prompts};
    SimDevice *device = nullptr;
};
} // namespace

class TestCable : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QLoggingCategory::setFilterRules(QString()); }
    void openSequence();
    void twoCablesInLibraryOrder();
    void openFailures_data();
    void openFailures();
    void transactCallOrder();
    void wrongCrcHandedBack();
    void silentBusWaitsTheReadLimit();
    void replyFramingDetection_data();
    void replyFramingDetection();
    void zeroWrappedModeLastsUntilNextDetection();
    void fastRepliesEndOnlyOnACompleteReply_data();
    void fastRepliesEndOnlyOnACompleteReply();
    void fastRepliesBytesLongAfterTheReply();
    void quietCheckFollowsTheLatencyTimer();
    void fastReplyReadsInSteps();
    void closeTwiceThenReopen();
    void destructorClosesTheCable();
    void dmxFrame();
    void windowDisconnect();
    void windowFastRepliesEntry();
    void demoBusInTheRealDialog();
    void withoutVendorLibraryNoCable();
};

void TestCable::openSequence()
{
    Rig r;
    r.prompts.item(kSimCable);
    QLoggingCategory::setFilterRules(QStringLiteral("zr.link.debug=true")); // off by default
    QTest::ignoreMessage(QtDebugMsg, "Number of devices is 1");
    QTest::ignoreMessage(QtDebugMsg, "SerialNumber=ZRSIM001");
    QTest::ignoreMessage(QtDebugMsg, "FT_GetLatencyTimer 2");
    QCOMPARE(r.cable.open(250000, 8, 2, 0), 0);
    QVERIFY(r.cable.isOpen());
    QCOMPARE(r.bus.calls(), kOpenSequence);

    const auto items = r.prompts.shownOf(ScriptedPrompts::Kind::Item);
    QCOMPARE(items.size(), 1);
    QCOMPARE(items[0].title, QStringLiteral("Select cable"));
    QCOMPARE(items[0].text, QStringLiteral("Availabe USB-RS FTDI Cables\n(not used by any application)"));
    QCOMPARE(items[0].items, QStringList{kSimCable});
    QCOMPARE(items[0].current, 0);
    QVERIFY(!items[0].editable);
    QCOMPARE(items[0].parent, Prompts::Parent::None);
    QVERIFY(r.prompts.allAnswered());

    // Open already: no second dialog.
    QVERIFY(r.cable.ensureOpen());
    QCOMPARE(r.bus.calls().size(), kOpenSequence.size());
}

void TestCable::twoCablesInLibraryOrder()
{
    Rig r;
    r.bus.setCables({{"USB-RS485 Bench", "FT9ZZ1"}, {"USB-RS485 Line", "FT1AA2"}});
    r.prompts.item(QStringLiteral("USB-RS485 Line S/N: FT1AA2"));
    QVERIFY(r.cable.ensureOpen());
    QCOMPARE(r.prompts.shown.at(0).items,
             QStringList({"USB-RS485 Bench S/N: FT9ZZ1", "USB-RS485 Line S/N: FT1AA2"}));
    QVERIFY(r.bus.calls().contains(QStringLiteral("FT_OpenEx(FT1AA2)")));
    QVERIFY(!r.bus.calls().contains(QStringLiteral("FT_OpenEx(FT9ZZ1)")));
}

void TestCable::openFailures_data()
{
    QTest::addColumn<bool>("noCables");
    QTest::addColumn<bool>("openFails");
    QTest::addColumn<bool>("dialogShown");
    QTest::newRow("selection cancelled") << false << false << true;
    QTest::newRow("no FTDI device") << true << false << false;
    QTest::newRow("FT_OpenEx fails") << false << true << true;
}

void TestCable::openFailures()
{
    QFETCH(bool, noCables);
    QFETCH(bool, openFails);
    QFETCH(bool, dialogShown);
    Rig r;
    if (noCables)
        r.bus.setCables({});
    r.bus.setOpenFails(openFails);
    if (dialogShown) {
        if (openFails)
            r.prompts.item(kSimCable);
        else
            r.prompts.cancel(ScriptedPrompts::Kind::Item);
    }
    r.prompts.critical(Prompts::Ok);

    bool ok = true;
    QVERIFY(r.cable.transact(buildRunFrame(0), &ok, 100, 100).isEmpty());
    QVERIFY(!ok);
    QVERIFY(!r.cable.isOpen());
    QVERIFY(r.bus.requests().isEmpty());
    const auto boxes = r.prompts.shownOf(ScriptedPrompts::Kind::Critical);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].title, QStringLiteral("Cable Error"));
    QCOMPARE(boxes[0].text, QStringLiteral("Connect USB Cable!"));
    QCOMPARE(boxes[0].buttons, int(Prompts::Ok));
    QCOMPARE(boxes[0].parent, Prompts::Parent::None);
    QVERIFY(r.prompts.allAnswered());
}

void TestCable::transactCallOrder()
{
    Rig r;
    QVERIFY(r.open());
    bool ok = false;
    const QByteArray frame = buildRunFrame(0);
    const QByteArray reply = r.cable.transact(frame, &ok, 140, 0);
    QCOMPARE(r.bus.calls(), QStringList({"FT_Purge(1)", "FT_Purge(2)", "FT_SetTimeouts(140,0)", "FT_ClrRts",
                                         "FT_Write(14)", "FT_SetRts", "FT_Read(2560)"}));
    QCOMPARE(r.bus.requests(), QList<QByteArray>{withCrc(frame)});
    QVERIFY(ok);
    QCOMPARE(reply, deviceReply(CMD_RUN, r.device->deviceId()));
}

void TestCable::wrongCrcHandedBack()
{
    Rig r;
    QVERIFY(r.open());
    r.bus.corruptReplies(1);
    bool ok = true;
    const QByteArray bad = r.cable.transact(buildConnectFrame(0), &ok, 100, 100);
    QVERIFY(!ok);
    const QByteArray good = deviceReply(CMD_CONNECT, r.device->deviceId());
    QCOMPARE(bad.size(), good.size());
    QCOMPARE(bad.left(12), good.left(12));
    QVERIFY(bad != good);

    QCOMPARE(r.cable.transact(buildConnectFrame(0), &ok, 100, 100), good);
    QVERIFY(ok);
}

void TestCable::silentBusWaitsTheReadLimit()
{
    Rig r;
    QVERIFY(r.open());
    r.device->setSilent(true);
    QElapsedTimer wall;
    wall.start();
    const qint64 before = r.bus.elapsedUs();
    bool ok = true;
    QVERIFY(r.cable.transact(buildConnectFrame(0), &ok, 140, 100).isEmpty());
    QVERIFY(!ok);
    QCOMPARE(r.bus.elapsedUs() - before, qint64(140000));
    QVERIFY(wall.elapsed() < 100); // virtual time: no real sleep
}

void TestCable::replyFramingDetection_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<bool>("wrapped");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("ok");
    const QByteArray plain = deviceReply(CMD_CONNECT, 0x03D2A001);
    const QByteArray z(1, '\0');
    QTest::newRow("leading and trailing zero, 0xAB at 5") << z + plain + z << true << plain << true;
    QTest::newRow("no leading zero") << plain << false << plain << true;
    // Zeros at both ends but not our address: the bytes are taken as they came (with CRC-16/ARC a leading zero
    // changes nothing and the trailing zero turns the check into "CRC of all but the high CRC byte", so it passes).
    QByteArray foreign = deviceReply(CMD_CONNECT, 0x03D2A001);
    putU32(foreign, 4, 0x11111111);
    foreign = withCrc(foreign.left(12));
    QTest::newRow("zeros without the host byte") << z + foreign + z << false << z + foreign + z << true;
    QTest::newRow("two bytes are too short to decide") << QByteArray(2, '\0') << false << QByteArray(2, '\0')
                                                       << true;
}

void TestCable::replyFramingDetection()
{
    QFETCH(QByteArray, received);
    QFETCH(bool, wrapped);
    QFETCH(QByteArray, reply);
    QFETCH(bool, ok);
    SimulatedBus bus; // no devices: only the injected bytes come back
    ScriptedPrompts prompts;
    RS485Cable cable(nullptr, 250000, 8, 2, 0, &bus, &prompts);
    prompts.item(kSimCable);
    bus.injectBytes(received);
    bool replyOk = !ok;
    QCOMPARE(cable.transact(buildConnectFrame(0), &replyOk, 100, 100), reply);
    QCOMPARE(cable.zeroWrapped(), wrapped);
    QCOMPARE(replyOk, ok);
}

void TestCable::zeroWrappedModeLastsUntilNextDetection()
{
    Rig r;
    QVERIFY(r.open());
    r.bus.setZeroWrapped(true);
    bool ok = false;
    const QByteArray plain = deviceReply(CMD_CONNECT, r.device->deviceId());
    QCOMPARE(r.cable.transact(buildConnectFrame(0), &ok, 100, 100), plain);
    QVERIFY(ok && r.cable.zeroWrapped());
    QCOMPARE(r.cable.transact(buildConnectFrame(0), &ok, 100, 100), plain);
    QVERIFY(ok);

    // Two bytes in wrapped mode leave nothing.
    r.device->setSilent(true);
    r.bus.injectBytes(QByteArray::fromHex("00ab"));
    QVERIFY(r.cable.transact(buildConnectFrame(0), &ok, 100, 100).isEmpty());
    QVERIFY(!ok);
    r.device->setSilent(false);

    // The mode holds without a new detection, even when the replies stop being wrapped...
    r.bus.setZeroWrapped(false);
    QCOMPARE(r.cable.transact(buildConnectFrame(0), &ok, 100, 100), plain.mid(1, plain.size() - 2));
    QVERIFY(!ok);
    // ...and the next armed detection switches it off.
    r.cable.armReplyFraming();
    QCOMPARE(r.cable.transact(buildConnectFrame(0), &ok, 100, 100), plain);
    QVERIFY(ok && !r.cable.zeroWrapped());
}

namespace {
// One connect transaction on a bus without devices that hears `received` right after the frame.
struct WindowResult
{
    QByteArray reply;
    bool ok = false;
    bool wrapped = false;
    qint64 elapsedUs = 0;
};

// What reaches the cable besides `received`: `later` with its first byte `gapUs` after the last byte of `received`,
// and a reader descheduled for `stallUs` right after its `stallAfterRead`-th read (0: never).
struct Arrivals
{
    QByteArray later;
    qint64 gapUs = 0;
    int stallAfterRead = 0;
    qint64 stallUs = 0;
};

WindowResult transactOver(const QByteArray &received, bool fast, int readMs, const Arrivals &arrivals = {})
{
    SimulatedBus bus;
    ScriptedPrompts prompts;
    RS485Cable cable(nullptr, 250000, 8, 2, 0, &bus, &prompts);
    cable.setFastReplies(fast);
    prompts.item(kSimCable);
    bus.injectBytes(received);
    if (!arrivals.later.isEmpty())
        bus.injectBytesAt(arrivals.later, kSimTurnaroundUs + (received.size() - 1) * kSimByteUs + arrivals.gapUs);
    if (arrivals.stallAfterRead > 0)
        bus.stallAfterRead(arrivals.stallAfterRead, arrivals.stallUs);
    WindowResult result;
    const qint64 before = bus.elapsedUs();
    result.reply = cable.transact(buildConnectFrame(0), &result.ok, readMs, 100);
    result.elapsedUs = bus.elapsedUs() - before;
    result.wrapped = cable.zeroWrapped();
    return result;
}
} // namespace

Q_DECLARE_METATYPE(Arrivals)

void TestCable::fastRepliesEndOnlyOnACompleteReply_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<Arrivals>("arrivals");
    QTest::addColumn<bool>("early");
    const QByteArray plain = deviceReply(CMD_CONNECT, 0x03D2A001);
    const QByteArray z(1, '\0');
    const QByteArray garbage("\x5a\xa5\x01", 3);
    QByteArray badCrc = plain;
    badCrc[badCrc.size() - 1] = char(badCrc.at(badCrc.size() - 1) ^ 0x5A);
    QByteArray longer = plain.left(12);
    putU16(longer, 0, 20);
    longer = withCrc(longer); // a correct CRC, but the length field promises 20 bytes
    QByteArray foreign = plain.left(12);
    putU32(foreign, 4, 0x11111111);
    foreign = withCrc(foreign);
    const Arrivals none;

    QTest::newRow("complete reply") << plain << none << true;
    QTest::newRow("zero-wrapped reply") << z + plain + z << none << true;
    QTest::newRow("truncated reply") << plain.left(plain.size() - 1) << none << false;
    QTest::newRow("wrong CRC") << badCrc << none << false;
    QTest::newRow("reply followed by garbage") << plain + garbage << none << false;
    QTest::newRow("length field beyond the bytes") << longer << none << false;
    QTest::newRow("zeros without the host byte") << z + foreign + z << none << false;
    QTest::newRow("silence") << QByteArray() << none << false;
    // The bytes behind a reply come in the chip's next USB packet, a latency period (2 ms) after it.
    QTest::newRow("bytes 1.5 ms after a complete reply") << plain << Arrivals{garbage, 1500} << false;
    QTest::newRow("bytes 3 ms after a complete reply") << plain << Arrivals{garbage, 3000} << false;
    QTest::newRow("bytes 2 ms after a zero-wrapped reply") << z + plain + z << Arrivals{garbage, 2000} << false;
    // A busy PC: the reader gets the CPU back after the window's end, and the reply has arrived meanwhile.
    QTest::newRow("reply buffered when the reader wakes after the deadline")
            << plain << Arrivals{{}, 0, 1, 200000} << false;
    QTest::newRow("wrapped reply buffered when the reader wakes after the deadline")
            << z + plain + z << Arrivals{{}, 0, 1, 200000} << false;
    QTest::newRow("reader wakes after the deadline, bytes behind the reply")
            << plain << Arrivals{garbage, 1500, 2, 200000} << false;
    QTest::newRow("half the reply in when the reader wakes after the deadline")
            << plain.left(9) << Arrivals{{}, 0, 1, 200000} << false;
}

// Whatever arrives, fast replies hand back exactly what the whole window gives; only a complete reply followed by
// a quiet line ends the wait early.
void TestCable::fastRepliesEndOnlyOnACompleteReply()
{
    QFETCH(QByteArray, received);
    QFETCH(Arrivals, arrivals);
    QFETCH(bool, early);
    const int readMs = 140;
    const WindowResult specified = transactOver(received, false, readMs, arrivals);
    const WindowResult fast = transactOver(received, true, readMs, arrivals);
    QVERIFY(specified.elapsedUs >= qint64(readMs) * 1000);
    QCOMPARE(fast.reply, specified.reply);
    QCOMPARE(fast.ok, specified.ok);
    QCOMPARE(fast.wrapped, specified.wrapped);
    if (early) {
        QVERIFY(fast.ok);
        // The frame, the turnaround and the reply on the wire, then the quiet check: the latency timer (2 ms) and
        // two byte times, in whole milliseconds.
        const qint64 wire = (14 + received.size()) * kSimByteUs + kSimTurnaroundUs;
        QVERIFY2(fast.elapsedUs >= wire + 3000 && fast.elapsedUs <= wire + 3000 + kSimByteUs,
                 qPrintable(QString::number(fast.elapsedUs)));
    } else if (arrivals.stallAfterRead == 0) {
        // The whole window, give or take the millisecond the library counts remaining time in.
        QVERIFY2(fast.elapsedUs >= specified.elapsedUs && fast.elapsedUs < specified.elapsedUs + 1000,
                 qPrintable(QString::number(fast.elapsedUs)));
    }
}

// Bytes that come later than the quiet check cannot be waited for without giving up fast replies: the reply
// stands, and the late bytes fall into the next exchange's window, which its purge or its own check refuses.
void TestCable::fastRepliesBytesLongAfterTheReply()
{
    const QByteArray plain = deviceReply(CMD_CONNECT, 0x03D2A001);
    const Arrivals late{QByteArray("\x5a\xa5\x01", 3), 95000};
    const WindowResult specified = transactOver(plain, false, 140, late);
    const WindowResult fast = transactOver(plain, true, 140, late);
    QVERIFY(!specified.ok);
    QCOMPARE(specified.reply, plain + late.later);
    QVERIFY(fast.ok);
    QCOMPARE(fast.reply, plain); // exactly the reply: nothing that came after it is taken as part of it
    // Outside the window, the full window takes the reply as it stands too.
    QVERIFY(transactOver(plain, false, 80, late).ok);
}

// The quiet check lasts the latency timer read back at open plus two byte times.
void TestCable::quietCheckFollowsTheLatencyTimer()
{
    Rig r;
    QCOMPARE(r.cable.quietMs(), 1); // nothing read back yet: two byte times, in whole milliseconds
    QVERIFY(r.open());
    QCOMPARE(r.cable.quietMs(), 3);
}

void TestCable::fastReplyReadsInSteps()
{
    Rig r;
    r.cable.setFastReplies(true);
    QVERIFY(r.open());
    bool ok = false;
    const QByteArray reply = r.cable.transact(buildRunFrame(0), &ok, 140, 0);
    QVERIFY(ok);
    QCOMPARE(reply, deviceReply(CMD_RUN, r.device->deviceId()));
    // The request goes out exactly as with full windows; then the length field, the rest it announces, and a
    // quiet check for anything glued to the reply (latency timer 2 ms and two byte times: 3 ms).
    QCOMPARE(r.bus.calls(), QStringList({"FT_Purge(1)", "FT_Purge(2)", "FT_SetTimeouts(140,0)", "FT_ClrRts",
                                         "FT_Write(14)", "FT_SetRts", "FT_Read(2)", "FT_SetTimeouts(140,0)",
                                         "FT_Read(12)", "FT_SetTimeouts(3,0)", "FT_Read(1)"}));

    // Armed detection: both readings stay open, so the first step asks for the length field only.
    Rig w;
    w.cable.setFastReplies(true);
    QVERIFY(w.open());
    w.bus.setZeroWrapped(true);
    w.cable.armReplyFraming();
    QCOMPARE(w.cable.transact(buildRunFrame(0), &ok, 140, 0), deviceReply(CMD_RUN, w.device->deviceId()));
    QVERIFY(ok);
    QVERIFY(w.cable.zeroWrapped());
    QCOMPARE(w.bus.calls().filter("FT_Read"), QStringList({"FT_Read(2)", "FT_Read(1)", "FT_Read(13)", "FT_Read(1)"}));
}

void TestCable::closeTwiceThenReopen()
{
    Rig r;
    QVERIFY(r.open());
    r.cable.close();
    r.cable.close();
    QCOMPARE(r.bus.calls(), QStringList{"FT_Close"});
    QVERIFY(!r.cable.isOpen() && !r.bus.isOpen());

    r.prompts.item(kSimCable);
    bool ok = false;
    r.cable.transact(buildConnectFrame(0), &ok, 100, 100);
    QVERIFY(ok);
    QCOMPARE(r.prompts.shownOf(ScriptedPrompts::Kind::Item).size(), 2);
    QVERIFY(r.prompts.allAnswered());
}

void TestCable::destructorClosesTheCable()
{
    SimulatedBus bus;
    ScriptedPrompts prompts;
    auto cable = std::make_unique<RS485Cable>(nullptr, 250000, 8, 2, 0, &bus, &prompts);
    prompts.item(kSimCable);
    QVERIFY(cable->ensureOpen());
    QLoggingCategory::setFilterRules(QStringLiteral("zr.link.debug=true")); // off by default
    QTest::ignoreMessage(QtDebugMsg, "FT_Closed");
    cable.reset();
    QCOMPARE(bus.calls().last(), QStringLiteral("FT_Close"));
    QVERIFY(!bus.isOpen());
}

void TestCable::dmxFrame()
{
    Rig r;
    QVERIFY(r.open());
    QByteArray packet(513, '\0');
    for (int i = 1; i < packet.size(); ++i)
        packet[i] = char(i);
    QCOMPARE(r.cable.sendDmxFrame(reinterpret_cast<const quint8 *>(packet.constData()), packet.size()),
             quint32(FT_OK));
    QCOMPARE(r.bus.calls(),
             QStringList({"FT_ClrRts", "FT_Purge(3)", "FT_SetBreakOn", "FT_SetBreakOff", "FT_Write(513)"}));
    QCOMPARE(r.bus.dmxPackets(), QList<QByteArray>{packet});
    QVERIFY(r.bus.requests().isEmpty());
}

void TestCable::windowDisconnect()
{
    SimulatedBus bus;
    ScriptedPrompts prompts;
    Flasher window(&prompts, &bus);
    QVERIFY(!bus.isOpen());
    prompts.item(kSimCable);
    QVERIFY(window.cable().ensureOpen());
    auto *disconnect = window.findChild<QAction *>(QStringLiteral("actionDisconnect_RS_Cable"));
    QVERIFY(disconnect);
    disconnect->trigger();
    QVERIFY(!window.cable().isOpen() && !bus.isOpen());
    disconnect->trigger();
    QCOMPARE(bus.calls().filter(QStringLiteral("FT_Close")).size(), 1);
}

// "Fast replies" starts unticked at every start and is never remembered; --fast-replies ticks it.
void TestCable::windowFastRepliesEntry()
{
    // Settings would land in this scratch directory: the window must leave it empty.
    QTemporaryDir config;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
    SimulatedBus bus;
    bus.addDevice(SimDeviceConfig());
    ScriptedPrompts prompts;
    {
        Flasher w(&prompts, &bus);
        auto *entry = w.findChild<QAction *>("actionFastReplies");
        QVERIFY(entry);
        QVERIFY(entry->isCheckable());
        QVERIFY(!entry->isChecked());
        QVERIFY(!w.cable().fastReplies());
        QVERIFY(w.findChild<QMenu *>("menuUtilities")->actions().contains(entry));
        entry->trigger();
        QVERIFY(w.cable().fastReplies());

        // A run through the window now ends on the complete reply.
        prompts.item(kSimCable);
        QVERIFY(w.cable().ensureOpen());
        bool ok = false;
        const qint64 before = bus.elapsedUs();
        w.cable().transact(buildConnectFrame(0), &ok, 100, 100);
        QVERIFY(ok);
        QVERIFY(bus.elapsedUs() - before < 10000);
    }
    // The next start has it off again, and nothing was written anywhere.
    {
        Flasher w(&prompts, &bus);
        QVERIFY(!w.findChild<QAction *>("actionFastReplies")->isChecked());
        QVERIFY(!w.cable().fastReplies());
        // What --fast-replies does: the entry ticked, the cable switched.
        w.setFastReplies(true);
        QVERIFY(w.findChild<QAction *>("actionFastReplies")->isChecked());
        QVERIFY(w.cable().fastReplies());
    }
    Flasher w(&prompts, &bus);
    QVERIFY(!w.cable().fastReplies());
    QCOMPARE(QDir(config.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
}

// What `zrflasher --simulate` shows: the simulated cable in the real "Select cable" dialog, and a Zr501 that
// answers after a few connect attempts (real clock).
void TestCable::demoBusInTheRealDialog()
{
    std::unique_ptr<SimulatedBus> bus = makeDemoBus();
    Flasher window(nullptr, bus.get());
    QStringList offered;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto *dialog = qobject_cast<QInputDialog *>(QApplication::activeModalWidget())) {
            offered = dialog->comboBoxItems();
            dialog->accept();
        }
    });
    poll.start(10);
    QVERIFY(window.cable().ensureOpen());
    poll.stop();
    QCOMPARE(offered, QStringList{kSimCable});

    bool ok = false;
    QByteArray reply;
    int attempts = 0;
    while (!ok && attempts < 10) {
        ++attempts;
        reply = window.cable().transact(buildConnectFrame(0), &ok, 100, 100);
    }
    QVERIFY(ok);
    QVERIFY(attempts > 1);
    QCOMPARE(readU32(reply, 8), 0x0379C02Au);
    QByteArray descriptor = window.cable().transact(buildMemoryFrame(CMD_READ_MEMORY, 0x0379C02A, 0x08001FC0, 64),
                                                    &ok, 100, 100).mid(20, 64);
    QVERIFY(ok);
    DecodeImage(descriptor.data(), descriptor.size());
    QCOMPARE(descriptor.left(6), QByteArray("Zr501\0", 6));
}

// The window's default driver is the vendor library; on a machine without it the user gets the "Cable Error" box.
void TestCable::withoutVendorLibraryNoCable()
{
    if (D2xxLibrary().isLoaded())
        QSKIP("The FTDI D2XX library is installed here");
    ScriptedPrompts prompts;
    Flasher window(&prompts);
    prompts.critical(Prompts::Ok);
    QVERIFY(!window.cable().ensureOpen());
    QCOMPARE(prompts.shownOf(ScriptedPrompts::Kind::Critical).size(), 1);
    QVERIFY(prompts.shownOf(ScriptedPrompts::Kind::Item).isEmpty());
    QVERIFY(prompts.allAnswered());
}

QTEST_MAIN(TestCable)
#include "test_cable.moc"
