// The window and the production registry: boot-image series that reuse IDs ask first, failed images leave their
// IDs free, upgrades are recorded, and an unreachable registry stops nothing. SQLite and PostgreSQL alike.
#include <QAction>
#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include "builders/bootimage.h"
#include "registry/recorder.h"
#include "tests/support/hexfile.h"
#include "tests/support/registrybackend.h"
#include "tests/support/upgradefixture.h"

namespace {

char *c(QByteArray &bytes)
{
    return bytes.data();
}

quint32 zr501Id(int serial)
{
    return productionWord(SerialScheme::New, 3, 26, 14, serial);
}

QStringList imagesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files, QDir::Name);
}

} // namespace

class TestRegistryWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir *m_dir = nullptr;
    QString m_oldCwd;
    QString m_backend;
    QString m_url;

    // The row's backend as the window's registry (through ZR_REGISTRY); false when it is not available here.
    bool useRegistry(const QString &url, const QString &skip)
    {
        if (url.isEmpty()) {
            QTest::qSkip(qPrintable(skip), __FILE__, __LINE__);
            return false;
        }
        m_url = url;
        qputenv("ZR_REGISTRY", url.toUtf8());
        return true;
    }
    bool freshRegistry()
    {
        QFETCH(QString, backend);
        m_backend = backend;
        QString skip;
        return useRegistry(RegistryBackend::freshUrl(backend, m_dir->path(), &skip), skip);
    }

    // The Zr501 series 26/14 first..first+count-1 through the main builder, answering the dialogs.
    // `reuse`: the answer to the question about issued IDs (none expected when NoButton).
    static void series(ScriptedPrompts &p, Flasher &w, int first, int count, Prompts::Button reuse = Prompts::NoButton)
    {
        p.openFile(QStringLiteral("boot.hex")).openFile(QString()).item("26").item("14").integer(first).integer(count);
        if (reuse != Prompts::NoButton)
            p.question(reuse);
        QByteArray model("Zr501"), tag("a1"), version("1.0");
        w.slotCreateBootBinZr(c(model), c(tag), c(version), 3);
    }

    // "Connect" finds the Zr501 0x0379C02A and upgrades it from Zr501_v1.23.upg; returns the file's plain image.
    QByteArray connectAndUpgrade(SimWindow &sim)
    {
        addDevice(sim, "Zr501", QStringLiteral("STM32F100C8"), 0, 0x0379C02A);
        sim.openCable();
        const UpgradeLayout &layout = *upgradeLayout("STM32F100C8");
        QByteArray image = testImage(layout.imageSize, layout.appOffset);
        sealImage(image, layout);
        const QString path = writeTestUpgradeFile(m_dir->filePath("Zr501_v1.23.upg"), "Zr501", image);
        sim.prompts.question(Prompts::Yes).openFile(path).question(Prompts::No);
        invoke(sim, "slotConnect");
        return image;
    }

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }
    void init()
    {
        m_oldCwd = QDir::currentPath();
        m_dir = new QTemporaryDir;
        QVERIFY(QDir::setCurrent(m_dir->path()));
        qputenv("ZR_REGISTRY_SPOOL", m_dir->filePath(QStringLiteral("spool.jsonl")).toUtf8());
        QFile boot(QStringLiteral("boot.hex"));
        QVERIFY(boot.open(QIODevice::WriteOnly));
        boot.write(hexText({{0x08000000, QByteArray("BOOTLOADER")}}));
    }
    void cleanup()
    {
        QDir::setCurrent(m_oldCwd);
        delete m_dir;
        m_dir = nullptr;
        qunsetenv("ZR_REGISTRY");
        qunsetenv("ZR_REGISTRY_SPOOL");
    }

    void reuseAsks_data() { RegistryBackend::addRows(); }
    // A fresh series runs with the usual dialogs only; one that reuses IDs asks (No by default) and on No writes
    // nothing at all; on Yes it writes and the reissue is recorded.
    void reuseAsks()
    {
        if (!freshRegistry())
            return;
        ScriptedPrompts p;
        Flasher w(&p);
        series(p, w, 10, 3);
        QVERIFY(p.allAnswered());
        QCOMPARE(p.shownOf(ScriptedPrompts::Kind::Question).size(), 0);
        QCOMPARE(imagesIn("Zr501").size(), 3);

        QDir("Zr501").removeRecursively();
        p.shown.clear();
        series(p, w, 12, 2, Prompts::No);
        QVERIFY(p.allAnswered());
        const auto asked = p.shownOf(ScriptedPrompts::Kind::Question);
        QCOMPARE(asked.size(), 1);
        QCOMPARE(asked[0].text, QStringLiteral("Serial numbers Zr501 26140012 were already issued on %1: write them "
                                               "again?")
                                    .arg(QDate::currentDate().toString(Qt::ISODate)));
        QCOMPARE(asked[0].buttons, int(Prompts::Yes | Prompts::No));
        QCOMPARE(asked[0].defaultButton, Prompts::No);
        QVERIFY(imagesIn("Zr501").isEmpty()); // serial 13 was fresh and is not written either
        Registry r;
        QVERIFY(r.open(m_url));
        IssuedId id;
        QVERIFY(!r.find(zr501Id(13), &id));

        series(p, w, 12, 2, Prompts::Yes);
        QVERIFY(p.allAnswered());
        QCOMPARE(imagesIn("Zr501"), (QStringList{"Zr501_Boot_26140012.bin", "Zr501_Boot_26140013.bin"}));
        QVERIFY(r.find(zr501Id(12), &id));
        QCOMPARE(id.reissues, 1);
        QVERIFY(r.find(zr501Id(13), &id));
        QCOMPARE(id.reissues, 0);
        QVERIFY(id.written);
        QVERIFY(id.file.endsWith(QLatin1String("Zr501_Boot_26140013.bin")));
    }

    void failedImageLeavesIdFree_data() { RegistryBackend::addRows(); }
    // An image that cannot be written (a directory in the way) is not recorded: its ID can be issued later.
    void failedImageLeavesIdFree()
    {
        if (!freshRegistry())
            return;
        QVERIFY(QDir().mkpath(QStringLiteral("Zr501/Zr501_Boot_26140021.bin")));
        ScriptedPrompts p;
        Flasher w(&p);
        series(p, w, 20, 3);
        QVERIFY(p.allAnswered());
        Registry r;
        QVERIFY(r.open(m_url));
        IssuedId id;
        QVERIFY(r.find(zr501Id(20), &id));
        QVERIFY(r.find(zr501Id(22), &id));
        QVERIFY(!r.find(zr501Id(21), &id));
        QVERIFY(r.errorText().isEmpty());

        QVERIFY(QDir(QStringLiteral("Zr501/Zr501_Boot_26140021.bin")).removeRecursively());
        series(p, w, 21, 1);
        QVERIFY(p.allAnswered()); // no question: 21 was free
        QVERIFY(r.find(zr501Id(21), &id));
        QVERIFY(id.written);
    }

    void upgradeRecorded_data() { RegistryBackend::addRows(); }
    // Connect and upgrade in the window: the record holds the device, the file, the cable, the result and the time.
    void upgradeRecorded()
    {
        if (!freshRegistry())
            return;
        SimWindow sim;
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        const QByteArray image = connectAndUpgrade(sim);
        const UpgradeLayout &layout = *upgradeLayout("STM32F100C8");
        const QString path = m_dir->filePath("Zr501_v1.23.upg");
        QVERIFY(sim.prompts.allAnswered());
        QCOMPARE(sim.messages().last(), QStringLiteral("Upgrade succesfull!"));

        Registry r;
        QVERIFY(r.open(m_url));
        const QVector<UpgradeRecord> rows = r.upgrades(0x0379C02A);
        QCOMPARE(rows.size(), 1);
        const UpgradeRecord &u = rows.at(0);
        QVERIFY(u.time >= before && u.time <= QDateTime::currentDateTimeUtc());
        QCOMPARE(u.bench, Registry::hostBench());
        QCOMPARE(u.cableSerial, QStringLiteral("ZRSIM001"));
        QCOMPARE(u.model, QStringLiteral("Zr501"));
        QCOMPARE(u.bootVersion, QStringLiteral("BL 1.07"));
        QCOMPARE(u.file, QStringLiteral("Zr501_v1.23.upg"));
        QCOMPARE(u.crc, storedImageCrc(image, layout));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(u.sha256, QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256)
                                                   .toHex()));
        QVERIFY(!u.fast);
        QCOMPARE(u.result, QStringLiteral("done"));
        QVERIFY(u.durationMs >= 0);
    }

    void unreachableRegistry_data() { RegistryBackend::addRows(); }
    // A configured registry that cannot be reached: the upgrade goes on (its record waits in the spool, said once),
    // the series is not written at all; the upgrade record appears in the registry once it can be opened.
    void unreachableRegistry()
    {
        QFETCH(QString, backend);
        QString skip;
        if (!useRegistry(RegistryBackend::unreachableUrl(backend, m_dir->path(), &skip), skip))
            return;
        SimWindow sim;
        connectAndUpgrade(sim);
        series(sim.prompts, sim.window, 30, 2);
        QVERIFY(sim.prompts.allAnswered());
        QVERIFY(sim.messages().contains(QStringLiteral("Upgrade succesfull!")));
        QVERIFY(!QFileInfo::exists(QStringLiteral("Zr501")));
        int notices = 0, refusals = 0;
        for (const QString &line : sim.messages()) {
            notices += line.contains(QLatin1String("records are kept in")) ? 1 : 0;
            refusals += line.startsWith(QLatin1String("Production registry ")) && line.endsWith(QLatin1String("no boot image written")) ? 1 : 0;
        }
        QCOMPARE(notices, 1);
        QCOMPARE(refusals, 1);

        RegistryBackend::makeReachable(backend, m_url);
        Recorder back(m_url);
        Registry *r = back.registry();
        QVERIFY2(r, qPrintable(back.problem()));
        const QVector<UpgradeRecord> rows = r->upgrades(0x0379C02A);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.at(0).result, QStringLiteral("done"));
        IssuedId id;
        QVERIFY(!r->find(zr501Id(31), &id));
    }

    // Without a registry named the window does what it always did: a series whose IDs were written before asks
    // nothing, an upgrade records nothing, and no file appears outside the chosen outputs.
    void noRegistryByDefault()
    {
        qunsetenv("ZR_REGISTRY");
        const QStringList dataBefore = QDir(Registry::defaultDirectory()).entryList(QDir::Files);
        SimWindow sim;
        connectAndUpgrade(sim);
        series(sim.prompts, sim.window, 40, 3);
        series(sim.prompts, sim.window, 40, 3); // the same IDs again: no question
        QVERIFY(sim.prompts.allAnswered());
        QCOMPARE(sim.prompts.shownOf(ScriptedPrompts::Kind::Question).size(), 2); // upgrade? and run firmware?
        QCOMPARE(imagesIn("Zr501").size(), 3);
        QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 (QStringList{"boot.hex", "Zr501", "Zr501_v1.23.upg"}));
        QCOMPARE(QDir(Registry::defaultDirectory()).entryList(QDir::Files), dataBefore);
        for (const QString &line : sim.messages())
            QVERIFY2(!line.contains(QLatin1String("Production registry")), qPrintable(line));
    }

    // With --production, "Production registry..." starts unchecked; checking it asks for the registry, which the
    // window then records into for the run; a URL that is none is refused and the entry stays unchecked.
    void productionRegistryEntry()
    {
        qunsetenv("ZR_REGISTRY");
        QString skip;
        const QString url = RegistryBackend::freshUrl(QStringLiteral("sqlite"), m_dir->path(), &skip);
        SimWindow sim;
        sim.window.showProductionControls();
        auto *entry = sim.window.findChild<QAction *>(QStringLiteral("actionProductionRegistry"));
        QVERIFY(entry);
        QVERIFY(entry->isCheckable() && !entry->isChecked());
        QCOMPARE(entry->text(), QString::fromUtf8("Production registry…"));

        sim.prompts.text(QStringLiteral("pg://zr:pw@db/reg"));
        entry->trigger();
        QVERIFY(!entry->isChecked());
        QVERIFY(sim.window.registryUrl().isEmpty());
        QVERIFY2(sim.messages().constLast().contains(QLatin1String("accepted: postgresql://")),
                 qPrintable(sim.messages().constLast()));
        QVERIFY(!sim.messages().constLast().contains(QLatin1String(":pw@")));

        sim.prompts.text(url);
        entry->trigger();
        QVERIFY(entry->isChecked());
        QCOMPARE(sim.window.registryUrl(), url);
        series(sim.prompts, sim.window, 50, 2);
        series(sim.prompts, sim.window, 50, 1, Prompts::No);
        QVERIFY(sim.prompts.allAnswered());
        Registry r;
        QVERIFY(r.open(url));
        IssuedId id;
        QVERIFY(r.find(zr501Id(51), &id));

        entry->trigger(); // off again: nothing more is recorded
        QVERIFY(sim.window.registryUrl().isEmpty());
        series(sim.prompts, sim.window, 52, 1);
        QVERIFY(sim.prompts.allAnswered());
        QVERIFY(!r.find(zr501Id(52), &id));
    }
};

QTEST_MAIN(TestRegistryWindow)
#include "test_registrywindow.moc"
