// The production registry itself, the same table of cases against SQLite and against PostgreSQL.
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "registry/issueseries.h"
#include "registry/recorder.h"
#include "registry/registry.h"
#include "registry/registrycsv.h"
#include "support/registrybackend.h"

namespace {

BootInputs zr525()
{
    BootInputs in;
    in.model = QStringLiteral("Zr525");
    in.rdmId = 0x19;
    return in;
}

ProductionRun series(int first, int count, int week = 14)
{
    ProductionRun run;
    run.year = 26;
    run.period = week;
    run.firstSerial = first;
    run.count = count;
    return run;
}

} // namespace

class TestRegistry : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_url;
    QString m_backend;

    // The row's backend with an empty registry at m_url; false (the test skipped) when it is not available here.
    bool freshRegistry()
    {
        QFETCH(QString, backend);
        m_backend = backend;
        QString skip;
        m_url = RegistryBackend::freshUrl(backend, m_dir.path(), &skip);
        if (m_url.isEmpty())
            QTest::qSkip(qPrintable(skip), __FILE__, __LINE__);
        return !m_url.isEmpty();
    }

private slots:
    void schema_data() { RegistryBackend::addRows(); }
    // Created on first open, kept on the next, and a newer schema than this program's is refused untouched.
    void schema()
    {
        if (!freshRegistry())
            return;
        {
            Registry r;
            QVERIFY2(r.open(m_url), qPrintable(r.errorText()));
            QCOMPARE(r.schemaVersion(), Registry::kSchemaVersion);
            IssuedId id;
            id.deviceId = 0x19000001;
            id.model = QStringLiteral("Zr525");
            QVector<int> refused;
            QVERIFY2(r.insertNew({id}, &refused), qPrintable(r.errorText()));
        }
        {
            Registry r;
            QVERIFY2(r.open(m_url), qPrintable(r.errorText()));
            IssuedId found;
            QVERIFY(r.find(0x19000001, &found)); // the second open migrated nothing away
            QCOMPARE(r.schemaVersion(), Registry::kSchemaVersion);
        }
        {
            // Through a connection of our own, as a newer program would leave it.
            QSqlDatabase db = QSqlDatabase::addDatabase(m_backend == QLatin1String("sqlite") ? QStringLiteral("QSQLITE")
                                                                                              : QStringLiteral("QPSQL"),
                                                        QStringLiteral("schema-bump"));
            if (m_backend == QLatin1String("sqlite")) {
                db.setDatabaseName(m_url);
            } else {
                const QUrl u(m_url);
                db.setHostName(u.host());
                db.setPort(u.port());
                db.setUserName(u.userName());
                db.setDatabaseName(u.path().mid(1));
            }
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral("UPDATE zr_meta SET value = '99' WHERE key = 'schema_version'")));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("schema-bump"));
        Registry refused;
        QVERIFY(!refused.open(m_url));
        QVERIFY2(refused.errorText().contains(QLatin1String("schema version 99")), qPrintable(refused.errorText()));
    }

    void reserveAndConfirm_data() { RegistryBackend::addRows(); }
    // A reserved series blocks an overlapping one whole; a failed image frees its ID; a reservation that was never
    // confirmed stays visible as reserved.
    void reserveAndConfirm()
    {
        if (!freshRegistry())
            return;
        Recorder recorder(m_url, QStringLiteral("bench-a"), m_dir.filePath(QStringLiteral("spool.jsonl")));
        IssueSeries first(recorder, zr525(), series(40, 10));
        QCOMPARE(first.reserve(false), IssueSeries::Check::Reserved);
        for (int serial = 40; serial < 50; ++serial) // serial 45 could not be written
            first.imageWritten(serial, QStringLiteral("Zr525/%1.bin").arg(serial), QByteArray("image"), serial != 45);
        first.finish();

        Registry *r = recorder.registry();
        IssuedId id;
        QVERIFY(r->find(productionWord(SerialScheme::New, 0x19, 26, 14, 44), &id));
        QVERIFY(id.written);
        QCOMPARE(id.serialText, QStringLiteral("26140044"));
        QCOMPARE(id.file, QStringLiteral("Zr525/44.bin"));
        QCOMPARE(id.sha256, QStringLiteral("6105d6cc76af400325e94d588ce511be5bfdbb73b437dc51eca43917d7a43e3d"));
        QCOMPARE(id.bench, QStringLiteral("bench-a"));
        QVERIFY(!r->find(productionWord(SerialScheme::New, 0x19, 26, 14, 45), &id)); // the failed write is free

        // 48..52 overlaps 48 and 49: nothing of it is reserved, 50..52 included.
        IssueSeries overlap(recorder, zr525(), series(48, 5));
        QCOMPARE(overlap.reserve(false), IssueSeries::Check::Reused);
        QCOMPARE(overlap.collisionRange(), QStringLiteral("Zr525 26140048..26140049"));
        QVERIFY(!r->find(productionWord(SerialScheme::New, 0x19, 26, 14, 50), &id));

        // The same serial numbers in another week, or of the old scheme, are other IDs.
        IssueSeries otherWeek(recorder, zr525(), series(40, 10, 15));
        QCOMPARE(otherWeek.reserve(false), IssueSeries::Check::Reserved);
        // Never confirmed (the process died between): the IDs stay taken and show as reserved.
        QVERIFY(r->find(productionWord(SerialScheme::New, 0x19, 26, 15, 41), &id));
        QVERIFY(!id.written);
        QCOMPARE(IssueSeries(recorder, zr525(), series(41, 1, 15)).reserve(false), IssueSeries::Check::Reused);
    }

    void reissue_data() { RegistryBackend::addRows(); }
    // Writing issued IDs again on purpose keeps the earlier image in the reissue history.
    void reissue()
    {
        if (!freshRegistry())
            return;
        Recorder recorder(m_url, QStringLiteral("bench-a"), m_dir.filePath(QStringLiteral("spool.jsonl")));
        IssueSeries first(recorder, zr525(), series(0, 2));
        QCOMPARE(first.reserve(false), IssueSeries::Check::Reserved);
        first.imageWritten(0, QStringLiteral("old0.bin"), "a", true);
        first.imageWritten(1, QStringLiteral("old1.bin"), "a", true);
        first.finish();

        IssueSeries again(recorder, zr525(), series(1, 2));
        QCOMPARE(again.reserve(true), IssueSeries::Check::Reserved);
        QCOMPARE(again.collisions().size(), 1);
        again.imageWritten(1, QStringLiteral("new1.bin"), "b", true);
        again.imageWritten(2, QStringLiteral("new2.bin"), "b", true);
        again.finish();

        Registry *r = recorder.registry();
        IssuedId id;
        QVERIFY(r->find(productionWord(SerialScheme::New, 0x19, 26, 14, 1), &id));
        QCOMPARE(id.file, QStringLiteral("new1.bin"));
        QCOMPARE(id.reissues, 1);
        QVERIFY(r->find(productionWord(SerialScheme::New, 0x19, 26, 14, 2), &id));
        QCOMPARE(id.reissues, 0);
        QVERIFY(r->find(productionWord(SerialScheme::New, 0x19, 26, 14, 0), &id));
        QCOMPARE(id.file, QStringLiteral("old0.bin"));
    }

    void nextSerial_data() { RegistryBackend::addRows(); }
    // --next continues after the highest issued serial number of the same model, scheme, year and week.
    void nextSerial()
    {
        if (!freshRegistry())
            return;
        Recorder recorder(m_url, QStringLiteral("b"), m_dir.filePath(QStringLiteral("spool.jsonl")));
        Registry *r = recorder.registry();
        QVERIFY(r);
        QCOMPARE(r->nextSerial(QStringLiteral("Zr525"), QStringLiteral("new"), 26, 14), 0);
        IssueSeries a(recorder, zr525(), series(100, 20));
        QCOMPARE(a.reserve(false), IssueSeries::Check::Reserved);
        QCOMPARE(r->nextSerial(QStringLiteral("Zr525"), QStringLiteral("new"), 26, 14), 120);
        QCOMPARE(r->nextSerial(QStringLiteral("Zr525"), QStringLiteral("new"), 26, 15), 0);
        QCOMPARE(r->nextSerial(QStringLiteral("Zr501"), QStringLiteral("new"), 26, 14), 0);
        QCOMPARE(r->nextSerial(QStringLiteral("Zr525"), QStringLiteral("old"), 26, 14), 0);
    }

    void upgradeRecords_data() { RegistryBackend::addRows(); }
    // Upgrade records round-trip with every field, in time order.
    void upgradeRecords()
    {
        if (!freshRegistry())
            return;
        Registry r;
        QVERIFY2(r.open(m_url), qPrintable(r.errorText()));
        UpgradeRecord u;
        u.time = QDateTime(QDate(2026, 12, 9), QTime(10, 0, 0, 250), Qt::UTC);
        u.bench = QStringLiteral("line-2");
        u.cableSerial = QStringLiteral("FT4X9Z");
        u.deviceId = 0x19D0002A;
        u.model = QStringLiteral("Zr525");
        u.bootVersion = QStringLiteral("BL 1.07");
        u.file = QStringLiteral("Zr525_v1.23.upg");
        u.crc = 0xBEEF;
        u.sha256 = QString(64, QLatin1Char('a'));
        u.fast = true;
        u.result = QStringLiteral("done");
        u.durationMs = 12345;
        UpgradeRecord earlier = u;
        earlier.time = u.time.addDays(-1);
        earlier.fast = false;
        earlier.result = QStringLiteral("failed");
        QVERIFY(r.recordUpgrade(u));
        QVERIFY(r.recordUpgrade(earlier));
        const QVector<UpgradeRecord> rows = r.upgrades(0x19D0002A);
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(0).result, QStringLiteral("failed"));
        QVERIFY(!rows.at(0).fast);
        const UpgradeRecord &got = rows.at(1);
        QCOMPARE(got.time, u.time);
        QCOMPARE(got.bench, u.bench);
        QCOMPARE(got.cableSerial, u.cableSerial);
        QCOMPARE(got.model, u.model);
        QCOMPARE(got.bootVersion, u.bootVersion);
        QCOMPARE(got.file, u.file);
        QCOMPARE(got.crc, u.crc);
        QCOMPARE(got.sha256, u.sha256);
        QVERIFY(got.fast);
        QCOMPARE(got.durationMs, u.durationMs);
        QVERIFY(r.upgrades(0x19D0002B).isEmpty());
    }

    void spool_data() { RegistryBackend::addRows(); }
    // Records made while the registry is away wait in the spool, are reported once, and are written at the next
    // successful open; records meant for another registry stay in the spool.
    void spool()
    {
        QFETCH(QString, backend);
        QString skip;
        const QString url = RegistryBackend::unreachableUrl(backend, m_dir.path(), &skip);
        if (url.isEmpty())
            QSKIP(qPrintable(skip));
        const QString spoolPath = m_dir.filePath(QStringLiteral("spool-%1.jsonl").arg(backend));
        RegistrySpool(spoolPath).add(QStringLiteral("elsewhere.sqlite"), UpgradeRecord());
        {
            Recorder away(url, QStringLiteral("b"), spoolPath);
            UpgradeRecord u;
            u.deviceId = 0x19D00001;
            u.result = QStringLiteral("done");
            away.recordUpgrade(u);
            IssueSeries s(away, zr525(), series(7, 1));
            QCOMPARE(s.reserve(false), IssueSeries::Check::Unrecorded);
            s.imageWritten(7, QStringLiteral("Zr525/7.bin"), "x", true);
            s.finish();
            away.recordUpgrade(u);
            const QString notice = away.takeNotice();
            QVERIFY2(notice.contains(url) && notice.contains(spoolPath), qPrintable(notice));
            QVERIFY(away.takeNotice().isEmpty()); // once
            QCOMPARE(away.spool().pending(url), 3);
        }
        RegistryBackend::makeReachable(backend, url);
        Recorder back(url, QStringLiteral("b"), spoolPath);
        Registry *r = back.registry();
        QVERIFY2(r, qPrintable(back.takeNotice()));
        QCOMPARE(r->upgrades(0x19D00001).size(), 2);
        IssuedId id;
        QVERIFY(r->find(productionWord(SerialScheme::New, 0x19, 26, 14, 7), &id));
        QVERIFY(id.written);
        QCOMPARE(back.spool().pending(url), 0);
        QCOMPARE(back.spool().pending(QStringLiteral("elsewhere.sqlite")), 1);
    }

    // CSV: quoting survives a round trip; lines a spreadsheet gets wrong are named by number.
    void csv()
    {
        IssuedId id;
        id.deviceId = 0x19D0002A;
        id.model = QStringLiteral("Zr525");
        id.scheme = QStringLiteral("new");
        id.year = 26;
        id.period = 14;
        id.serial = 42;
        id.serialText = QStringLiteral("26140042");
        id.file = QStringLiteral("dir, with \"quotes\"/a.bin");
        id.sha256 = QStringLiteral("ab");
        id.time = QDateTime(QDate(2026, 4, 1), QTime(8, 0), Qt::UTC);
        id.bench = QStringLiteral("b1");
        id.written = true;
        const CsvRows back = issuedFromCsv(issuedToCsv({id}), QStringLiteral("other"));
        QVERIFY(back.problems.isEmpty());
        QCOMPARE(back.rows.size(), 1);
        QCOMPARE(back.rows.at(0).file, id.file);
        QCOMPARE(back.rows.at(0).time, id.time);
        QCOMPARE(back.rows.at(0).bench, id.bench);

        // A spreadsheet with only the two required columns: the rest comes from the ID.
        const CsvRows sheet = issuedFromCsv("Model,Device_ID\r\nZr525,0x1979C02A\r\nZr525,zz\r\n,0x1979C02B\n",
                                            QStringLiteral("seed"));
        QCOMPARE(sheet.rows.size(), 1);
        QCOMPARE(sheet.rows.at(0).serialText, QStringLiteral("26140042"));
        QCOMPARE(sheet.rows.at(0).scheme, QStringLiteral("new"));
        QCOMPARE(sheet.rows.at(0).bench, QStringLiteral("seed"));
        QCOMPARE(sheet.lines, QVector<int>{2});
        QCOMPARE(sheet.problems, QStringList({QStringLiteral("line 3: 'zz' is not a device ID"),
                                              QStringLiteral("line 4: no model")}));
    }
};

QTEST_GUILESS_MAIN(TestRegistry)
#include "test_registry.moc"
