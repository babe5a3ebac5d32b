// Device operations without a person: the unattended upgrade path and its record, recovery of a device whose
// descriptor is lost, and zrtool's device commands on the simulated bus.
#include <QtTest>
#include <QProcess>
#include <QTemporaryDir>

#include "core/appstate.h"
#include "core/optionprompts.h"
#include "boot/connectengine.h"
#include "boot/deviceupgrade.h"
#include "boot/upgradefamily.h"
#include "registry/registry.h"
#include "link/cableidentity.h"
#include "tests/support/descriptorimage.h"
#include "tests/support/upgradefixture.h"

namespace {
struct Result
{
    int code = -1;
    QString out;
    QString err;
};

Result zrtool(const QStringList &arguments)
{
    QProcess p;
    p.start(QStringLiteral(ZRTOOL_PATH), arguments);
    Result r;
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.code = p.exitCode();
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

const QStringList kSim = {"--simulate", "--sim-virtual-clock"};

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A bus with one device, an open cable in fast mode, and the prompts the unattended path answers from.
struct Bench
{
    explicit Bench(const QByteArray &model, const QString &family, quint32 id = 0x0379C02A)
    {
        SimDeviceConfig config;
        config.modelCode = model;
        config.family = family;
        config.deviceId = id;
        device = bus.addDevice(config);
        cable.setFastReplies(true);
        cable.open(250000, 8, 2, 0);
    }
    int writes() const
    {
        int n = 0;
        for (const QByteArray &r : bus.requests())
            n += readU16(r, 2) == CMD_WRITE_MEMORY ? 1 : 0;
        return n;
    }
    SimulatedBus bus;
    OptionPrompts prompts;
    AppState state;
    RS485Cable cable{nullptr, 250000, 8, 2, 0, &bus, &prompts};
    SimDevice *device = nullptr;
};
} // namespace

class TestDeviceOps : public QObject
{
    Q_OBJECT

private slots:
    void upgradeRecordsTheOutcome();
    void refusedFilesWriteNothing_data();
    void refusedFilesWriteNothing();
    void recoveryOfALostDescriptor();
    void zrtoolUpgrade_data();
    void zrtoolUpgrade();
    void zrtoolUpgradeEachFamily_data();
    void zrtoolUpgradeEachFamily();
    void zrtoolReadFlashEqualsTheDevice();
    void zrtoolStreamUpgradesOnlyTheNamedModel();
    void zrtoolConnectAndNoCable();
    void retriesNeverEndDoneOverDifferentFlash_data();
    void retriesNeverEndDoneOverDifferentFlash();
    void realDifferenceStillFails();
    void lostWriteIsWrittenAgainOnlyOverErasedFlash_data();
    void lostWriteIsWrittenAgainOnlyOverErasedFlash();
    void descriptorOfTheFileMustNameTheDevice_data();
    void descriptorOfTheFileMustNameTheDevice();
    void zrtoolBlankDescriptor();
    void zrtoolWrongFileVersion();
    void zrtoolStreamRefusals_data();
    void zrtoolStreamRefusals();
    void zrtoolStopSignals_data();
    void zrtoolStopSignals();
    void zrtoolCollisions();
    void jsonCrcsAgree();
    void cableMatch_data();
    void cableMatch();

private:
    QTemporaryDir m_dir;
};

void TestDeviceOps::upgradeRecordsTheOutcome()
{
    Bench b("Zr501", "STM32F100C8");
    const QByteArray image = testImage(0x10000, 0x2000, 3);
    const QString path = writeTestUpgradeFile(m_dir.filePath("zr501.upg"), "Zr501", image);
    UpgradeRequest request;
    request.file = path;
    const UpgradeOutcome outcome = upgradeDevice(b.state, b.prompts, b.cable, request);
    QCOMPARE(int(outcome.result), int(UpgradeOutcome::Result::Done));
    QCOMPARE(b.device->flashAt(0x08002000, 0xE000), image.mid(0x2000));
    QCOMPARE(outcome.deviceId, 0x0379C02Au);
    QCOMPARE(outcome.model, QByteArray("Zr501"));
    QCOMPARE(outcome.bootVersion, QByteArray("BL 1.07"));
    QCOMPARE(outcome.family, QString("STM32F100C8"));
    QCOMPARE(outcome.fileName, QString("zr501.upg"));
    QCOMPARE(outcome.fileCrc, Crc16(readAll(path)));
    QVERIFY(outcome.fastReplies);
    QVERIFY(outcome.step.isEmpty());
    // The duration is the bus's own: the whole exchange, never less than what the line needed.
    QVERIFY(outcome.durationMs * 1000 >= b.bus.busyUs() - 1000);
    QVERIFY(outcome.durationMs * 1000 <= b.bus.elapsedUs());
    QCOMPARE(b.device->runCount(), 0); // not asked to run
}

void TestDeviceOps::refusedFilesWriteNothing_data()
{
    QTest::addColumn<QString>("fileModel");
    QTest::addColumn<QString>("family");
    QTest::addColumn<QString>("step");
    QTest::newRow("another model") << "Zr529" << QString() << "the file is for Zr529, the device is a Zr501";
    QTest::newRow("forced family of another model") << "Zr501" << "STM32F030F4"
                                                    << "the file is for Zr501, not a STM32F030F4 model";
    QTest::newRow("unknown family") << "Zr501" << "STM32F999"
                                    << "unknown family STM32F999 (one of STM32F030F4, STM32F100C6, STM32F100C8, "
                                       "STM32L051C8, STM32F103RC_64KB, STM32F103RC, STM32F405RG, STM32F474RB, "
                                       "STM32F070F6 (= STM32F030F4), STM32G474CB (= STM32F474RB))";
}

void TestDeviceOps::refusedFilesWriteNothing()
{
    QFETCH(QString, fileModel);
    QFETCH(QString, family);
    QFETCH(QString, step);
    Bench b("Zr501", "STM32F100C8");
    const QByteArray before = b.device->flash();
    UpgradeRequest request;
    request.file = writeTestUpgradeFile(m_dir.filePath(fileModel + ".upg"), fileModel, testImage(0x10000, 0x2000));
    request.family = family;
    const UpgradeOutcome outcome = upgradeDevice(b.state, b.prompts, b.cable, request);
    QCOMPARE(int(outcome.result), int(UpgradeOutcome::Result::Refused));
    QCOMPARE(outcome.step, step);
    QCOMPARE(b.writes(), 0);
    QCOMPARE(b.device->flash(), before);
}

// An interrupted Zr440 upgrade can leave its descriptor block blank: Connect then finds an unknown device, and
// only the family procedure named by hand brings it back.
void TestDeviceOps::recoveryOfALostDescriptor()
{
    Bench b("Zr440", "STM32F030F4", 0x0379C0AA);
    b.device->setFlashAt(DESCRIPTOR_ADDRESS, QByteArray(64, char(0xFF)));
    QByteArray image = testImage(0x7800, 0x1800, 5);
    QByteArray descriptor(64, '\0');
    descriptor.replace(0, 5, "Zr440");
    descriptor.replace(32, 7, "BL 1.07");
    image.replace(int(DESCRIPTOR_ADDRESS - FLASH_BASE), 64, descriptor);
    UpgradeRequest request;
    request.file = writeTestUpgradeFile(m_dir.filePath("zr440.upg"), "Zr440", image);

    UpgradeOutcome outcome = upgradeDevice(b.state, b.prompts, b.cable, request);
    QCOMPARE(int(outcome.result), int(UpgradeOutcome::Result::Refused));
    QCOMPARE(outcome.step, QString("Unknown device"));
    QCOMPARE(b.writes(), 0);

    request.family = "STM32F030F4";
    request.hasTarget = true;
    request.target = 0x0379C0AA;
    outcome = upgradeDevice(b.state, b.prompts, b.cable, request);
    QCOMPARE(int(outcome.result), int(UpgradeOutcome::Result::Done));
    QCOMPARE(outcome.family, QString("STM32F030F4"));
    // Every write went to the ID given, and the device knows itself again.
    for (const QByteArray &r : b.bus.requests())
        if (readU16(r, 2) == CMD_WRITE_MEMORY)
            QCOMPARE(readU32(r, 4), 0x0379C0AAu);
    DeviceIdentity identity;
    QVERIFY(ConnectEngine(b.state, b.prompts, b.cable).identify(&identity));
    QCOMPARE(identity.name, QByteArray("Zr440"));
}

void TestDeviceOps::zrtoolUpgrade_data()
{
    QTest::addColumn<QString>("fileModel");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("err");
    QTest::newRow("demo device") << "Zr501" << QStringList() << 0 << QString();
    QTest::newRow("full windows") << "Zr501" << QStringList("--full-windows") << 0 << QString();
    QTest::newRow("another model") << "Zr529" << QStringList() << 6
                                   << "zrtool upgrade: refused, nothing written: the file is for Zr529, the device "
                                      "is a Zr501\n";
    // Frames 1-5 are connects the powered-off device ignores, 6 and 7 connect and identify; 40 is mid-upgrade.
    QTest::newRow("dropped reply, retried") << "Zr501" << QStringList({"--sim-drop-reply", "40"}) << 0 << QString();
    QTest::newRow("dropped reply, no retries")
        << "Zr501" << QStringList({"--sim-drop-reply", "41", "--retries", "0"}) << 6
        << "zrtool upgrade: block 0x08006000: no reply to the read-back, 1 try; the device holds a partly "
           "written application, upgrade it again\n";
    QTest::newRow("recovery without --force") << "Zr501" << QStringList({"--family", "STM32F100C8"}) << 1
                                              << "zrtool upgrade: --family replaces the device's own report: add "
                                                 "--force (see zrtool upgrade --help)\n";
    QTest::newRow("unknown family") << "Zr501" << QStringList({"--family", "STM32X", "--force"}) << 1
                                    << "zrtool upgrade: unknown family 'STM32X' (one of STM32F030F4, STM32F100C6, "
                                       "STM32F100C8, STM32L051C8, STM32F103RC_64KB, STM32F103RC, STM32F405RG, "
                                       "STM32F474RB, STM32F070F6 (= STM32F030F4), STM32G474CB (= STM32F474RB)) (see "
                                       "zrtool upgrade --help)\n";
    QTest::newRow("no device") << "Zr501" << QStringList({"--sim-device", "Zr501", "--attempts", "3"}) << 5
                               << "zrtool upgrade: connect: no device answered\n";
}

void TestDeviceOps::zrtoolUpgrade()
{
    QFETCH(QString, fileModel);
    QFETCH(QStringList, options);
    QFETCH(int, code);
    QFETCH(QString, err);
    const QByteArray image = testImage(0x10000, 0x2000, 7);
    const QString path = writeTestUpgradeFile(m_dir.filePath(fileModel + "-tool.upg"), fileModel, image);
    QTemporaryDir flashOut;
    const Result r = zrtool(QStringList{"upgrade"} + kSim + options
                            + QStringList{"--sim-flash-out", flashOut.path(), path});
    QCOMPARE(r.code, code);
    QCOMPARE(r.err, err);
    if (code == 1)
        return; // refused on the command line: no bus was built
    const QByteArray flash = readAll(flashOut.filePath("0-Zr501.bin"));
    QCOMPARE(flash.size(), 0x10000);
    if (code == 0) {
        QCOMPARE(flash.mid(0x2000), image.mid(0x2000));
        QVERIFY(r.out.startsWith("3 26140042 Zr501 (STM32F100C8) upgraded with Zr501-tool.upg in "));
    } else if (options.contains("--retries")) {
        QVERIFY(flash.mid(0x2000, 0x400) == image.mid(0x2000, 0x400)); // written part-way, and said so
        QVERIFY(flash.mid(0x2000) != image.mid(0x2000));
    } else {
        QVERIFY(flash.mid(0x2000) != image.mid(0x2000)); // nothing written
    }
}

void TestDeviceOps::zrtoolUpgradeEachFamily_data()
{
    QTest::addColumn<int>("family");
    for (const UpgradeFamily &f : upgradeFamilies())
        QTest::newRow(f.name) << int(f.id);
}

// A device of each family upgraded on the simulated bus, as a bench PC without a cable would: the blocks the
// family writes hold the file's image afterwards.
void TestDeviceOps::zrtoolUpgradeEachFamily()
{
    QFETCH(int, family);
    const UpgradeFamily &f = upgradeFamily(FamilyId(family));
    const QString model = familyModels(f.id).constFirst();
    const quint32 first = f.firstBlock - 0x08000000, end = f.end - 0x08000000;
    QByteArray image = testImage(f.imageSize, first, family + 3);
    nameModelInDescriptor(&image, model.toLatin1(), f.firstBlock);
    const QString path = writeTestUpgradeFile(m_dir.filePath(model + "-family.upg"), model, image);
    QTemporaryDir flashOut;
    const Result r = zrtool(QStringList{"upgrade"} + kSim
                            + QStringList{"--sim-device", model, "--sim-flash-out", flashOut.path(), path});
    QCOMPARE(r.err, QString());
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains(QStringLiteral("%1 (%2) upgraded").arg(model, QLatin1String(f.name))), qPrintable(r.out));
    const QByteArray flash = readAll(flashOut.filePath("0-" + model + ".bin"));
    QVERIFY(flash.size() >= int(end));
    QVERIFY(flash.mid(int(first), int(end - first)) == image.mid(int(first), int(end - first)));
}

void TestDeviceOps::zrtoolReadFlashEqualsTheDevice()
{
    const QString out = m_dir.filePath("dump.bin");
    const Result r = zrtool(QStringList{"read-flash"} + kSim
                            + QStringList{"--address", "0x08001F00", "--length", "0x1234", "-o", out});
    QCOMPARE(r.err, QString());
    QCOMPARE(r.code, 0);
    // The demo device, as the simulator builds it.
    SimulatedBus bus;
    SimDeviceConfig config;
    config.modelCode = "Zr501";
    const QByteArray expected = bus.addDevice(config)->flashAt(0x08001F00, 0x1234);
    QCOMPARE(readAll(out), expected);
    QVERIFY(expected.contains("Zr501")); // the descriptor lies inside the range read

    const Result failed = zrtool(QStringList{"read-flash"} + kSim
                                 + QStringList{"--address", "0x0800FC00", "--length", "0x800", "-o", out});
    QCOMPARE(failed.code, 6);
    QCOMPARE(failed.err, QString("zrtool read-flash: no correct reply for the block at 0x08010000\n"));
}

void TestDeviceOps::zrtoolStreamUpgradesOnlyTheNamedModel()
{
    const QByteArray image = testImage(0x10000, 0x2000, 9);
    const QString path = writeTestUpgradeFile(m_dir.filePath("stream.upg"), "Zr501", image);
    QTemporaryDir flashOut;
    const Result r = zrtool(QStringList{"stream"} + kSim
                            + QStringList{"--sim-device", "Zr501", "--sim-device", "Zr529", "--sim-device", "Zr501",
                                          "--attempts", "20", "--name", "Zr501", "--sim-flash-out", flashOut.path(),
                                          path});
    QCOMPARE(r.err, QString());
    QCOMPARE(r.code, 0);
    // One line that says what was done and what was not checked.
    QVERIFY2(r.out.startsWith(QDir::toNativeSeparators(path) + " sent three times over to every Zr501 on the bus in ") && r.out.count('\n') == 1
                 && r.out.contains("replies are not examined"),
             qPrintable(r.out));
    QCOMPARE(readAll(flashOut.filePath("0-Zr501.bin")).mid(0x2000), image.mid(0x2000));
    QCOMPARE(readAll(flashOut.filePath("2-Zr501.bin")).mid(0x2000), image.mid(0x2000));
    QVERIFY(readAll(flashOut.filePath("1-Zr529.bin")).mid(0x2000) != image.mid(0x2000));
}

// "upgrade --json" and "upg inspect --json" give the image's CRC-16 under one name and in one form.
void TestDeviceOps::jsonCrcsAgree()
{
    QByteArray image = testImage(0x10000, 0x2000, 9);
    sealImage(image, *upgradeLayout("STM32F100C8"));
    const QString path = writeTestUpgradeFile(m_dir.filePath("crc.upg"), "Zr501", image);
    const Result upgrade = zrtool(QStringList{"upgrade", "--json"} + kSim + QStringList{path});
    QCOMPARE(upgrade.code, 0);
    const Result inspect = zrtool({"upg", "inspect", "--json", path});
    QCOMPARE(inspect.code, 0);
    const QJsonObject u = QJsonDocument::fromJson(upgrade.out.toUtf8()).object();
    const QJsonObject i = QJsonDocument::fromJson(inspect.out.toUtf8()).object();
    const QString crc = "0x" + QStringLiteral("%1").arg(readU16(image, 0xFFFE), 4, 16, QLatin1Char('0')).toUpper();
    QCOMPARE(u.value("imageCrc").toString(), crc);
    QCOMPARE(i.value("imageCrc").toString(), crc);
    QCOMPARE(u.value("deviceId").toString(), QStringLiteral("0x0379C02A"));
}

// --cable TEXT picks the one cable whose entry contains TEXT; of several, the one whose serial or port it is whole;
// otherwise none, and the caller names what matched.
void TestDeviceOps::cableMatch_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("taken"); // the serial of the cable taken; empty: none
    QTest::addColumn<QString>("problem");
    const QString several = "matches several cables";
    QTest::newRow("whole serial") << "A1B2C3" << "A1B2C3" << "";
    QTest::newRow("other case") << "a1b2c3" << "A1B2C3" << "";
    QTest::newRow("unique beginning") << "A10K" << "A10KXYZ1" << "";
    QTest::newRow("beginning of two serials") << "A1" << "" << several;
    QTest::newRow("whole serial that begins another") << "AB" << "AB" << "";
    QTest::newRow("port path") << "/dev/ttyUSB0" << "FT9ZZ" << "";
    QTest::newRow("port name") << "ttyUSB0" << "FT9ZZ" << "";
    QTest::newRow("port, not the one it begins") << "/dev/pts/1" << "/dev/pts/1" << "";
    QTest::newRow("beginning of two ports") << "/dev/pts/" << "" << several;
    QTest::newRow("inside a serial is no name") << "KXYZ" << "" << "is not one of";
    QTest::newRow("nothing") << "nope" << "" << "is not one of";
}

void TestDeviceOps::cableMatch()
{
    QFETCH(QString, name);
    QFETCH(QString, taken);
    QFETCH(QString, problem);
    QList<CableIdentity> cables;
    auto add = [&](const QByteArray &serial, const QStringList &ports) {
        CableIdentity c;
        c.serial = c.openName = serial;
        c.description = "FT232R";
        c.names = QStringList{QString::fromLatin1(serial)} + ports;
        cables << c;
    };
    for (const QByteArray serial : {"A10KXYZ1", "A1B2C3", "ABC", "AB"})
        add(serial, {});
    add("FT9ZZ", {"/dev/ttyUSB0", "ttyUSB0"});
    add("/dev/pts/1", {});
    add("/dev/pts/10", {});
    QString why;
    const int index = findCable(cables, name, &why);
    QCOMPARE(index < 0 ? QString() : QString::fromLatin1(cables.at(index).serial), taken);
    if (problem.isEmpty()) {
        QVERIFY(why.isEmpty());
    } else {
        QVERIFY2(why.contains(problem), qPrintable(why));
        QVERIFY2(why.startsWith(QStringLiteral("'%1' ").arg(name)), qPrintable(why));
    }
    // An ambiguous name lists exactly the cables it matches, so the user sees what to type.
    if (problem == QLatin1String("matches several cables"))
        for (const CableIdentity &c : qAsConst(cables))
            QCOMPARE(why.contains(c.label()), QString::fromLatin1(c.serial).startsWith(name));
}

void TestDeviceOps::zrtoolConnectAndNoCable()
{
    Result r = zrtool(QStringList{"connect", "--json"} + kSim + QStringList{"--sim-device", "Zr440"});
    QCOMPARE(r.code, 0);
    const QJsonObject json = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(json.value("model").toString(), QString("Zr440"));
    QCOMPARE(json.value("id").toString(), QString("3 26140042"));
    QCOMPARE(json.value("bootVersion").toString(), QString("BL 1.07"));

    r = zrtool(QStringList{"discover"} + kSim + QStringList{"--sim-device", "Zr529"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QString("Device ID: 0x0379c02a\n"));

    r = zrtool(QStringList{"connect"} + kSim + QStringList{"--cable", "NOSUCHCABLE"});
    QCOMPARE(r.code, 4);
    QCOMPARE(r.err, QString("zrtool: no cable: 'NOSUCHCABLE' is not one of: USB-RS485 Cable (simulated bus) S/N: "
                            "ZRSIM001\n"));
    // Only an upgrade takes several cables; --simulate is one bus.
    r = zrtool(QStringList{"connect"} + kSim + QStringList{"--cable", "ZRSIM001", "--cable", "ZRSIM002"});
    QCOMPARE(r.code, 1);
    QCOMPARE(r.err, QString("zrtool connect: takes one --cable (zrtool upgrade takes several) (see zrtool connect "
                            "--help)\n"));
    const QString upg = writeTestUpgradeFile(m_dir.filePath("gang.upg"), "Zr501", testImage(0x10000, 0x2000));
    r = zrtool(QStringList{"upgrade", "--all-cables"} + kSim + QStringList{upg});
    QCOMPARE(r.code, 1);
    QCOMPARE(r.err, QString("zrtool upgrade: --simulate is one bus: give one --cable or none (see zrtool upgrade "
                            "--help)\n"));
    // A backend name that names none is a usage error.
    r = zrtool({"cables", "--cable-backend", "nosuch"});
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.startsWith("zrtool cables: unknown cable backend 'nosuch' ("), qPrintable(r.err));
    // A pinned backend that sees nothing says why in one line (this machine has no FTDI cable).
    r = zrtool({"cables", "--cable-backend", "d2xx"});
    QCOMPARE(r.code, 4);
#ifdef Q_OS_WIN
    // Here the vendor's library is the only cable path: the line says so.
    QCOMPARE(r.err, QString("zrtool: no cable: FTDI D2XX library not found; serial-port and libftdi cable backends "
                            "left out on Windows: FTDI's D2XX driver is the cable path there\n"));
#else
    QCOMPARE(r.err, QString("zrtool: no cable: FTDI D2XX library not found\n"));
#endif
}


namespace {
// One model per upgrade procedure, with the layout its files carry.
struct FamilyCase
{
    const char *model;
    const char *family;
};
const FamilyCase kFamilies[] = {{"Zr440", "STM32F030F4"}, {"Zr436", "STM32F100C6"}, {"Zr501", "STM32F100C8"},
                                {"Zr581", "STM32L051C8"}, {"Zr507", "STM32F103RC_64KB"}, {"Zr627", "STM32F103RC"},
                                {"Zr489", "STM32F405RG"}, {"Zr639", "STM32F474RB"}};

// A plain image for the family, carrying the model code in the descriptor where its layout covers it.
QByteArray familyImage(const QByteArray &model, const QString &family, int seed)
{
    const UpgradeFamily *f = familyByName(family);
    QByteArray image = testImage(f->imageSize, f->firstBlock - FLASH_BASE, seed);
    nameModelInDescriptor(&image, model, f->firstBlock);
    return image;
}
} // namespace

// zrtool's careful exchanges against the simulator's faults, every family: a lost, garbled, late or noisy reply
// comes back often, and the upgrade still ends with the file in flash; never "done" over a flash that differs.
void TestDeviceOps::retriesNeverEndDoneOverDifferentFlash_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<QString>("family");
    QTest::addColumn<int>("every");
    for (const char *fault : {"drop", "corrupt", "late", "noise"})
        for (const FamilyCase &f : kFamilies)
            for (int every : {7, 3, 1})
                QTest::addRow("%s, %s, every %d", fault, f.family, every)
                    << QString::fromLatin1(fault) << QByteArray(f.model) << QString::fromLatin1(f.family) << every;
}

void TestDeviceOps::retriesNeverEndDoneOverDifferentFlash()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, model);
    QFETCH(QString, family);
    QFETCH(int, every);
    Bench b(model, family);
    const UpgradeFamily *f = familyByName(family);
    const QByteArray image = familyImage(model, family, 13);
    UpgradeRequest request;
    request.file = writeTestUpgradeFile(m_dir.filePath(QString::fromLatin1(model) + ".upg"), model, image);
    request.retries = 2;
    SimulatedBus::Fault kind = SimulatedBus::Fault::None;
    QVERIFY(SimulatedBus::faultByName(fault, &kind));
    // From the first block on, every `every`-th reply is hit.
    bool armed = false;
    b.bus.onRequest = [&](const QByteArray &frame) {
        if (!armed && readU16(frame, 2) == CMD_WRITE_MEMORY) {
            armed = true;
            b.bus.setPeriodicFault(kind, every);
        }
    };
    const UpgradeOutcome outcome = upgradeDevice(b.state, b.prompts, b.cable, request);
    const QByteArray written = b.device->flashAt(f->firstBlock, int(f->end - f->firstBlock));
    const QByteArray expected = image.mid(int(f->firstBlock - FLASH_BASE));
    if (outcome.result == UpgradeOutcome::Result::Done)
        QCOMPARE(written, expected); // the one thing that must never fail
    if (every > 1) {
        // Never two hits in a row: each lost exchange is made good by one more.
        QVERIFY2(outcome.result == UpgradeOutcome::Result::Done, qPrintable(outcome.step));
        QVERIFY(b.bus.requests().size() > 2 * f->blockCount() + 2); // some exchanges were repeated
    } else if (fault == "late") {
        // Every reply one window late: each read-back takes the one before it, of the same block, for what it is.
        QVERIFY2(outcome.result == UpgradeOutcome::Result::Done, qPrintable(outcome.step));
    } else {
        // Every reply hit: the upgrade stops, naming the block and the cause.
        QCOMPARE(int(outcome.result), int(UpgradeOutcome::Result::Failed));
        const QRegularExpression cause(QStringLiteral("^block 0x%1: (no reply|a wrong CRC in the reply|a reply to "
                                                      "another request) to the (write|read-back), 3 tries$")
                                               .arg(f->firstBlock, 8, 16, QLatin1Char('0')));
        QVERIFY2(cause.match(outcome.step).hasMatch(), qPrintable(outcome.step));
    }
}

// A block whose flash really differs is never taken for a lost reply: the upgrade stops naming it.
void TestDeviceOps::realDifferenceStillFails()
{
    Bench b("Zr501", "STM32F100C8");
    b.device->corruptReadBack(0x08003000);
    UpgradeRequest request;
    request.file = writeTestUpgradeFile(m_dir.filePath("differs.upg"), "Zr501", testImage(0x10000, 0x2000, 3));
    request.retries = 2;
    const UpgradeOutcome outcome = upgradeDevice(b.state, b.prompts, b.cable, request);
    QCOMPARE(int(outcome.result), int(UpgradeOutcome::Result::Failed));
    QCOMPARE(outcome.step, QString("block 0x08003000: the read-back differs from the file (compare)"));
}

void TestDeviceOps::lostWriteIsWrittenAgainOnlyOverErasedFlash_data()
{
    QTest::addColumn<bool>("erased");
    QTest::addColumn<QString>("step");
    QTest::newRow("still erased: written again") << true << QString();
    QTest::newRow("old contents: stop") << false
                                        << "block 0x08002c00: no reply to the write, and the block reads neither "
                                           "written nor erased";
}

// A write the device never heard: the block reads back as before. Only an erased block is written again.
void TestDeviceOps::lostWriteIsWrittenAgainOnlyOverErasedFlash()
{
    QFETCH(bool, erased);
    QFETCH(QString, step);
    Bench b("Zr501", "STM32F100C8");
    if (!erased)
        b.device->setFlashAt(0x08002000, testBytes(0xE000, 99)); // an application from before
    const QByteArray image = testImage(0x10000, 0x2000, 12);
    UpgradeRequest request;
    request.file = writeTestUpgradeFile(m_dir.filePath("lost-write.upg"), "Zr501", image);
    request.retries = 2;
    bool lost = false;
    b.bus.onRequest = [&](const QByteArray &frame) {
        if (!lost && readU16(frame, 2) == CMD_WRITE_MEMORY && readU32(frame, 12) == 0x08002C00) {
            lost = true;
            b.bus.loseRequests(1);
        }
    };
    const UpgradeOutcome outcome = upgradeDevice(b.state, b.prompts, b.cable, request);
    QCOMPARE(outcome.step, step);
    if (erased) {
        QCOMPARE(int(outcome.result), int(UpgradeOutcome::Result::Done));
        QCOMPARE(b.device->flashAt(0x08002000, 0xE000), image.mid(0x2000));
        QCOMPARE(b.writes(), 56 + 1);
    } else {
        QCOMPARE(int(outcome.result), int(UpgradeOutcome::Result::Failed));
    }
}

void TestDeviceOps::descriptorOfTheFileMustNameTheDevice_data()
{
    QTest::addColumn<QByteArray>("named");
    QTest::addColumn<QString>("step");
    QTest::newRow("the device's own") << QByteArray("Zr440") << QString();
    QTest::newRow("another model") << QByteArray("Zr441")
                                   << "the file's descriptor at 0x08001fc0 names Zr441, the device is a Zr440";
    QTest::newRow("blank") << QByteArray() << "the file's descriptor at 0x08001fc0 names no model, the device is a Zr440";
}

// A Zr440 upgrade writes the descriptor block: a file naming another model there would leave an unknown device.
void TestDeviceOps::descriptorOfTheFileMustNameTheDevice()
{
    QFETCH(QByteArray, named);
    QFETCH(QString, step);
    Bench b("Zr440", "STM32F030F4");
    const QByteArray before = b.device->flash();
    const QByteArray image = familyImage(named, "STM32F030F4", 4);
    UpgradeRequest request;
    request.file = writeTestUpgradeFile(m_dir.filePath("descriptor.upg"), "Zr440", image);
    request.retries = 2;
    const UpgradeOutcome outcome = upgradeDevice(b.state, b.prompts, b.cable, request);
    QCOMPARE(outcome.step, step);
    if (step.isEmpty()) {
        QCOMPARE(int(outcome.result), int(UpgradeOutcome::Result::Done));
        return;
    }
    QCOMPARE(int(outcome.result), int(UpgradeOutcome::Result::Refused));
    QCOMPARE(b.writes(), 0);
    QCOMPARE(b.device->flash(), before);
}

// A device whose descriptor is erased is "Unknown device" with the line that restores it, never a garbled name.
void TestDeviceOps::zrtoolBlankDescriptor()
{
    const QStringList device = kSim + QStringList{"--sim-device", "Zr440", "--sim-blank-descriptor"};
    Result r = zrtool(QStringList{"connect"} + device);
    QCOMPARE(r.code, 6);
    QCOMPARE(r.out, QString("ID: 3 26140042\n"));
    // The simulator's IDs carry the Zr501's RDM identifier, so the advice names the Zr501's family.
    QCOMPARE(r.err, QString("zrtool connect: Unknown device\nzrtool connect: Descriptor blank or unreadable; to "
                            "restore the device run: zrtool upgrade --family STM32F100C8 --target 0x0379c02a "
                            "--force FILE.upg\n"));
    const QString path = writeTestUpgradeFile(m_dir.filePath("Zr440.upg"), "Zr440", familyImage("Zr440", "STM32F030F4", 2));
    r = zrtool(QStringList{"upgrade", "--no-registry"} + device + QStringList{path});
    QCOMPARE(r.code, 6);
    QCOMPARE(r.err, QString("zrtool upgrade: refused, nothing written: Unknown device\nzrtool upgrade: Descriptor "
                            "blank or unreadable; to restore the device run: zrtool upgrade --family STM32F100C8 "
                            "--target 0x0379c02a --force FILE.upg\n"));
    // The layout's name works for --family as the procedure's does.
    r = zrtool(QStringList{"upgrade", "--no-registry", "--family", "STM32F070F6", "--force", "--target",
                           "0x0379c02a"} + device + QStringList{path});
    QCOMPARE(r.err, QString());
    QCOMPARE(r.code, 0);
}

void TestDeviceOps::zrtoolWrongFileVersion()
{
    const QString path = writeTestUpgradeFile(m_dir.filePath("v1.upg"), "Zr501", testImage(0x10000, 0x2000), "1");
    const Result r = zrtool(QStringList{"upgrade", "--no-registry"} + kSim + QStringList{path});
    QCOMPARE(r.code, 6);
    QCOMPARE(r.err, QString("zrtool upgrade: refused, nothing written: Wrong file version '1' (the procedures accept "
                            "'01')\n"));
}

void TestDeviceOps::zrtoolStreamRefusals_data()
{
    QTest::addColumn<QString>("fileModel");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("err");
    QTest::newRow("another model") << "Zr529" << QStringList() << 2
                                   << "the file is for Zr529, the stream connect called Zr501 (nothing sent; --force "
                                      "streams it anyway)";
    QTest::newRow("model of another layout") << "Zr440" << QStringList() << 2
                                             << "Zr440 does not use the stream's STM32F100C8 layout (64 KiB from "
                                                "0x08002000) (nothing sent; --force streams it anyway)";
    QTest::newRow("forced") << "Zr529" << QStringList("--force") << 0 << QString();
}

void TestDeviceOps::zrtoolStreamRefusals()
{
    QFETCH(QString, fileModel);
    QFETCH(QStringList, options);
    QFETCH(int, code);
    QFETCH(QString, err);
    const QByteArray image = testImage(0x10000, 0x2000, 6);
    const QString path = writeTestUpgradeFile(m_dir.filePath(fileModel + "-stream.upg"), fileModel, image);
    QTemporaryDir flashOut;
    const Result r = zrtool(QStringList{"stream"} + kSim + options
                            + QStringList{"--attempts", "20", "--name", "Zr501", "--sim-flash-out", flashOut.path(),
                                          path});
    QCOMPARE(r.code, code);
    const QByteArray flash = readAll(flashOut.filePath("0-Zr501.bin"));
    if (code == 0) {
        QCOMPARE(flash.mid(0x2000), image.mid(0x2000)); // --force: as asked
        return;
    }
    QCOMPARE(r.err, QString("zrtool: %1: %2\n").arg(QDir::toNativeSeparators(path), err));
    QVERIFY(flash.isEmpty()); // refused before any bus was built
}

void TestDeviceOps::zrtoolStopSignals_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("err");
    // Frames 1-5 are connects the powered-off device ignores, 6 and 7 connect and identify, then write and read.
    QTest::newRow("upgrade, SIGINT mid-upgrade")
        << QStringList{"upgrade"} << "INT@20" << 130
        << "zrtool upgrade: interrupted (SIGINT): interrupted before the block at 0x08003c00; the device holds a "
           "partly written application: run this zrtool upgrade again to finish it\n";
    QTest::newRow("upgrade, SIGTERM mid-upgrade")
        << QStringList{"upgrade"} << "TERM@31" << 143
        << "zrtool upgrade: interrupted (SIGTERM): interrupted before the block at 0x08005000; the device holds a "
           "partly written application: run this zrtool upgrade again to finish it\n";
    QTest::newRow("upgrade, SIGINT while connecting")
        << QStringList{"upgrade"} << "INT@3" << 130 << "zrtool upgrade: interrupted (SIGINT): nothing written\n";
    QTest::newRow("stream, SIGTERM mid-stream")
        << QStringList{"stream", "--name", "Zr501", "--attempts", "10"} << "TERM@40" << 143
        << "zrtool stream: interrupted (SIGTERM): the devices hold a partly written application: run this zrtool "
           "stream again to finish it\n";
    QTest::newRow("write-flash, SIGINT during the write")
        << QStringList{"write-flash", "--address", "0x08004000"} << "INT@8" << 130
        << "zrtool write-flash: interrupted (SIGINT): the block at 0x08004000 may be partly written: run this "
           "zrtool write-flash again to finish it\n";
}

// Ctrl-C or SIGTERM mid-write: one line on what the device holds and how to finish, a record, 128 + the signal.
void TestDeviceOps::zrtoolStopSignals()
{
    QFETCH(QStringList, command);
    QFETCH(QString, signal);
    QFETCH(int, code);
    QFETCH(QString, err);
    const QByteArray image = testImage(0x10000, 0x2000, 8);
    const QString path = command.first() == "write-flash"
                                 ? m_dir.filePath("block.bin")
                                 : writeTestUpgradeFile(m_dir.filePath("Zr501-signal.upg"), "Zr501", image);
    if (command.first() == "write-flash") {
        QFile block(path);
        QVERIFY(block.open(QIODevice::WriteOnly) && block.write(QByteArray(1024, 'x')) == 1024);
    }
    QTemporaryDir registryDir;
    const QString registry = registryDir.filePath("registry.sqlite");
    QStringList arguments = command + kSim + QStringList{"--sim-raise", signal};
    if (command.first() == "upgrade")
        arguments << "--registry" << registry;
    const Result r = zrtool(arguments + QStringList{path});
    QCOMPARE(r.err, err);
    QCOMPARE(r.code, code);
    if (command.first() != "upgrade" || err.contains("nothing written"))
        return;
    Registry reg;
    QVERIFY(reg.open(registry));
    const QVector<UpgradeRecord> records = reg.upgrades(0x0379C02A);
    QCOMPARE(records.size(), 1);
    QVERIFY2(records.at(0).result.startsWith("interrupted: interrupted before the block at 0x"),
             qPrintable(records.at(0).result));
}

// Several devices in their bootloaders answer one connect frame at once: said so at once, and --target picks one.
void TestDeviceOps::zrtoolCollisions()
{
    const QStringList two = kSim + QStringList{"--sim-device", "Zr501", "--sim-device", "Zr529"};
    Result r = zrtool(QStringList{"connect"} + two);
    QCOMPARE(r.code, 5);
    QCOMPARE(r.err, QString("zrtool connect: several devices answered at once (address one with --target ID; zrtool "
                            "discover lists them)\n"));
    r = zrtool(QStringList{"connect", "--target", "0x0379C02B"} + two);
    QCOMPARE(r.err, QString());
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QString("ID: 3 26140043\nDevice: Zr529\nBoot version: BL 1.07\n"));
    r = zrtool(QStringList{"read-flash", "--length", "64", "-o", m_dir.filePath("c.bin")} + two);
    QCOMPARE(r.code, 5);
    QVERIFY2(r.err.startsWith("zrtool read-flash: connect: several devices answered at once"), qPrintable(r.err));
    const QString path = writeTestUpgradeFile(m_dir.filePath("Zr529-two.upg"), "Zr529", testImage(0x10000, 0x2000));
    r = zrtool(QStringList{"upgrade", "--no-registry"} + two + QStringList{path});
    QCOMPARE(r.code, 5);
    QCOMPARE(r.err, QString("zrtool upgrade: connect: several devices answered at once (address one with --target "
                            "ID)\n"));
    QTemporaryDir flashOut;
    r = zrtool(QStringList{"upgrade", "--no-registry", "--target", "0x0379C02B", "--sim-flash-out", flashOut.path()}
               + two + QStringList{path});
    QCOMPARE(r.err, QString());
    QCOMPARE(r.code, 0);
    QCOMPARE(readAll(flashOut.filePath("1-Zr529.bin")).mid(0x2000), testImage(0x10000, 0x2000).mid(0x2000));
    QVERIFY(readAll(flashOut.filePath("0-Zr501.bin")).mid(0x2000) != testImage(0x10000, 0x2000).mid(0x2000));
    r = zrtool(QStringList{"discover"} + two);
    QCOMPARE(r.code, 5);
    QCOMPARE(r.err, QString("zrtool discover: several devices answered at once (mute all but one, or use connect "
                            "--target ID for a device whose ID you know)\n"));
}

QTEST_GUILESS_MAIN(TestDeviceOps)
#include "test_deviceops.moc"
