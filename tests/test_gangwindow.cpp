// The window's gang upgrade: "Gang Upgrade…" with --production only, the cables and file it offers, three cables
// upgraded at once on their workers (one of them failing) while the window stays free, Stop and closing mid-run,
// and one registry record per upgrade that ran, each with its own cable's serial number.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <map>

#include "boot/gangdialog.h"
#include "boot/gangrows.h"
#include "registry/registry.h"
#include "sim/demogang.h"
#include "tests/support/upgradefixture.h"

namespace {

constexpr quint32 kFirstId = 0x0379C02A;

// A test-owned bus reached through a driver the worker owns (and deletes when it ends): the bus, and the flash of
// its device, stay for the test to read. Only the worker uses the bus while the gang runs.
class BusLink : public FtdiDriver
{
public:
    explicit BusLink(SimulatedBus &bus)
        : m_bus(bus)
    {
    }
    Status createDeviceInfoList(quint32 *count) override { return m_bus.createDeviceInfoList(count); }
    Status getDeviceInfoDetail(quint32 index, quint32 *flags, quint32 *type, quint32 *id, quint32 *locId,
                               char *serialNumber, char *description, Handle *handle) override
    {
        return m_bus.getDeviceInfoDetail(index, flags, type, id, locId, serialNumber, description, handle);
    }
    Status openBySerialNumber(const char *serial, Handle *handle) override
    {
        return m_bus.openBySerialNumber(serial, handle);
    }
    Status resetDevice(Handle h) override { return m_bus.resetDevice(h); }
    Status setBaudRate(Handle h, quint32 baud) override { return m_bus.setBaudRate(h, baud); }
    Status setDataCharacteristics(Handle h, quint8 w, quint8 s, quint8 p) override
    {
        return m_bus.setDataCharacteristics(h, w, s, p);
    }
    Status setFlowControl(Handle h, quint16 f, quint8 on, quint8 off) override
    {
        return m_bus.setFlowControl(h, f, on, off);
    }
    Status setLatencyTimer(Handle h, quint8 ms) override { return m_bus.setLatencyTimer(h, ms); }
    Status getLatencyTimer(Handle h, quint8 *ms) override { return m_bus.getLatencyTimer(h, ms); }
    Status purge(Handle h, quint32 mask) override { return m_bus.purge(h, mask); }
    Status setTimeouts(Handle h, quint32 r, quint32 w) override { return m_bus.setTimeouts(h, r, w); }
    Status setRts(Handle h) override { return m_bus.setRts(h); }
    Status clrRts(Handle h) override { return m_bus.clrRts(h); }
    Status setBreakOn(Handle h) override { return m_bus.setBreakOn(h); }
    Status setBreakOff(Handle h) override { return m_bus.setBreakOff(h); }
    Status write(Handle h, const void *b, quint32 n, quint32 *written) override
    {
        return m_bus.write(h, b, n, written);
    }
    Status read(Handle h, void *b, quint32 n, quint32 *received) override { return m_bus.read(h, b, n, received); }
    Status close(Handle h) override { return m_bus.close(h); }
    qint64 clockUs() const override { return m_bus.clockUs(); }

private:
    SimulatedBus &m_bus;
};

QByteArray serialOf(int i)
{
    return QByteArrayLiteral("ZRSIM00") + QByteArray::number(i + 1);
}

// The window with --production, its registry, three gang cables and a Zr501 upgrade file.
struct GangBench
{
    std::unique_ptr<SimWindow> window = std::make_unique<SimWindow>();
    SimWindow &sim = *window;
    std::map<QByteArray, std::unique_ptr<SimulatedBus>> buses; // by the cable's serial number
    QList<SimDevice *> devices;                                 // null for a cable with no device
    QByteArray image;
    QString file;

    // Cables on the virtual clock, each with a Zr501 (ID kFirstId + i) unless it is in `without`.
    GangBench(const QString &dir, const QString &registryUrl, QList<int> without = {})
    {
        QList<CableIdentity> cables;
        for (int i = 0; i < 3; ++i) {
            CableIdentity cable;
            cable.serial = cable.openName = serialOf(i);
            cable.description = "USB-RS485 Cable (simulated bus)";
            cables << cable;
            auto bus = std::make_unique<SimulatedBus>();
            bus->setCables({{cable.description, cable.serial}});
            SimDeviceConfig config;
            config.deviceId = kFirstId + quint32(i);
            devices << (without.contains(i) ? nullptr : bus->addDevice(config));
            buses[cable.serial] = std::move(bus);
        }
        sim.window.setGangCables({[cables](QString *) { return cables; },
                                  [this](const CableIdentity &c) -> std::unique_ptr<FtdiDriver> {
                                      return std::make_unique<BusLink>(*buses.at(c.serial));
                                  }});
        init(dir, registryUrl);
    }
    // The simulated cables of `zrflasher --simulate` (real clock).
    explicit GangBench(const QString &dir, const QString &registryUrl, bool)
    {
        sim.window.setGangCables({[](QString *) { return demoGangCables(); }, makeDemoGangBus});
        init(dir, registryUrl);
    }
    void init(const QString &dir, const QString &registryUrl)
    {
        sim.window.setRegistryUrl(registryUrl);
        sim.window.showProductionControls();
        const UpgradeLayout &layout = *upgradeLayout("STM32F100C8");
        image = testImage(layout.imageSize, layout.appOffset);
        sealImage(image, layout);
        file = writeTestUpgradeFile(dir + QStringLiteral("/Zr501_v1.23.upg"), "Zr501", image);
    }

    QAction *entry() const { return sim.window.findChild<QAction *>(QStringLiteral("actionGangUpgrade")); }
    GangDialog *dialog() const { return sim.window.findChild<GangDialog *>(); }
    template <class T> T *in(const char *name) const { return dialog()->findChild<T *>(QLatin1String(name)); }
    QTableWidget *table() const { return in<QTableWidget>("gangTable"); }
    QString cell(int row, int column) const { return table()->item(row, column)->text(); }
    QProgressBar *bar(int row) const
    {
        return qobject_cast<QProgressBar *>(table()->cellWidget(row, GangDialog::ProgressColumn));
    }

    // Opens the dialog through the menu, chooses the file and ticks every cable.
    void openAndChoose()
    {
        QVERIFY(entry());
        entry()->trigger();
        QVERIFY(dialog());
        sim.prompts.openFile(file);
        QTest::mouseClick(in<QPushButton>("gangChoose"), Qt::LeftButton);
        QCOMPARE(in<QLabel>("gangModel")->text(), QStringLiteral("Zr501"));
        for (int row = 0; row < table()->rowCount(); ++row)
            table()->item(row, GangDialog::CableColumn)->setCheckState(Qt::Checked);
        QVERIFY(in<QPushButton>("gangStart")->isEnabled());
        QVERIFY(!in<QPushButton>("gangStop")->isEnabled());
    }
    bool running() const { return dialog() && dialog()->gang().isRunning(); }
};

QVector<UpgradeRecord> recordsOf(const QString &url, quint32 id)
{
    Registry r;
    return r.open(url) ? r.upgrades(id) : QVector<UpgradeRecord>();
}

} // namespace

class TestGangWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir *m_dir = nullptr;
    QString m_url;

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }
    void init()
    {
        m_dir = new QTemporaryDir;
        qputenv("ZR_REGISTRY_SPOOL", m_dir->filePath(QStringLiteral("spool.jsonl")).toUtf8());
        m_url = m_dir->filePath(QStringLiteral("registry.sqlite"));
    }
    void cleanup()
    {
        delete m_dir;
        m_dir = nullptr;
        qunsetenv("ZR_REGISTRY_SPOOL");
    }

    // The entry exists only with the production controls; the dialog lists every cable, the one the window holds
    // greyed with the reason, and starts only with an upgrade file and a ticked cable.
    void entryCablesAndFile()
    {
        {
            SimWindow plain;
            QVERIFY(!plain.window.findChild<QAction *>(QStringLiteral("actionGangUpgrade")));
        }
        GangBench b(m_dir->path(), QString());
        QVERIFY(b.entry());
        QCOMPARE(b.entry()->text(), QStringLiteral("Gang Upgrade…"));
        QVERIFY(b.entry()->isVisible());
        auto *utilities = b.sim.window.findChild<QMenu *>(QStringLiteral("menuUtilities"));
        QVERIFY(utilities->actions().contains(b.entry()));
        QCOMPARE(utilities->actions().indexOf(b.entry()),
                 utilities->actions().indexOf(b.sim.window.findChild<QAction *>("actionProductionRegistry")) + 1);

        QVERIFY(b.sim.openCable()); // the window holds ZRSIM001
        b.entry()->trigger();
        GangDialog *dialog = b.dialog();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Gang Upgrade"));
        QTableWidget *table = b.table();
        QCOMPARE(table->rowCount(), 3);
        for (int row = 0; row < 3; ++row)
            QCOMPARE(b.cell(row, GangDialog::CableColumn),
                     QStringLiteral("USB-RS485 Cable (simulated bus) S/N: ") + QString::fromLatin1(serialOf(row)));
        QVERIFY(!(table->item(0, GangDialog::CableColumn)->flags() & Qt::ItemIsUserCheckable));
        QVERIFY(!b.bar(0));
        QVERIFY(b.cell(0, GangDialog::ResultColumn).startsWith(QStringLiteral("in use by this window")));
        QVERIFY(table->item(1, GangDialog::CableColumn)->flags() & Qt::ItemIsUserCheckable);

        auto *start = b.in<QPushButton>("gangStart");
        const QString notUpgrade = writeFile(m_dir->path(), QStringLiteral("notes.upg"), "just some text");
        b.sim.prompts.openFile(notUpgrade);
        QTest::mouseClick(b.in<QPushButton>("gangChoose"), Qt::LeftButton);
        QCOMPARE(b.in<QLineEdit>("gangFile")->text(), QDir::toNativeSeparators(notUpgrade));
        QVERIFY(b.in<QLabel>("gangModel")->text().startsWith(QStringLiteral("not an upgrade file")));
        table->item(1, GangDialog::CableColumn)->setCheckState(Qt::Checked);
        QVERIFY(!start->isEnabled());
        b.sim.prompts.openFile(b.file);
        QTest::mouseClick(b.in<QPushButton>("gangChoose"), Qt::LeftButton);
        QCOMPARE(b.in<QLabel>("gangModel")->text(), QStringLiteral("Zr501"));
        QVERIFY(start->isEnabled());
        table->item(1, GangDialog::CableColumn)->setCheckState(Qt::Unchecked);
        QVERIFY(!start->isEnabled());
        QCOMPARE(b.sim.prompts.shownOf(ScriptedPrompts::Kind::OpenFile).at(0).filter, QStringLiteral("Upg (*.upg)"));
        QVERIFY(b.sim.prompts.allAnswered());
    }

    // Which listed cables may not take part, and why: the one the window holds, one another program holds, and the
    // second entry of a cable two backends list (it would be upgraded twice).
    void cablesThatCannotTakePart_data()
    {
        QTest::addColumn<quint32>("flags");
        QTest::addColumn<bool>("listedBefore");
        QTest::addColumn<QByteArray>("held");
        QTest::addColumn<QString>("why");
        QTest::newRow("free") << 0u << false << QByteArray() << QString();
        QTest::newRow("another cable held") << 0u << false << QByteArray("FT2") << QString();
        QTest::newRow("held by the window") << 0u << false << QByteArray("FT1")
                                            << "in use by this window (Disconnect RS Cable frees it)";
        QTest::newRow("held by another program") << 1u << false << QByteArray() << "opened by another program";
        QTest::newRow("listed before") << 0u << true << QByteArray()
                                       << "the cable listed above, through another backend";
    }
    void cablesThatCannotTakePart()
    {
        QFETCH(quint32, flags);
        QFETCH(bool, listedBefore);
        QFETCH(QByteArray, held);
        QFETCH(QString, why);
        CableIdentity cable;
        cable.serial = "FT1";
        cable.flags = flags;
        cable.listedBefore = listedBefore;
        QCOMPARE(gangCableBusy(cable, held), why);
    }

    void threeCablesOneFailing_data()
    {
        QTest::addColumn<bool>("noDevice");
        QTest::addColumn<QString>("failure");
        QTest::newRow("no device") << true << QStringLiteral("no device answered the connect frames");
        QTest::newRow("compare fails")
                << false << QStringLiteral("failed: block 0x08004000: the read-back differs from the file (compare)");
    }
    // Three cables upgraded at once, the middle one failing: the good devices hold the file's image, their bars are
    // full, the failing row says why, the window stayed free, and each upgrade that ran is recorded once with its
    // own cable's serial number.
    void threeCablesOneFailing()
    {
        QFETCH(bool, noDevice);
        QFETCH(QString, failure);
        GangBench b(m_dir->path(), m_url, noDevice ? QList<int>{1} : QList<int>{});
        if (!noDevice)
            b.devices.at(1)->corruptReadBack(0x08004000);
        b.openAndChoose();

        int ticks = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
        timer.start(1);
        QTest::mouseClick(b.in<QPushButton>("gangStart"), Qt::LeftButton);
        // The click returned with the workers still at it: nothing ran on this thread.
        QVERIFY(b.running());
        QVERIFY(!b.in<QPushButton>("gangStart")->isEnabled());
        QVERIFY(b.in<QPushButton>("gangStop")->isEnabled());
        QVERIFY(!(b.table()->item(0, GangDialog::CableColumn)->flags() & Qt::ItemIsUserCheckable));
        QTRY_VERIFY_WITH_TIMEOUT(!b.running(), 60000);
        QVERIFY(ticks > 0);
        QTRY_COMPARE(b.in<QLabel>("gangSummary")->text(), QStringLiteral("2 of 3 done"));
        QVERIFY(b.in<QPushButton>("gangStart")->isEnabled());
        QVERIFY(!b.in<QPushButton>("gangStop")->isEnabled());

        for (int row : {0, 2}) {
            QCOMPARE(b.devices.at(row)->flashAt(0x08002000, 0xE000), b.image.mid(0x2000));
            QCOMPARE(b.cell(row, GangDialog::ResultColumn), QStringLiteral("done"));
            QCOMPARE(b.cell(row, GangDialog::DeviceColumn),
                     QStringLiteral("3 26140%1  Zr501").arg(42 + row, 3, 10, QLatin1Char('0')));
            QCOMPARE(b.bar(row)->maximum(), 56);
            QCOMPARE(b.bar(row)->value(), 56);
            QVERIFY(b.sim.messages().contains(QStringLiteral("%1: done").arg(QString::fromLatin1(serialOf(row)))));
            const QVector<UpgradeRecord> records = recordsOf(m_url, kFirstId + quint32(row));
            QCOMPARE(records.size(), 1);
            QCOMPARE(records.at(0).cableSerial, QString::fromLatin1(serialOf(row)));
            QCOMPARE(records.at(0).result, QStringLiteral("done"));
        }
        QCOMPARE(b.cell(1, GangDialog::ResultColumn), failure);
        QVERIFY(b.sim.messages().contains(QStringLiteral("ZRSIM002: ") + failure));
        const QVector<UpgradeRecord> failed = recordsOf(m_url, kFirstId + 1);
        if (noDevice) {
            QVERIFY(b.cell(1, GangDialog::DeviceColumn).isEmpty());
            QCOMPARE(b.bar(1)->value(), 0);
            QCOMPARE(failed.size(), 0);
        } else {
            QCOMPARE(b.bar(1)->value(), 8); // the blocks before 0x08004000
            QCOMPARE(failed.size(), 1);
            QCOMPARE(failed.at(0).cableSerial, QStringLiteral("ZRSIM002"));
            QVERIFY(failed.at(0).result.startsWith(QStringLiteral("failed: ")));
        }
        QVERIFY(b.sim.prompts.allAnswered());
    }

    void stopMidRun_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Stop") << QStringLiteral("Stop");
        QTest::newRow("dialog closed") << QStringLiteral("close");
        QTest::newRow("window destroyed") << QStringLiteral("destroy");
    }
    // The simulated cables of --simulate on the real clock: once every row writes, Stop (or closing the dialog, or
    // the window going) ends every worker; each row says "stopped", and each partly written device is recorded
    // as interrupted, once.
    void stopMidRun()
    {
        QFETCH(QString, how);
        GangBench b(m_dir->path(), m_url, true);
        b.openAndChoose();
        int ticks = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
        timer.start(10);
        QTest::mouseClick(b.in<QPushButton>("gangStart"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(b.bar(0)->value() >= 1 && b.bar(1)->value() >= 1 && b.bar(2)->value() >= 1, 60000);
        QVERIFY(ticks >= 10); // the demo devices answer after half a second of connect attempts at the earliest
        QVERIFY(b.running());

        QPointer<GangDialog> dialog = b.dialog();
        if (how == QLatin1String("destroy")) {
            b.window.reset(); // returns once every worker has ended and its record has reached the recorder
            QVERIFY(!dialog);
        } else if (how == QLatin1String("close")) {
            dialog->close(); // returns once every worker has ended
            QVERIFY(!dialog || !dialog->isVisible());
        } else {
            QTest::mouseClick(b.in<QPushButton>("gangStop"), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(!b.running(), 30000);
            QTRY_COMPARE(b.in<QLabel>("gangSummary")->text(), QStringLiteral("0 of 3 done"));
            for (int row = 0; row < 3; ++row) {
                QVERIFY2(b.cell(row, GangDialog::ResultColumn).startsWith(QStringLiteral("stopped: interrupted")),
                         qPrintable(b.cell(row, GangDialog::ResultColumn)));
                QVERIFY(b.bar(row)->value() < b.bar(row)->maximum());
            }
        }
        for (int i = 0; i < kDemoGangCables; ++i) {
            const QString serial = QString::fromLatin1(serialOf(i));
            if (b.window)
                QCOMPARE(b.sim.messages().filter(serial + QStringLiteral(": stopped: interrupted")).size(), 1);
            const QVector<UpgradeRecord> records = recordsOf(m_url, kFirstId + quint32(i));
            QCOMPARE(records.size(), 1);
            QCOMPARE(records.at(0).cableSerial, serial);
            QVERIFY(records.at(0).result.startsWith(QStringLiteral("interrupted")));
        }
        if (how == QLatin1String("close"))
            QTRY_VERIFY(!dialog); // deleted once closed
    }
};

QTEST_MAIN(TestGangWindow)
#include "test_gangwindow.moc"
