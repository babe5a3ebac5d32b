// Gang upgrade: several cables at once, each on its own worker. In-process on simulated buses (one failing, a stop
// from the middle, the records of every worker), and zrtool over zrsim's pseudo-terminals (four Zr440s at the same
// time, a cable whose device is gone or never answers, Ctrl-C in the middle, cables named exactly or ambiguously).
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

#include "boot/gangupgrade.h"
#include "boot/upgradefamily.h"
#include "registry/recorder.h"
#include "registry/registry.h"
#include "sim/simulatedbus.h"
#include "tests/support/descriptorimage.h"
#include "tests/support/upgradefixture.h"
#ifdef ZRSIM_PATH
#include "tests/support/zrsimprocess.h"
#endif

namespace {
// A simulated bus made on a worker's thread that leaves its device's flash behind when the worker is done with it.
struct KeptBus : SimulatedBus
{
    explicit KeptBus(QByteArray *flash)
        : SimulatedBus(SimulatedBus::Clock::Virtual)
        , m_flash(flash)
    {
    }
    ~KeptBus() override
    {
        if (!devices().isEmpty())
            *m_flash = devices().constFirst()->flash();
    }
    QByteArray *m_flash;
};

// One simulated cable of the gang: its device (or none), and what happens to it part-way.
struct SimCable
{
    SimCable(const QByteArray &name)
        : serial(name)
    {
    }
    QByteArray serial;
    bool device = true;
    int goneAfterFrames = 0;                  // the device stops hearing frames after this many (0: never)
    std::function<void(int frame)> onFrame;   // called on the worker's thread for every frame written
    QByteArray flash;                         // the device's flash once its worker ended
};

CableIdentity identity(const QByteArray &serial)
{
    CableIdentity c;
    c.backend = QStringLiteral("sim");
    c.serial = c.openName = serial;
    c.description = "USB-RS485 Cable (simulated bus)";
    c.names = QStringList{QString::fromLatin1(serial)};
    return c;
}

// The driver factory over the cables: each worker builds its bus, with one Zr501 that answers at once.
CableDriverFactory simFactory(QList<SimCable> *cables)
{
    return [cables](const CableIdentity &wanted) -> std::unique_ptr<FtdiDriver> {
        for (int n = 0; n < cables->size(); ++n) {
            SimCable &c = (*cables)[n];
            if (c.serial != wanted.serial)
                continue;
            auto bus = std::make_unique<KeptBus>(&c.flash);
            bus->setCables({{wanted.description, c.serial}});
            if (c.device) {
                SimDeviceConfig config;
                config.modelCode = "Zr501";
                config.family = QStringLiteral("STM32F100C8");
                config.deviceId = 0x0379C02A + quint32(n);
                bus->addDevice(config);
            }
            KeptBus *raw = bus.get();
            auto frames = std::make_shared<int>(0);
            const int gone = c.goneAfterFrames;
            const auto onFrame = c.onFrame;
            raw->onRequest = [raw, frames, gone, onFrame](const QByteArray &) {
                ++*frames;
                if (gone && *frames == gone)
                    raw->loseRequests(1000000);
                if (onFrame)
                    onFrame(*frames);
            };
            return bus;
        }
        return nullptr;
    };
}

QList<GangCable> gangCables(const QList<SimCable> &cables)
{
    QList<GangCable> gang;
    for (const SimCable &c : cables) {
        GangCable g;
        g.identity = identity(c.serial);
        gang << g;
    }
    return gang;
}

// The Zr501's application (0x08002000 up to 0x08010000) in an upgrade file.
struct Zr501File
{
    QTemporaryDir dir;
    QByteArray image = testImage(0x10000, 0x2000, 7);
    QString path = writeTestUpgradeFile(dir.filePath(QStringLiteral("Zr501.upg")), QStringLiteral("Zr501"), image);
    bool written(const QByteArray &flash) const { return flash.mid(0x2000, 0xE000) == image.mid(0x2000, 0xE000); }
};

GangSettings settingsFor(const QString &file)
{
    GangSettings settings;
    settings.request.file = file;
    settings.request.retries = 2;
    settings.attemptLimit = 20;
    return settings;
}
} // namespace

class TestGang : public QObject
{
    Q_OBJECT

private slots:
    void oneCableFailsTheOthersFinish();
    void stopFromTheMiddle();
    void everyWorkersRecordArrivesOnce();
#ifdef ZRSIM_PATH
    void zrtoolFourZr440sAtOnce();
    void zrtoolOneCableFails_data();
    void zrtoolOneCableFails();
    void zrtoolInterrupted();
    void zrtoolCableNames_data();
    void zrtoolCableNames();
#endif
};

// Four cables: two upgrade, one has no device, one loses its device part-way. Each ends as its own bus says,
// whatever the others did, and the good devices hold the file.
void TestGang::oneCableFailsTheOthersFinish()
{
    Zr501File file;
    QList<SimCable> cables{{"ZRSIM001"}, {"ZRSIM002"}, {"ZRSIM003"}, {"ZRSIM004"}};
    cables[1].device = false;
    cables[2].goneAfterFrames = 30;
    GangUpgrade gang(simFactory(&cables));
    QList<int> found, finished;
    connect(&gang, &GangUpgrade::deviceFound, this, [&](int cable, quint32 id, const QByteArray &model) {
        QCOMPARE(id, 0x0379C02A + quint32(cable));
        QCOMPARE(model, QByteArray("Zr501"));
        found << cable;
    });
    QList<int> lastBlocks{-1, -1, -1, -1}, totals{0, 0, 0, 0};
    connect(&gang, &GangUpgrade::blocksDone, this, [&](int cable, int done, int total) {
        QVERIFY(done >= lastBlocks.at(cable)); // each cable's count only goes up, in order
        lastBlocks[cable] = done;
        totals[cable] = total;
    });
    connect(&gang, &GangUpgrade::cableFinished, this, [&](int cable, const UpgradeOutcome &) { finished << cable; });
    QVERIFY(gang.start(gangCables(cables), settingsFor(file.path)));
    QVERIFY(gang.isRunning());
    QVERIFY(!gang.start(gangCables(cables), settingsFor(file.path))); // one gang at a time
    gang.waitForAll();
    QVERIFY(!gang.isRunning());

    const QList<UpgradeOutcome> outcomes = gang.outcomes();
    QCOMPARE(int(outcomes.at(0).result), int(UpgradeOutcome::Result::Done));
    QCOMPARE(int(outcomes.at(1).result), int(UpgradeOutcome::Result::NoDevice));
    QCOMPARE(int(outcomes.at(2).result), int(UpgradeOutcome::Result::Failed));
    QVERIFY2(outcomes.at(2).step.contains(QLatin1String("block 0x08")), qPrintable(outcomes.at(2).step));
    QCOMPARE(int(outcomes.at(3).result), int(UpgradeOutcome::Result::Done));
    QVERIFY(file.written(cables.at(0).flash));
    QVERIFY(file.written(cables.at(3).flash));
    QVERIFY(!file.written(cables.at(2).flash));
    std::sort(found.begin(), found.end());
    QCOMPARE(found, QList<int>({0, 2, 3}));
    std::sort(finished.begin(), finished.end());
    QCOMPARE(finished, QList<int>({0, 1, 2, 3}));
    QCOMPARE(totals.at(0), 56); // 0x08002000..0x08010000 in 1 KiB blocks
    QCOMPARE(lastBlocks.at(0), 56); // a verified upgrade has written them all
    QVERIFY(lastBlocks.at(2) < 56);
    QCOMPARE(lastBlocks.at(1), -1);
}

// Stop while every cable is part-way: each stops between two blocks and says so; no worker is left running.
void TestGang::stopFromTheMiddle()
{
    Zr501File file;
    QList<SimCable> cables{{"ZRSIM001"}, {"ZRSIM002"}, {"ZRSIM003"}};
    QSemaphore arrived, go;
    GangUpgrade *running = nullptr;
    for (SimCable &c : cables)
        c.onFrame = [&](int frame) {
            if (frame != 40)
                return;
            // The one that finds all three here stops the gang and lets them go on: all three are part-way.
            arrived.release();
            if (arrived.tryAcquire(3)) {
                running->stop();
                go.release(3);
            }
            go.acquire();
        };
    GangUpgrade gang(simFactory(&cables));
    running = &gang;
    QVERIFY(gang.start(gangCables(cables), settingsFor(file.path)));
    gang.waitForAll();
    for (int i = 0; i < cables.size(); ++i) {
        const UpgradeOutcome &o = gang.outcomes().at(i);
        QCOMPARE(int(o.result), int(UpgradeOutcome::Result::Interrupted));
        QVERIFY(o.deviceId != 0);
        QVERIFY(!file.written(cables.at(i).flash));
    }
    QVERIFY(gang.stopRequested());
    // A new gang starts afresh.
    cables = {{"ZRSIM001"}};
    QVERIFY(gang.start(gangCables(cables), settingsFor(file.path)));
    gang.waitForAll();
    QCOMPARE(int(gang.outcomes().at(0).result), int(UpgradeOutcome::Result::Done));
}

// One recorder on this thread takes the records of every worker: one per upgrade that ran (done or failed), each
// with its own cable's serial and device; a cable without a device leaves none.
void TestGang::everyWorkersRecordArrivesOnce()
{
    Zr501File file;
    QTemporaryDir dir;
    const QString url = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("registry.sqlite"));
    Recorder recorder(url, QStringLiteral("gang-bench"), dir.filePath(QStringLiteral("spool")));
    QList<SimCable> cables;
    for (int i = 1; i <= 6; ++i)
        cables << SimCable{QByteArray("ZRSIM00") + QByteArray::number(i)};
    cables[4].device = false;
    cables[5].goneAfterFrames = 25;
    GangUpgrade gang(simFactory(&cables));
    int reports = 0;
    // Connected without a context object, as a hurried caller would: the gang's signals are still emitted on its own
    // thread, so the recorder (Qt SQL: one thread only) never runs on a worker.
    QList<QThread *> threads;
    connect(&gang, &GangUpgrade::blocksDone, [&] { threads << QThread::currentThread(); });
    connect(&gang, &GangUpgrade::upgradeReported, [&](int, const UpgradeReport &report) {
        threads << QThread::currentThread();
        ++reports;
        recorder.recordUpgrade(report);
    });
    QVERIFY(gang.start(gangCables(cables), settingsFor(file.path)));
    gang.waitForAll();
    QCOMPARE(reports, 5);
    QVERIFY(threads.size() > 5);
    QCOMPARE(threads.count(thread()), threads.size());
    QCOMPARE(recorder.takeNotice(), QString());

    Registry registry;
    QVERIFY(registry.open(url));
    for (int i = 0; i < cables.size(); ++i) {
        const QVector<UpgradeRecord> records = registry.upgrades(0x0379C02A + quint32(i));
        QCOMPARE(records.size(), i == 4 ? 0 : 1);
        if (records.isEmpty())
            continue;
        QCOMPARE(records.at(0).cableSerial, QString::fromLatin1(cables.at(i).serial));
        QCOMPARE(records.at(0).bench, QStringLiteral("gang-bench"));
        QVERIFY2(records.at(0).result.startsWith(i < 4 ? QLatin1String("done") : QLatin1String("failed: ")),
                 qPrintable(records.at(0).result));
    }
}

#ifdef ZRSIM_PATH
namespace {
// A Zr440 (STM32F030F4: 26 blocks written from 0x08001800, its descriptor among them) upgrade file.
struct Zr440File
{
    QTemporaryDir dir;
    const UpgradeFamily *family = dispatchFamily("Zr440", connectDispatchOrder());
    QByteArray image;
    QString path;
    Zr440File()
    {
        image = testImage(family->imageSize, family->firstBlock - FLASH_BASE, 9);
        nameModelInDescriptor(&image, "Zr440", family->firstBlock);
        path = writeTestUpgradeFile(dir.filePath(QStringLiteral("Zr440.upg")), QStringLiteral("Zr440"), image);
    }
    bool written(const QByteArray &flash) const
    {
        const int from = int(family->firstBlock - FLASH_BASE), size = int(family->end - family->firstBlock);
        return flash.mid(from, size) == image.mid(from, size);
    }
};

// zrsim serving one Zr440 with its own device ID.
std::unique_ptr<Zrsim> zr440Sim(int n, const QStringList &more = {})
{
    return std::make_unique<Zrsim>(QStringList{"--device", QStringLiteral("Zr440@0x%1").arg(0x0379C02A + n, 8, 16,
                                                                                               QLatin1Char('0'))}
                                   + more);
}

QStringList gangArguments(const std::vector<std::unique_ptr<Zrsim>> &sims, const QString &file)
{
    QStringList arguments{"upgrade", "--cable-backend", "serial", "--no-registry"};
    for (const auto &sim : sims)
        arguments << "--cable" << sim->port;
    return arguments << file;
}
} // namespace

// One process, four cables: all four devices upgraded and verified, and their upgrades ran at the same time (each
// started before any other ended). The registry gets one record per cable, each with its cable.
void TestGang::zrtoolFourZr440sAtOnce()
{
    Zr440File file;
    std::vector<std::unique_ptr<Zrsim>> sims;
    for (int i = 0; i < 4; ++i) {
        sims.push_back(zr440Sim(i));
        QVERIFY2(sims.back()->port.startsWith("/dev/"), qPrintable(sims.back()->process.readAllStandardError()));
    }
    QTemporaryDir dir;
    const QString url = QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("registry.sqlite"));
    QStringList arguments = gangArguments(sims, file.path);
    arguments.removeOne(QStringLiteral("--no-registry"));
    arguments.insert(1, QStringLiteral("--json"));
    arguments.insert(1, QStringLiteral("--registry=") + url);
    QProcess tool;
    tool.start(QStringLiteral(ZRTOOL_PATH), arguments);
    QVERIFY(tool.waitForFinished(120000));
    const QString err = QString::fromLocal8Bit(tool.readAllStandardError());
    QCOMPARE(tool.exitCode(), 0);
    const QJsonArray cables = QJsonDocument::fromJson(tool.readAllStandardOutput()).array();
    QCOMPARE(cables.size(), 4);
    qint64 lastStart = 0, firstEnd = LLONG_MAX;
    for (int i = 0; i < 4; ++i) {
        const QJsonObject c = cables.at(i).toObject();
        QCOMPARE(c.value("cable").toString(), sims.at(i)->port);
        QCOMPARE(c.value("result").toString(), QStringLiteral("done"));
        QCOMPARE(c.value("deviceId").toString(),
                 QStringLiteral("0x") + QStringLiteral("%1").arg(0x0379C02A + i, 8, 16, QLatin1Char('0')).toUpper());
        QCOMPARE(c.value("model").toString(), QStringLiteral("Zr440"));
        lastStart = qMax(lastStart, qint64(c.value("startMs").toDouble()));
        firstEnd = qMin(firstEnd, qint64(c.value("startMs").toDouble() + c.value("durationMs").toDouble()));
    }
    QVERIFY2(lastStart < firstEnd, qPrintable(QStringLiteral("last start %1 ms, first end %2 ms").arg(lastStart).arg(firstEnd)));
    // Off a terminal: a plain line per event, each naming its cable.
    for (const auto &sim : sims) {
        QVERIFY2(err.contains(sim->port + QStringLiteral(": connecting\n")), qPrintable(err));
        QVERIFY2(err.contains(QRegularExpression(QRegularExpression::escape(sim->port) + ": done in [0-9.]+ s\n")),
                 qPrintable(err));
    }
    for (int i = 0; i < 4; ++i) {
        QVERIFY(sims.at(i)->stop());
        QVERIFY2(file.written(sims.at(i)->flash(0)), qPrintable(QStringLiteral("cable %1").arg(i)));
    }
    Registry registry;
    QVERIFY(registry.open(url));
    for (int i = 0; i < 4; ++i) {
        const QVector<UpgradeRecord> records = registry.upgrades(0x0379C02A + quint32(i));
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.at(0).cableSerial, sims.at(i)->port);
    }
}

// A cable whose device goes away part-way (its zrsim ends) fails, one whose device never answers finds none; the
// other cables finish all the same and the exit status says what happened.
void TestGang::zrtoolOneCableFails_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("result");
    QTest::newRow("device gone part-way") << "gone" << 6 << "failed: ";
    QTest::newRow("no device answers") << "silent" << 5 << "no device answered the connect frames";
    // --target CABLE=ID addresses that cable's device only; an ID its bus lacks finds nothing there.
    QTest::newRow("addressed to another ID") << "target" << 5 << "no device answered the connect frames";
}

void TestGang::zrtoolOneCableFails()
{
    QFETCH(QString, how);
    QFETCH(int, exitCode);
    QFETCH(QString, result);
    const bool gone = how == QLatin1String("gone");
    Zr440File file;
    std::vector<std::unique_ptr<Zrsim>> sims;
    for (int i = 0; i < 3; ++i)
        sims.push_back(zr440Sim(i, i == 1 && how == QLatin1String("silent") ? QStringList{"--silent-connects", "100000"}
                                                                            : QStringList()));
    QStringList arguments = gangArguments(sims, file.path) << "--attempts" << "30";
    if (how == QLatin1String("target")) // the others by their own IDs, the second by one that is not on its bus
        arguments << "--target" << sims.at(0)->port + "=0x0379C02A" << "--target" << sims.at(1)->port + "=0x0379C0FF"
                  << "--target" << sims.at(2)->port + "=0x0379C02C";
    QProcess tool;
    tool.start(QStringLiteral(ZRTOOL_PATH), arguments);
    if (gone) {
        // Its zrsim ends once its device is being written.
        tool.setReadChannel(QProcess::StandardError);
        QString err;
        const QRegularExpression writing(QRegularExpression::escape(sims.at(1)->port) + ": .* found, writing\n");
        while (!err.contains(writing) && tool.waitForReadyRead(30000))
            err += QString::fromLocal8Bit(tool.readAllStandardError());
        QVERIFY2(err.contains(writing), qPrintable(err));
        sims.at(1)->process.kill();
    }
    QVERIFY(tool.waitForFinished(120000));
    const QString out = QString::fromLocal8Bit(tool.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(tool.readAllStandardError());
    QCOMPARE(tool.exitCode(), exitCode);
    const QStringList table = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(table.size(), 4);
    QVERIFY(table.at(0).startsWith(QLatin1String("CABLE")));
    for (int i = 0; i < 3; ++i) {
        QVERIFY2(table.at(i + 1).startsWith(sims.at(i)->port), qPrintable(out));
        QVERIFY2(table.at(i + 1).contains(i == 1 ? result : QStringLiteral(" Zr440  done in ")), qPrintable(out));
    }
    QVERIFY2(err.contains(QLatin1String("zrtool upgrade: 2 of 3 devices upgraded")), qPrintable(err));
    for (int i : {0, 2}) {
        QVERIFY(sims.at(i)->stop());
        QVERIFY(file.written(sims.at(i)->flash(0)));
    }
}

// Ctrl-C while all four are being written: every worker stops between two blocks, the summary names each device as
// partly written, and the exit status is SIGINT's.
void TestGang::zrtoolInterrupted()
{
    Zr440File file;
    std::vector<std::unique_ptr<Zrsim>> sims;
    for (int i = 0; i < 4; ++i)
        sims.push_back(zr440Sim(i));
    QProcess tool;
    tool.start(QStringLiteral(ZRTOOL_PATH), gangArguments(sims, file.path));
    tool.setReadChannel(QProcess::StandardError);
    QByteArray err;
    while (err.count(" found, writing") < 4 && tool.waitForReadyRead(30000))
        err += tool.readAllStandardError();
    QCOMPARE(err.count(" found, writing"), 4);
    ::kill(pid_t(tool.processId()), SIGINT);
    QVERIFY(tool.waitForFinished(60000));
    err += tool.readAllStandardError();
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 130);
    const QString out = QString::fromLocal8Bit(tool.readAllStandardOutput());
    QVERIFY2(err.contains("zrtool upgrade: interrupted (SIGINT): partly written: "), err.constData());
    for (int i = 0; i < 4; ++i) {
        QVERIFY2(err.contains(QStringLiteral("on %1").arg(sims.at(i)->port).toLatin1()), err.constData());
        QVERIFY2(out.contains(QRegularExpression(QRegularExpression::escape(sims.at(i)->port)
                                                 + " .* Zr440  interrupted before the block at 0x08[0-9a-f]+ \\(partly written")),
                 qPrintable(out));
        QVERIFY(sims.at(i)->stop());
        QVERIFY(!file.written(sims.at(i)->flash(0)));
    }
}

// Cables are named exactly (or by an unambiguous beginning); an ambiguous name or the same cable twice stops the
// command before anything is sent.
void TestGang::zrtoolCableNames_data()
{
    QTest::addColumn<QStringList>("names"); // %1, %2: the two ports
    QTest::addColumn<QString>("error");
    QTest::newRow("the same cable twice") << QStringList{"%1", "%1"} << "'%1' names Serial port S/N: %1 a second time";
    QTest::newRow("a name two ports begin with")
            << QStringList{"%1", "/dev/"} << "'/dev/' matches several cables (";
    QTest::newRow("no such cable") << QStringList{"%1", "%2x"} << "'%2x' is not one of: ";
}

void TestGang::zrtoolCableNames()
{
    QFETCH(QStringList, names);
    QFETCH(QString, error);
    Zr440File file;
    Zrsim a({"--device", "Zr440"}), b({"--device", "Zr440"});
    QStringList arguments{"upgrade", "--no-registry", "--cable-backend", "serial"};
    for (const QString &name : names)
        arguments << "--cable" << QString(name).replace("%1", a.port).replace("%2", b.port);
    // Both ports are listed (named in full once each), so a name can match both.
    arguments << "--cable" << b.port;
    QProcess tool;
    tool.start(QStringLiteral(ZRTOOL_PATH), arguments << file.path);
    QVERIFY(tool.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(tool.readAllStandardError());
    QCOMPARE(tool.exitCode(), 4);
    QVERIFY2(err.startsWith(QStringLiteral("zrtool: no cable: ")
                            + QString(error).replace("%1", a.port).replace("%2", b.port)),
             qPrintable(err));
    QVERIFY(a.stop() && b.stop());
    QVERIFY(!file.written(a.flash(0)));
    QVERIFY(!file.written(b.flash(0)));
}
#endif

QTEST_MAIN(TestGang)
#include "test_gang.moc"
