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
    QTest::newRow("unknown family") << "Zr501" << "STM32F999" << "unknown family STM32F999";
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
    QTest::newRow("dropped reply") << "Zr501" << QStringList({"--sim-drop-reply", "40"}) << 6
                                   << "zrtool upgrade: write: CRC err; the device holds a partly written "
                                      "application, upgrade it again\n";
    QTest::newRow("recovery without --force") << "Zr501" << QStringList({"--family", "STM32F100C8"}) << 1
                                              << "zrtool upgrade: --family replaces the device's own report: add "
                                                 "--force (see zrtool upgrade --help)\n";
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
    } else if (options.contains("--sim-drop-reply")) {
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
    const QByteArray image = testImage(f.imageSize, first, family + 3);
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
    QCOMPARE(readAll(flashOut.filePath("0-Zr501.bin")).mid(0x2000), image.mid(0x2000));
    QCOMPARE(readAll(flashOut.filePath("2-Zr501.bin")).mid(0x2000), image.mid(0x2000));
    QVERIFY(readAll(flashOut.filePath("1-Zr529.bin")).mid(0x2000) != image.mid(0x2000));
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
    r = zrtool({"cables", "--cable-backend", "nosuch"});
    QCOMPARE(r.code, 4);
    QVERIFY(r.err.startsWith("zrtool: no cable: unknown cable backend \"nosuch\""));
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

QTEST_GUILESS_MAIN(TestDeviceOps)
#include "test_deviceops.moc"
