// Connect and identification: ID text, descriptor, family lists and dispatch, the connect loop on the simulated bus.
#include <QtTest>
#include <QPushButton>
#include <QTimer>

#include "core/appstate.h"
#include "core/optionprompts.h"
#include "boot/connectengine.h"
#include "boot/deviceid.h"
#include "boot/upgradefamily.h"
#include "link/rs485cable.h"
#include "sim/simulatedbus.h"
#include "tests/support/upgradefixture.h"

namespace {
const QString kConnectLabel = QStringLiteral("1. Connect USB-RS Cable\n2.Reset Power Suppply of device");
constexpr quint32 kDeviceId = 0x0379C02A; // RDM 3, year 26, week 14, serial 42
const QString kIdLine = QStringLiteral("ID: 3 26140042\tZr501");
} // namespace

class TestConnect : public QObject
{
    Q_OBJECT

private slots:
    // The frame traces would bury the results.
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }
    void idText_data();
    void idText();
    void descriptorStrings_data();
    void descriptorStrings();
    void dispatch_data();
    void dispatch();
    void familyListsDisjoint();

    void findsDeviceAtAttempt_data();
    void findsDeviceAtAttempt();
    void cancelDuringFirstAttempt();
    void noCable();
    void descriptorCrcErrorContinues();
    void wrongReplyShownWithAllMessages();
    void shortReplyCountsAsWrong_data();
    void shortReplyCountsAsWrong();
    void framingDetectedEveryAttempt();
    void noiseKeepsThePaceOfAttempts_data();
    void noiseKeepsThePaceOfAttempts();
    void noKeepsNameForUpgrade();
    void connectOnlyFamilies_data();
    void connectOnlyFamilies();
    void unknownDeviceAfterYes();
    void damagedDescriptorAdvice_data();
    void damagedDescriptorAdvice();
    void bootConnectTick_data();
    void bootConnectTick();
    void connectAfterRunFindsDeviceAgain_data();
    void connectAfterRunFindsDeviceAgain();
};

void TestConnect::idText_data()
{
    QTest::addColumn<quint32>("id");
    QTest::addColumn<QString>("text");
    QTest::newRow("month layout") << 0x2A123456u << "2a 12031110";
    QTest::newRow("week layout") << 0x05A46001u << "5 31350001";
    QTest::newRow("last of month layout") << 0x0017FFFFu << "0 17154095";
    QTest::newRow("first of week layout") << 0xFF180000u << "ff 14000000";
    QTest::newRow("production word") << kDeviceId << "3 26140042";
}

void TestConnect::idText()
{
    QFETCH(quint32, id);
    QFETCH(QString, text);
    QCOMPARE(deviceIdText(id), text);
}

void TestConnect::descriptorStrings_data()
{
    QTest::addColumn<QByteArray>("name");    // the 32 name bytes (zero-filled)
    QTest::addColumn<QByteArray>("version"); // the 32 version bytes (zero-filled)
    QTest::addColumn<QByteArray>("expectedName");
    QTest::addColumn<QByteArray>("expectedVersion");
    const QByteArray full32 = QByteArray("Zr601_L0_").leftJustified(32, 'x');
    QTest::newRow("terminated") << QByteArray("Zr501") << QByteArray("BL 1.07") << QByteArray("Zr501")
                                << QByteArray("BL 1.07");
    QTest::newRow("name runs into version") << full32 << QByteArray("BL 2") << full32 + "BL 2" << QByteArray("BL 2");
    QTest::newRow("version ends at byte 64") << QByteArray("Zr436") << full32 << QByteArray("Zr436") << full32;
}

void TestConnect::descriptorStrings()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, expectedName);
    QFETCH(QByteArray, expectedVersion);
    const QByteArray decoded = name.leftJustified(32, '\0', true) + version.leftJustified(32, '\0', true);
    const DeviceIdentity identity = ConnectEngine::parseDescriptor(decoded);
    QCOMPARE(identity.name, expectedName);
    QCOMPARE(identity.bootVersion, expectedVersion);
}

void TestConnect::dispatch_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("byConnect"); // family chosen after the connect question ("" = unknown)
    QTest::addColumn<QString>("byUpgrade"); // family chosen by the "Upgrade" button
    QTest::newRow("Zr501") << QByteArray("Zr501") << "STM32F100C8" << "STM32F100C8";
    QTest::newRow("Zr646m02") << QByteArray("Zr646m02") << "STM32F100C8" << "STM32F100C8";
    QTest::newRow("Zr643_RGB") << QByteArray("Zr643_RGB") << "STM32F100C6" << "STM32F100C6";
    QTest::newRow("Zr601_L0") << QByteArray("Zr601_L0") << "STM32L051C8" << "STM32L051C8";
    QTest::newRow("Zr650") << QByteArray("Zr650") << "STM32F103RC" << "STM32F103RC";
    QTest::newRow("Zr480") << QByteArray("Zr480") << "STM32F103RC_64KB" << "STM32F103RC_64KB";
    QTest::newRow("Zr553") << QByteArray("Zr553") << "STM32F405RG" << "STM32F405RG";
    QTest::newRow("Zr440") << QByteArray("Zr440") << "STM32F030F4" << "";
    QTest::newRow("Zr447") << QByteArray("Zr447") << "STM32F474RB" << "";
    QTest::newRow("case matters") << QByteArray("zr501") << "" << "";
    QTest::newRow("exact text") << QByteArray("Zr501 ") << "" << "";
    QTest::newRow("none yet") << QByteArray() << "" << "";
}

void TestConnect::dispatch()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, byConnect);
    QFETCH(QString, byUpgrade);
    const auto familyName = [](const UpgradeFamily *f) { return f ? QString::fromLatin1(f->name) : QString(""); };
    QCOMPARE(familyName(dispatchFamily(name, connectDispatchOrder())), byConnect);
    QCOMPARE(familyName(dispatchFamily(name, upgradeDispatchOrder())), byUpgrade);
}

void TestConnect::familyListsDisjoint()
{
    QHash<QString, QString> owner;
    for (const UpgradeFamily &f : upgradeFamilies())
        for (const QString &model : familyModels(f.id)) {
            QVERIFY2(!owner.contains(model), qPrintable(model + " in " + owner.value(model) + " and " + f.name));
            owner.insert(model, f.name);
        }
    QCOMPARE(familyModels(FamilyId::F100C8).size(), 63);
    QCOMPARE(connectDispatchOrder().size(), upgradeFamilies().size());
}

void TestConnect::findsDeviceAtAttempt_data()
{
    QTest::addColumn<int>("silent"); // connect attempts the powered-off device misses
    QTest::newRow("at once") << 0;
    QTest::newRow("after a power cycle") << 7;
}

void TestConnect::findsDeviceAtAttempt()
{
    QFETCH(int, silent);
    SimWindow sim;
    addDevice(sim, "Zr501", "STM32F100C8", silent, kDeviceId);
    sim.openCable();
    sim.prompts.question(Prompts::No);
    invoke(sim, "slotConnect");
    QVERIFY(sim.prompts.allAnswered());

    QCOMPARE(sim.window.state().targetAddress, 0u);
    QCOMPARE(sim.window.state().connectedDeviceName, QByteArray("Zr501"));
    QCOMPARE(sim.messages(), QStringList({QString::number(kDeviceId, 16), kIdLine}));

    QCOMPARE(sim.prompts.progresses.size(), 1);
    const ScriptedPrompts::Progress &p = sim.prompts.progresses.first();
    QCOMPARE(p.label, kConnectLabel);
    QCOMPARE(p.cancelText, QStringLiteral("Cancel"));
    QCOMPARE(p.min, 0);
    QCOMPARE(p.max, 1000);
    QCOMPARE(p.values.size(), silent + 1);
    QVERIFY(p.closed);

    const QList<QByteArray> connects = sim.requests(CMD_CONNECT);
    QCOMPARE(connects.size(), silent + 1);
    for (const QByteArray &c : connects)
        QCOMPARE(readU32(c, 4), 0u);
    const QList<QByteArray> reads = sim.requests(CMD_READ_MEMORY);
    QCOMPARE(reads.size(), 1);
    QCOMPARE(readU32(reads.first(), 4), kDeviceId);
    QCOMPARE(readU32(reads.first(), 12), 0x08001FC0u);
    QCOMPARE(readU32(reads.first(), 16), 64u);

    const ScriptedPrompts::Shown q = sim.prompts.shownOf(ScriptedPrompts::Kind::Question).first();
    QCOMPARE(q.title, QStringLiteral("TEVANO Bootloader founded..."));
    QCOMPARE(q.text, QStringLiteral("ID: 3 26140042\nDevice: Zr501\nBoot version: BL 1.07\n\nDo you want upgrade "
                                    "firmware?"));
    QCOMPARE(q.buttons, int(Prompts::Yes | Prompts::No));
    QCOMPARE(q.defaultButton, Prompts::Yes);
    // "No" upgrades nothing.
    QVERIFY(sim.prompts.shownOf(ScriptedPrompts::Kind::OpenFile).isEmpty());
}

void TestConnect::cancelDuringFirstAttempt()
{
    SimWindow sim;
    addDevice(sim, "Zr501", "STM32F100C8");
    sim.openCable();
    sim.prompts.cancelProgressAfter(1);
    invoke(sim, "slotConnect");
    QVERIFY(sim.bus.requests().isEmpty());
    QVERIFY(sim.messages().isEmpty());
    QCOMPARE(sim.prompts.progresses.size(), 1);
    QCOMPARE(sim.prompts.progresses.first().values, QList<int>({0}));
    QVERIFY(sim.prompts.progresses.first().closed);
    QVERIFY(sim.window.state().connectedDeviceName.isNull());
}

void TestConnect::noCable()
{
    SimWindow sim;
    sim.bus.setCables({});
    sim.prompts.critical(Prompts::Ok);
    invoke(sim, "slotConnect");
    QVERIFY(sim.prompts.allAnswered());
    QCOMPARE(sim.prompts.shown.first().title, QStringLiteral("Cable Error"));
    QCOMPARE(sim.messages(), QStringList({"Connect USB Cable !!!"}));
    QVERIFY(sim.prompts.progresses.isEmpty());
    QVERIFY(sim.bus.requests().isEmpty());
}

void TestConnect::descriptorCrcErrorContinues()
{
    SimWindow sim;
    addDevice(sim, "Zr501", "STM32F100C8", 0, kDeviceId);
    sim.openCable();
    bool corrupted = false;
    sim.bus.onRequest = [&](const QByteArray &frame) {
        if (readU16(frame, 2) == CMD_READ_MEMORY && !corrupted) {
            corrupted = true;
            sim.bus.corruptReplies(1);
        }
    };
    sim.prompts.question(Prompts::No);
    invoke(sim, "slotConnect");
    QVERIFY(sim.prompts.allAnswered());
    QCOMPARE(sim.messages(), QStringList({QString::number(kDeviceId, 16), "CRC error, continue",
                                          QString::number(kDeviceId, 16), kIdLine}));
    QCOMPARE(sim.requests(CMD_CONNECT).size(), 2);
    QCOMPARE(sim.prompts.progresses.first().values, QList<int>({0, 1}));
}

void TestConnect::wrongReplyShownWithAllMessages()
{
    // A wrong connect reply is silent by default (see shortReplyCountsAsWrong); with "Show all messages" it logs
    // its dump, "CRC err" and the dump again, and every reply after it is dumped too.
    SimWindow sim;
    addDevice(sim, "Zr501", "STM32F100C8", 0, kDeviceId);
    sim.openCable();
    sim.window.state().showAllMessages = true;
    sim.bus.corruptReplies(1);
    sim.prompts.question(Prompts::No);
    invoke(sim, "slotConnect");
    QVERIFY(sim.prompts.allAnswered());
    const QStringList log = sim.messages();
    const auto at = [&](const QString &line) { return log.indexOf(line); };
    QCOMPARE(log.count("CRC err"), 1);
    QVERIFY(at("CRC err") < at(QString::number(kDeviceId, 16)));
    QCOMPARE(log.last(), kIdLine);
    // Dumps: the wrong reply twice, then the connect reply and the descriptor reply.
    QCOMPARE(log.filter("src address").size(), 4);
    QCOMPARE(log.mid(0, at("CRC err")).filter("src address").size(), 1);
}

void TestConnect::shortReplyCountsAsWrong_data()
{
    QTest::addColumn<quint16>("command"); // the request whose reply is cut short
    QTest::addColumn<int>("bytes");       // bytes before the CRC of that short (but CRC-correct) reply
    QTest::addColumn<QStringList>("firstAttemptLog");
    QTest::newRow("connect reply of 11 bytes") << quint16(CMD_CONNECT) << 11 << QStringList();
    QTest::newRow("descriptor reply of 83 bytes")
            << quint16(CMD_READ_MEMORY) << 83
            << QStringList({QString::number(kDeviceId, 16), "CRC error, continue"});
}

void TestConnect::shortReplyCountsAsWrong()
{
    QFETCH(quint16, command);
    QFETCH(int, bytes);
    QFETCH(QStringList, firstAttemptLog);
    SimWindow sim;
    SimDevice *device = addDevice(sim, "Zr501", "STM32F100C8", 0, kDeviceId);
    sim.openCable();
    // The first such request gets, instead of the device's reply, a short one that is whole and CRC-correct.
    bool done = false;
    sim.bus.onRequest = [&](const QByteArray &frame) {
        const bool hit = !done && readU16(frame, 2) == command;
        device->setSilent(hit);
        if (hit) {
            done = true;
            QByteArray reply(bytes, '\x11');
            putU16(reply, 0, quint16(bytes + kCrcSize));
            putU16(reply, 2, command);
            putU32(reply, 4, HOST_ID);
            sim.bus.injectBytes(withCrc(reply));
        }
    };
    sim.prompts.question(Prompts::No);
    invoke(sim, "slotConnect");
    QVERIFY(sim.prompts.allAnswered());
    QCOMPARE(sim.messages(), firstAttemptLog + QStringList({QString::number(kDeviceId, 16), kIdLine}));
    QCOMPARE(sim.window.state().connectedDeviceName, QByteArray("Zr501"));
    QCOMPARE(sim.requests(CMD_CONNECT).size(), 2);
}

void TestConnect::framingDetectedEveryAttempt()
{
    // Noise answers the first attempt; the device, on an interface that wraps replies in zero bytes, the second.
    // Only a detection armed again before that attempt lets the wrapped reply through.
    SimWindow sim;
    SimDevice *device = addDevice(sim, "Zr501", "STM32F100C8", 0, kDeviceId);
    sim.openCable();
    sim.bus.setZeroWrapped(true);
    int connects = 0;
    sim.bus.onRequest = [&](const QByteArray &frame) {
        if (readU16(frame, 2) != CMD_CONNECT)
            return;
        device->setSilent(++connects == 1);
        if (connects == 1)
            sim.bus.injectBytes(QByteArray("\x55\x55\x55", 3));
    };
    sim.prompts.question(Prompts::No);
    invoke(sim, "slotConnect");
    QVERIFY(sim.prompts.allAnswered());
    QCOMPARE(sim.messages(), QStringList({QString::number(kDeviceId, 16), kIdLine}));
    QCOMPARE(connects, 2);
}

void TestConnect::noiseKeepsThePaceOfAttempts_data()
{
    QTest::addColumn<bool>("fast");
    QTest::addColumn<QByteArray>("noise"); // what comes back to every frame; empty: the frame itself (an echo)
    QTest::newRow("full windows, echo") << false << QByteArray();
    QTest::newRow("fast replies, echo") << true << QByteArray();
    QTest::newRow("fast replies, noise") << true << QByteArray("\\x55\\x55\\x55", 3);
    QTest::newRow("fast replies, silence") << true << QByteArray("");
}

// No device answers, only noise does: each attempt still lasts its window (100 ms), fast replies or not, so the
// 1000 attempts leave the technician his 100 s to power-cycle the device.
void TestConnect::noiseKeepsThePaceOfAttempts()
{
    QFETCH(bool, fast);
    QFETCH(QByteArray, noise);
    SimulatedBus bus;
    OptionPrompts prompts;
    prompts.attemptLimit = 20;
    AppState state;
    RS485Cable cable(nullptr, 250000, 8, 2, 0, &bus, &prompts);
    cable.setFastReplies(fast);
    QVERIFY(cable.ensureOpen());
    const bool echo = noise.isNull();
    bus.onRequest = [&](const QByteArray &frame) { bus.injectBytes(echo ? frame : noise); };
    const qint64 before = bus.elapsedUs();
    DeviceIdentity identity;
    QVERIFY(!ConnectEngine(state, prompts, cable).identify(&identity));
    const qint64 elapsed = bus.elapsedUs() - before;
    QVERIFY2(elapsed >= prompts.attemptLimit * 100000, qPrintable(QString::number(elapsed)));
    // An echo is a frame with a correct CRC: taken as the connect reply, then refused as the descriptor.
    QCOMPARE(bus.requests().size(), echo ? 2 * prompts.attemptLimit : prompts.attemptLimit);
}

void TestConnect::noKeepsNameForUpgrade()
{
    SimWindow sim;
    addDevice(sim, "Zr501", "STM32F100C8");
    sim.openCable();
    sim.prompts.question(Prompts::No);
    invoke(sim, "slotConnect");
    // "Upgrade" dispatches from the name the last identification left, without a new handshake.
    sim.bus.clearLog();
    sim.prompts.openFile(QString());
    sim.window.findChild<QPushButton *>("pushButtonUpgradeSTM32F100CB")->click();
    QVERIFY(sim.prompts.allAnswered());
    QCOMPARE(sim.prompts.shownOf(ScriptedPrompts::Kind::OpenFile).first().title, QStringLiteral("Open File"));
    QCOMPARE(sim.messages().last(), QStringLiteral("No upgrade file selected"));
    QVERIFY(sim.bus.requests().isEmpty());
}

void TestConnect::connectOnlyFamilies_data()
{
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<QString>("family");
    QTest::addColumn<bool>("upgradeButtonServes");
    QTest::newRow("Zr440") << QByteArray("Zr440") << "STM32F030F4" << false;
    QTest::newRow("Zr639") << QByteArray("Zr639") << "STM32F474RB" << false;
    QTest::newRow("Zr501") << QByteArray("Zr501") << "STM32F100C8" << true;
}

void TestConnect::connectOnlyFamilies()
{
    QFETCH(QByteArray, model);
    QFETCH(QString, family);
    QFETCH(bool, upgradeButtonServes);
    QTemporaryDir dir;
    SimWindow sim;
    SimDevice *device = addDevice(sim, model, family);
    sim.openCable();

    const UpgradeFamily *row = dispatchFamily(model, connectDispatchOrder());
    QVERIFY(row);
    const QByteArray image = testImage(row->imageSize, row->firstBlock - 0x08000000);
    const QString path = writeTestUpgradeFile(dir.filePath("fw.upg"), QString::fromLatin1(model), image);
    sim.prompts.question(Prompts::Yes).openFile(path).question(Prompts::No);
    invoke(sim, "slotConnect");
    QVERIFY(sim.prompts.allAnswered());
    QCOMPARE(sim.messages().last(), QStringLiteral("Upgrade succesfull!"));
    const int app = int(row->end - row->firstBlock);
    QCOMPARE(device->flashAt(row->firstBlock, app), image.mid(int(row->firstBlock - 0x08000000), app));

    sim.bus.clearLog();
    if (upgradeButtonServes)
        sim.prompts.openFile(QString());
    invoke(sim, "slotUpgradeSTM32");
    QVERIFY(sim.prompts.allAnswered());
    QCOMPARE(sim.messages().last(),
             upgradeButtonServes ? QStringLiteral("No upgrade file selected") : QStringLiteral("Unknown device"));
    QVERIFY(sim.bus.requests().isEmpty());
}

void TestConnect::unknownDeviceAfterYes()
{
    SimWindow sim;
    addDevice(sim, "Zr999", "STM32F100C8");
    sim.openCable();
    sim.prompts.question(Prompts::Yes);
    invoke(sim, "slotConnect");
    QVERIFY(sim.prompts.allAnswered());
    QCOMPARE(sim.messages().last(), QStringLiteral("Unknown device"));
    QCOMPARE(sim.window.state().connectedDeviceName, QByteArray("Zr999"));
}

void TestConnect::damagedDescriptorAdvice_data()
{
    QTest::addColumn<QByteArray>("descriptor"); // the 64 bytes at 0x08001FC0 (plain) when Connect is pressed
    QTest::addColumn<quint32>("deviceId");
    QTest::addColumn<QByteArray>("earlier");    // model the descriptor held at a connect before (empty: none)
    QTest::addColumn<quint32>("earlierId");
    QTest::addColumn<QString>("advice");        // the line after "Unknown device" (empty: none)

    const QByteArray erased(64, '\xFF');
    const QString run = QStringLiteral("Descriptor blank or unreadable; to restore the device run: ");
    const QString general = QStringLiteral(" (FAMILY: its upgrade procedure, e.g. STM32F030F4)");
    // RDM 0 is carried by models of several families; RDM 3 only by the Zr501.
    QTest::newRow("erased, RDM shared")
            << erased << 0x0079C02Au << QByteArray() << 0u
            << run + "zrtool upgrade --family FAMILY --target 0x0079c02a --force FILE.upg" + general;
    QTest::newRow("erased, RDM of one family")
            << erased << 0x0379C02Au << QByteArray() << 0u
            << run + "zrtool upgrade --family STM32F100C8 --target 0x0379c02a --force FILE.upg";
    QTest::newRow("erased, identified before")
            << erased << 0x0079C02Au << QByteArray("Zr440") << 0x0079C02Au
            << run + "zrtool upgrade --family STM32F030F4 --target 0x0079c02a --force FILE.upg";
    QTest::newRow("erased, another device identified before")
            << erased << 0x0079C02Au << QByteArray("Zr440") << 0x0079C02Bu
            << run + "zrtool upgrade --family FAMILY --target 0x0079c02a --force FILE.upg" + general;
    QTest::newRow("zeroed") << QByteArray(64, '\0') << 0x0079C02Au << QByteArray() << 0u
                            << run + "zrtool upgrade --family FAMILY --target 0x0079c02a --force FILE.upg" + general;
    QTest::newRow("half written") << QByteArray("Zr\x01\x88").append(QByteArray(60, '\0')) << 0x0379C02Au
                                  << QByteArray() << 0u
                                  << run + "zrtool upgrade --family STM32F100C8 --target 0x0379c02a --force FILE.upg";
    // A readable name is a model this program does not know, not a damaged device: nothing to restore.
    QTest::newRow("readable unknown") << QByteArray("Zr999").append(QByteArray(59, '\0')) << 0x0079C02Au
                                      << QByteArray() << 0u << QString();
}

void TestConnect::damagedDescriptorAdvice()
{
    QFETCH(QByteArray, descriptor);
    QFETCH(quint32, deviceId);
    QFETCH(QByteArray, earlier);
    QFETCH(quint32, earlierId);
    QFETCH(QString, advice);
    SimWindow sim;
    SimDevice *device = addDevice(sim, earlier.isEmpty() ? QByteArray("Zr440") : earlier, "STM32F030F4", 0,
                                  earlier.isEmpty() ? deviceId : earlierId);
    sim.openCable();
    if (!earlier.isEmpty()) {
        sim.prompts.question(Prompts::No);
        invoke(sim, "slotConnect");
        // The same device again, or another one in its place, now with its descriptor block damaged.
        if (earlierId != deviceId) {
            device = addDevice(sim, "Zr440", "STM32F030F4", 0, deviceId);
            sim.bus.devices().first()->setSilent(true);
        }
    }
    device->setFlashAt(DESCRIPTOR_ADDRESS, descriptor);

    const int before = sim.messages().size();
    sim.prompts.question(Prompts::Yes);
    invoke(sim, "slotConnect");
    QVERIFY(sim.prompts.allAnswered());
    const QStringList lines = sim.messages().mid(before);
    QVERIFY2(lines.contains(QStringLiteral("Unknown device")), qPrintable(lines.join('\n')));
    // The advice, if any, comes right after "Unknown device" and ends the log; nothing was written to the device.
    QCOMPARE(lines.last(), advice.isEmpty() ? QStringLiteral("Unknown device") : advice);
    if (!advice.isEmpty())
        QCOMPARE(lines.at(lines.size() - 2), QStringLiteral("Unknown device"));
    QVERIFY(sim.requests(CMD_WRITE_MEMORY).isEmpty());
    QCOMPARE(device->flashAt(DESCRIPTOR_ADDRESS, 64), descriptor);
}

void TestConnect::bootConnectTick_data()
{
    QTest::addColumn<QString>("bus");    // closed cable, silent bus, a device that answers, a corrupted answer
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<int>("frames");
    QTest::newRow("cable closed") << "closed" << QStringList({"Connect USB Cable !!!"}) << 0;
    QTest::newRow("silence") << "silent" << QStringList({"Timeout"}) << 1;
    QTest::newRow("answer") << "answers" << QStringList() << 1;
    QTest::newRow("bad CRC") << "corrupt" << QStringList({"CRC err"}) << 1;
}

void TestConnect::bootConnectTick()
{
    QFETCH(QString, bus);
    QFETCH(QStringList, log);
    QFETCH(int, frames);
    SimWindow sim;
    SimDevice *device = addDevice(sim, "Zr501", "STM32F100C8");
    if (bus != "closed")
        sim.openCable();
    device->setSilent(bus == "silent");
    if (bus == "corrupt")
        sim.bus.corruptReplies(1);

    // The poller's timer exists, is wired to the slot, and nothing has started it.
    auto *timer = sim.window.findChild<QTimer *>("bootConnectTimer");
    QVERIFY(timer);
    QVERIFY(!timer->isActive());
    QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
    QCOMPARE(sim.messages(), log);
    QCOMPARE(sim.requests(CMD_CONNECT).size(), frames);
    QVERIFY(sim.prompts.shown.isEmpty());
    // The first tick turns the button text green; any reply turns it black again.
    const QColor color =
            sim.window.findChild<QPushButton *>("PushButtonConnect")->palette().color(QPalette::ButtonText);
    if (bus == "silent")
        QCOMPARE(color, QColor(0, 255, 0));
    else if (bus != "closed")
        QCOMPARE(color, QColor(0, 0, 0));
}

void TestConnect::connectAfterRunFindsDeviceAgain_data()
{
    QTest::addColumn<QString>("next");     // what the user starts after the upgrade: "connect" or a stream name
    QTest::addColumn<bool>("inBootloader"); // where the device is when it is over
    QTest::newRow("Connect") << "connect" << true;
    QTest::newRow("Stream Connect of its model") << "Zr501" << true;
    QTest::newRow("Stream Connect of another model") << "Zr556" << false;
}

void TestConnect::connectAfterRunFindsDeviceAgain()
{
    // The device of --simulate: upgraded, started with "Run", and found again by the next Connect because the
    // technician at the bench power-cycles it; a stream for another model sends it back to its application.
    QFETCH(QString, next);
    QFETCH(bool, inBootloader);
    QTemporaryDir dir;
    SimWindow sim;
    const SimDeviceConfig config = demoDeviceConfig();
    SimDevice *device = sim.bus.addDevice(config);
    QVERIFY(sim.openCable());
    const UpgradeFamily *row = dispatchFamily(config.modelCode, connectDispatchOrder());
    QVERIFY(row);
    const QString path = writeTestUpgradeFile(dir.filePath("fw.upg"), QString::fromLatin1(config.modelCode),
                                              testImage(row->imageSize, row->firstBlock - 0x08000000));
    sim.prompts.question(Prompts::Yes).openFile(path).question(Prompts::Yes);
    invoke(sim, "slotConnect");
    QVERIFY(sim.prompts.allAnswered());
    QCOMPARE(device->runCount(), 1);
    QVERIFY(!device->inBootloader());
    QCOMPARE(device->technicianPowerCycles(), 0); // it started switched off: the first Connect needs nobody

    sim.bus.clearLog();
    const int logged = sim.messages().size();
    if (next == "connect") {
        sim.prompts.question(Prompts::No);
        invoke(sim, "slotConnect");
        QVERIFY(sim.prompts.allAnswered());
        // Switched off at the first attempt, on again at the silentConnects-th, answering the one after.
        QCOMPARE(sim.requests(CMD_CONNECT).size(), config.silentConnects + 1);
        QCOMPARE(sim.prompts.progresses.last().values.size(), config.silentConnects + 1);
        QCOMPARE(sim.messages().mid(logged), QStringList({QString::number(config.deviceId, 16), kIdLine}));
    } else {
        sim.prompts.text(next);
        sim.window.slotStreamConnect();
        QVERIFY(sim.prompts.allAnswered());
    }
    QCOMPARE(device->technicianPowerCycles(), 1);
    QCOMPARE(device->inBootloader(), inBootloader);
}

QTEST_MAIN(TestConnect)
#include "test_connect.moc"
