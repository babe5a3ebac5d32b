// zrtool and the production registry, run as processes: refused reuse, --next, concurrent benches, a failed image,
// export and import, an unreachable registry, and the record of a device upgrade. SQLite and PostgreSQL alike.
#include <QCryptographicHash>
#include <QDir>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "builders/bootimage.h"
#include "registry/recorder.h"
#include "tests/support/hexfile.h"
#include "tests/support/registrybackend.h"
#include "tests/support/upgradefixture.h"

namespace {

struct Run
{
    int code = -1;
    QString out;
    QString err;
};

QStringList imagesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files, QDir::Name);
}

quint32 zr501Id(int serial, int week = 14)
{
    return productionWord(SerialScheme::New, 3, 26, week, serial);
}

} // namespace

class TestRegistryTool : public QObject
{
    Q_OBJECT

    QTemporaryDir *m_dir = nullptr;
    QString m_url;

    bool freshRegistry()
    {
        QFETCH(QString, backend);
        QString skip;
        m_url = RegistryBackend::freshUrl(backend, m_dir->path(), &skip);
        if (m_url.isEmpty())
            QTest::qSkip(qPrintable(skip), __FILE__, __LINE__);
        return !m_url.isEmpty();
    }

    QProcess *start(const QStringList &arguments, const QString &url)
    {
        auto *p = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ZR_REGISTRY"), url);
        env.insert(QStringLiteral("ZR_REGISTRY_SPOOL"), m_dir->filePath(QStringLiteral("spool.jsonl")));
        p->setProcessEnvironment(env);
        p->setWorkingDirectory(m_dir->path());
        p->start(QStringLiteral(ZRTOOL_PATH), arguments);
        return p;
    }
    static Run finish(QProcess *p)
    {
        Run r;
        if (p->waitForFinished(120000) && p->exitStatus() == QProcess::NormalExit) {
            r.code = p->exitCode();
            r.out = QString::fromLocal8Bit(p->readAllStandardOutput());
            r.err = QString::fromLocal8Bit(p->readAllStandardError());
        }
        delete p;
        return r;
    }
    Run zrtool(const QStringList &arguments, const QString &url = QString())
    {
        return finish(start(arguments, url.isEmpty() ? m_url : url));
    }
    // zrtool boot for Zr501, year 26, into `out`, with the extra arguments.
    static QStringList boot(const QString &out, const QStringList &more, int week = 14)
    {
        return QStringList{"boot", "--model", "Zr501", "--bootloader", "boot.hex", "--year", "26", "--week",
                           QString::number(week), "--out", out, "--bench", "bench-1"}
               + more;
    }

private slots:
    void init()
    {
        m_dir = new QTemporaryDir;
        QFile hex(m_dir->filePath(QStringLiteral("boot.hex")));
        QVERIFY(hex.open(QIODevice::WriteOnly));
        hex.write(hexText({{0x08000000, QByteArray("BOOTLOADER")}}));
    }
    void cleanup()
    {
        delete m_dir;
        m_dir = nullptr;
    }

    void upgradeRecorded_data() { RegistryBackend::addRows(); }
    // zrtool upgrade records what the window records: device, model, bootloader, file, CRC, SHA-256, mode, result.
    void upgradeRecorded()
    {
        if (!freshRegistry())
            return;
        const QByteArray image = testImage(0x10000, 0x2000, 5);
        const QString file = writeTestUpgradeFile(m_dir->filePath(QStringLiteral("Zr501_v2.upg")), "Zr501", image);
        const QStringList sim{"upgrade", "--simulate", "--sim-virtual-clock", "--bench", "line-3", file};
        Run r = zrtool(sim);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.err, QString());
        r = zrtool(QStringList(sim) << "--full-windows" << "--sim-drop-reply" << "41" << "--retries" << "0");
        QCOMPARE(r.code, 6);

        Registry reg;
        QVERIFY(reg.open(m_url));
        const QVector<UpgradeRecord> records = reg.upgrades(0x0379C02A);
        QCOMPARE(records.size(), 2);
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString sha = QString::fromLatin1(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex());
        const quint16 crc = quint16(quint8(image.at(image.size() - 2)) | quint8(image.at(image.size() - 1)) << 8);
        for (const UpgradeRecord &u : records) {
            QCOMPARE(u.bench, QString("line-3"));
            QCOMPARE(u.cableSerial, QString("ZRSIM001"));
            QCOMPARE(u.model, QString("Zr501"));
            QCOMPARE(u.bootVersion, QString("BL 1.07"));
            QCOMPARE(u.file, QString("Zr501_v2.upg"));
            QCOMPARE(u.sha256, sha);
            QCOMPARE(u.crc, crc);
            QVERIFY(u.durationMs > 0);
        }
        QCOMPARE(records.at(0).fast, true);
        QCOMPARE(records.at(0).result, QString("done"));
        QCOMPARE(records.at(1).fast, false);
        // A failure names its block and its cause.
        QCOMPARE(records.at(1).result, QString("failed: block 0x08006000: no reply to the read-back, 1 try"));
    }

    void reuseRefused_data() { RegistryBackend::addRows(); }
    // A series that reuses any issued ID is refused whole, with the range in one line; --reissue writes it.
    void reuseRefused()
    {
        if (!freshRegistry())
            return;
        Run r = zrtool(boot("a", {"--first", "42", "--count", "10"}));
        QCOMPARE(r.code, 0);
        r = zrtool(boot("b", {"--first", "50", "--count", "6"}));
        QCOMPARE(r.code, 2);
        QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
        QVERIFY2(r.err.contains(QLatin1String("Zr501 26140050..26140051 were already issued")), qPrintable(r.err));
        // The way out it points to is the safe one: fresh numbers, --reissue only as the deliberate choice.
        QVERIFY2(r.err.contains(QLatin1String("--next 6 takes the next free ones")), qPrintable(r.err));
        QVERIFY(imagesIn(m_dir->filePath("b")).isEmpty());
        Registry reg;
        QVERIFY(reg.open(m_url));
        IssuedId id;
        QVERIFY(!reg.find(zr501Id(52), &id)); // nothing of the refused series was reserved

        r = zrtool(boot("b", {"--first", "50", "--count", "6", "--reissue"}));
        QCOMPARE(r.code, 0);
        QCOMPARE(imagesIn(m_dir->filePath("b")).size(), 6);
        r = zrtool({"registry", "show", QStringLiteral("0x%1").arg(zr501Id(51), 0, 16)});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains(QLatin1String("written again 1 time(s)")), qPrintable(r.out));
        QVERIFY(r.out.contains(QDir::toNativeSeparators("b/Zr501_Boot_26140051.bin")));
    }

    void next_data() { RegistryBackend::addRows(); }
    // --next continues where the last series of the model, year and week ended; another week starts at 0.
    void next()
    {
        if (!freshRegistry())
            return;
        QCOMPARE(zrtool(boot("out", {"--next", "3"})).code, 0);
        QCOMPARE(zrtool(boot("out", {"--first", "10", "--count", "2"})).code, 0);
        QCOMPARE(zrtool(boot("out", {"--next", "2"})).code, 0);
        QCOMPARE(zrtool(boot("out", {"--next", "1"}, 15)).code, 0);
        QCOMPARE(imagesIn(m_dir->filePath("out")),
                 (QStringList{"Zr501_Boot_26140000.bin", "Zr501_Boot_26140001.bin", "Zr501_Boot_26140002.bin",
                              "Zr501_Boot_26140010.bin", "Zr501_Boot_26140011.bin", "Zr501_Boot_26140012.bin",
                              "Zr501_Boot_26140013.bin", "Zr501_Boot_26150000.bin"}));
        const Run past = zrtool(boot("out", {"--next", "8180"}));
        QCOMPARE(past.code, 2); // 14 + 8180 runs past serial 8191
        QVERIFY2(past.err.contains(QLatin1String("run past the last one")), qPrintable(past.err));
    }

    void concurrentBenches_data() { RegistryBackend::addRows(); }
    // Two benches start overlapping series at the same moment: exactly one succeeds, the other is refused and
    // writes no image, and the registry holds the winner's IDs only.
    void concurrentBenches()
    {
        if (!freshRegistry())
            return;
        for (int round = 0; round < 3; ++round) {
            const int base = round * 1000;
            QProcess *a = start(boot(QStringLiteral("a%1").arg(round), {"--first", QString::number(base),
                                                                         "--count", "300"}), m_url);
            QProcess *b = start(boot(QStringLiteral("b%1").arg(round), {"--first", QString::number(base + 200),
                                                                         "--count", "300"}), m_url);
            const Run ra = finish(a), rb = finish(b);
            QVERIFY2((ra.code == 0) != (rb.code == 0), qPrintable(ra.err + rb.err));
            const Run &loser = ra.code == 0 ? rb : ra;
            QCOMPARE(loser.code, 2);
            QVERIFY2(loser.err.contains(QLatin1String("already issued")), qPrintable(loser.err));
            const QString winnerDir = m_dir->filePath(QStringLiteral("%1%2").arg(ra.code == 0 ? "a" : "b").arg(round));
            const QString loserDir = m_dir->filePath(QStringLiteral("%1%2").arg(ra.code == 0 ? "b" : "a").arg(round));
            QCOMPARE(imagesIn(winnerDir).size(), 300);
            QVERIFY(imagesIn(loserDir).isEmpty());
            Registry reg;
            QVERIFY(reg.open(m_url));
            const int winnerFirst = ra.code == 0 ? base : base + 200;
            IssuedId id;
            QVERIFY(reg.find(zr501Id(winnerFirst), &id));
            QVERIFY(id.written);
            // The loser's own part of the range is not in the registry either.
            QVERIFY(!reg.find(zr501Id(ra.code == 0 ? base + 499 : base), &id));
        }
        Registry reg;
        QVERIFY(reg.open(m_url));
        QCOMPARE(reg.list(QStringLiteral("Zr501"), QDateTime()).size(), 900);
    }

    void failedImage_data() { RegistryBackend::addRows(); }
    // The series stops at an image it cannot write: the images before it are recorded, the rest stay free.
    void failedImage()
    {
        if (!freshRegistry())
            return;
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("out/Zr501_Boot_26140003.bin")));
        const Run r = zrtool(boot("out", {"--first", "0", "--count", "6"}));
        QCOMPARE(r.code, 3);
        Registry reg;
        QVERIFY(reg.open(m_url));
        QCOMPARE(reg.list(QStringLiteral("Zr501"), QDateTime()).size(), 3);
        QVERIFY(QDir(m_dir->filePath(QStringLiteral("out/Zr501_Boot_26140003.bin"))).removeRecursively());
        QCOMPARE(zrtool(boot("out", {"--next", "3"})).code, 0);
        QCOMPARE(imagesIn(m_dir->filePath("out")).size(), 6);
    }

    void exportImport_data() { RegistryBackend::addRows(); }
    // Export round-trips through import into an empty registry; importing again refuses every line by number.
    void exportImport()
    {
        if (!freshRegistry())
            return;
        QCOMPARE(zrtool(boot("out", {"--first", "5", "--count", "4"})).code, 0);
        QCOMPARE(zrtool({"registry", "export", "--csv", "first.csv"}).code, 0);
        QFETCH(QString, backend);
        QString skip;
        const QString empty = RegistryBackend::freshUrl(backend, m_dir->path(), &skip);
        Run r = zrtool({"registry", "import", "--csv", "first.csv"}, empty);
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains(QLatin1String("4 device IDs imported, 0 lines refused")), qPrintable(r.out));
        QCOMPARE(zrtool({"registry", "export", "--csv", "second.csv"}, empty).code, 0);
        QFile first(m_dir->filePath("first.csv")), second(m_dir->filePath("second.csv"));
        QVERIFY(first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly));
        const QByteArray exported = first.readAll();
        QCOMPARE(second.readAll(), exported);
        QCOMPARE(exported.count('\n'), 5);

        // Line 2 repeats line 3's ID, lines 3..6 are issued already; line 7 is new.
        QFile dup(m_dir->filePath("dup.csv"));
        QVERIFY(dup.open(QIODevice::WriteOnly));
        const QList<QByteArray> lines = exported.split('\n');
        dup.write(lines.at(0) + "\n" + lines.at(2) + "\n" + exported.mid(lines.at(0).size() + 1)
                  + "0x0379c063,Zr501\n");
        dup.close();
        r = zrtool({"registry", "import", "--csv", "dup.csv"}, empty);
        QCOMPARE(r.code, 2);
        for (int line : {3, 4, 5, 6})
            QVERIFY2(r.err.contains(QStringLiteral("line %1: device ID").arg(line)), qPrintable(r.err));
        QVERIFY(!r.err.contains(QLatin1String("line 7:")));
        QVERIFY(r.err.contains(QLatin1String("line 2: device ID")));
        QVERIFY2(r.out.contains(QLatin1String("1 device IDs imported, 5 lines refused")), qPrintable(r.out));
    }

    void unreachable_data() { RegistryBackend::addRows(); }
    // zrtool boot without its registry stops before the first image (exit 7, one line naming why); --offline
    // writes the series and spools its records, which "registry spool" lists and --flush writes once it can.
    void unreachable()
    {
        QFETCH(QString, backend);
        QString skip;
        const QString url = RegistryBackend::unreachableUrl(backend, m_dir->path(), &skip);
        if (url.isEmpty())
            QSKIP(qPrintable(skip));
        Run r = zrtool(boot("out", {"--first", "0", "--count", "3"}), url);
        QCOMPARE(r.code, 7);
        QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
        QVERIFY2(r.err.contains(QLatin1String("cannot be reached")) && r.err.contains(QLatin1String("nothing written")),
                 qPrintable(r.err));
        QVERIFY(!QFileInfo::exists(m_dir->filePath("out")));
        QVERIFY(!QFileInfo::exists(m_dir->filePath("spool.jsonl")));
        QCOMPARE(zrtool(boot("out", {"--next", "1"}), url).code, 7); // --next needs the registry itself

        r = zrtool(boot("out", {"--first", "0", "--count", "3", "--offline"}), url);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
        QVERIFY2(r.err.contains(QLatin1String("records are kept in")) && r.err.contains(QLatin1String("spool.jsonl")),
                 qPrintable(r.err));
        QCOMPARE(imagesIn(m_dir->filePath("out")).size(), 3);
        Run listed = zrtool({"registry", "spool"}, url);
        QCOMPARE(listed.code, 0);
        QCOMPARE(listed.out.count(QLatin1String("issue ")), 3);
        QVERIFY2(listed.out.contains(QLatin1String("3 records in")), qPrintable(listed.out));

        RegistryBackend::makeReachable(backend, url);
        const Run flushed = zrtool({"registry", "spool", "--flush"}, url);
        QCOMPARE(flushed.code, 0);
        QVERIFY2(flushed.out.contains(QLatin1String("3 records written")), qPrintable(flushed.out));
        const Run list = zrtool({"registry", "list", "--model", "Zr501"}, url);
        QCOMPARE(list.code, 0);
        QCOMPARE(list.out.count(QLatin1String(" written ")), 3);
    }

    void unwritable_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("not a database") << QStringLiteral("garbage");
        QTest::newRow("a folder in its place") << QStringLiteral("folder");
        QTest::newRow("spool unwritable too") << QStringLiteral("spool");
    }
    // An SQLite registry that cannot be read or written stops the series with nothing written; with --offline a
    // spool that cannot be written stops it as well, said as such.
    void unwritable()
    {
        QFETCH(QString, damage);
        const QString url = m_dir->filePath(QStringLiteral("damaged.sqlite"));
        if (damage == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(url));
        } else {
            QFile file(url);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(8192, 'x'));
        }
        QStringList more{"--first", "0", "--count", "3"};
        QString spoolSays;
        if (damage == QLatin1String("spool")) {
            more << "--offline";
            QFile blocker(m_dir->filePath("blocker"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            spoolSays = QStringLiteral("spool cannot be written");
        }
        QProcess *p = start(boot("out", more), url);
        if (damage == QLatin1String("spool")) { // restart with the spool below a plain file
            finish(p);
            QDir(m_dir->filePath("out")).removeRecursively();
            QFile::remove(m_dir->filePath("spool.jsonl"));
            auto *q = new QProcess(this);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("ZR_REGISTRY"), url);
            env.insert(QStringLiteral("ZR_REGISTRY_SPOOL"), m_dir->filePath(QStringLiteral("blocker/spool.jsonl")));
            q->setProcessEnvironment(env);
            q->setWorkingDirectory(m_dir->path());
            q->start(QStringLiteral(ZRTOOL_PATH), boot("out", more));
            p = q;
        }
        const Run r = finish(p);
        QCOMPARE(r.code, 7);
        QVERIFY2(r.err.contains(QLatin1String("nothing written")) && r.err.contains(spoolSays), qPrintable(r.err));
        QVERIFY(!r.err.contains(QLatin1String("records are kept")));
        QVERIFY(!QFileInfo::exists(m_dir->filePath("out")));
    }

    void mistypedUrl_data()
    {
        QTest::addColumn<QString>("url");
        for (const char *url : {"postgresq://zr:pw-7731@db/reg", "postgresql:/zr:pw-7731@db/reg", "pg://zr:pw-7731@db/reg",
                                "POSTGRESQL://zr:pw-7731@db/reg", " postgresql://zr:pw-7731@db/reg"})
            QTest::newRow(url) << QString::fromLatin1(url);
    }
    // A mistyped registry URL is refused with the accepted forms: no registry file, no spool, no image, and the
    // password in no message.
    void mistypedUrl()
    {
        QFETCH(QString, url);
        const QStringList before = QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        for (const QStringList &command : {boot("out", {"--first", "0", "--count", "2", "--registry", url}),
                                           QStringList{"registry", "list", "--registry", url}}) {
            const Run r = zrtool(command);
            QCOMPARE(r.code, 1);
            QVERIFY2(r.err.contains(QLatin1String("accepted: postgresql://")), qPrintable(r.err));
            QVERIFY2(!(r.err + r.out).contains(QLatin1String("pw-7731")), qPrintable(r.err));
        }
        const Run fromEnvironment = zrtool(boot("out", {"--first", "0", "--count", "2"}), url);
        QCOMPARE(fromEnvironment.code, 1);
        QVERIFY2(fromEnvironment.err.contains(QLatin1String("ZR_REGISTRY")), qPrintable(fromEnvironment.err));
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), before);
    }

    // A PostgreSQL password given in the URL reaches the full program through its environment, never its command
    // line, and appears in no output and no spool line.
    void passwordHidden()
    {
        QString skip;
        const QString plain = RegistryBackend::freshUrl(QStringLiteral("postgresql"), m_dir->path(), &skip);
        if (plain.isEmpty())
            QSKIP(qPrintable(skip));
        QUrl withPassword(plain);
        withPassword.setPassword(QStringLiteral("pw-5519"));
        const QString url = withPassword.toString();
        // A spool waiting for this registry, and its lock held here: the full program waits in its flush, long
        // enough for its command line to be read.
        RegistrySpool spool(m_dir->filePath(QStringLiteral("spool.jsonl")));
        QVERIFY(spool.add(url, UpgradeRecord()));
        QFile spoolFile(spool.path());
        QVERIFY(spoolFile.open(QIODevice::ReadOnly));
        QVERIFY(!spoolFile.readAll().contains("pw-5519"));
        spoolFile.close();
        auto lock = std::make_unique<QLockFile>(spool.path() + QStringLiteral(".lock"));
        QVERIFY(lock->tryLock(0));
        QProcess *p = start({"registry", "list", "--registry", url}, plain);
        QByteArray commandLine, environment;
        for (int tries = 0; tries < 500; ++tries) {
            QTest::qWait(20);
            const QString proc = QStringLiteral("/proc/%1/").arg(p->processId());
            if (QFileInfo(proc + QStringLiteral("exe")).symLinkTarget() == QFileInfo(QStringLiteral(ZRTOOL_PATH)).canonicalFilePath())
                continue; // the front program, before it hands over
            QFile cmdline(proc + QStringLiteral("cmdline")), environFile(proc + QStringLiteral("environ"));
            if (cmdline.open(QIODevice::ReadOnly) && environFile.open(QIODevice::ReadOnly)) {
                commandLine = cmdline.readAll();
                environment = environFile.readAll();
                if (commandLine.contains("registry"))
                    break;
            }
        }
        lock.reset();
        const Run r = finish(p);
        QVERIFY2(commandLine.contains("--registry"), commandLine.constData());
        QVERIFY2(!commandLine.contains("pw-5519"), commandLine.constData());
        QVERIFY(environment.contains("PGPASSWORD=pw-5519"));
        QCOMPARE(r.code, 0);
        QVERIFY(!(r.out + r.err).contains(QLatin1String("pw-5519")));

        // A server that cannot be reached: its error lines and the spooled records hold no password either.
        withPassword.setPath(QStringLiteral("/no_such_database"));
        const Run away = zrtool(boot("out", {"--first", "0", "--count", "1", "--offline", "--registry",
                                             withPassword.toString()}));
        QCOMPARE(away.code, 0);
        QVERIFY2(away.err.contains(QLatin1String("no_such_database")), qPrintable(away.err));
        QVERIFY(!(away.out + away.err).contains(QLatin1String("pw-5519")));
        QVERIFY(spoolFile.open(QIODevice::ReadOnly));
        const QByteArray spooled = spoolFile.readAll();
        QVERIFY(spooled.contains("no_such_database"));
        QVERIFY(!spooled.contains("pw-5519"));
    }

    void spoolExactlyOnce_data() { RegistryBackend::addRows(); }
    // 200 spooled records and 4 upgrades starting together: each process opens the registry and would flush the
    // spool; the lock and the record IDs leave exactly 204 rows.
    void spoolExactlyOnce()
    {
        if (!freshRegistry())
            return;
        RegistrySpool spool(m_dir->filePath(QStringLiteral("spool.jsonl")));
        UpgradeRecord u;
        u.deviceId = 0x0379C02A;
        u.result = QStringLiteral("done");
        for (int i = 0; i < 200; ++i)
            QVERIFY(spool.add(m_url, u));
        const QString file = writeTestUpgradeFile(m_dir->filePath(QStringLiteral("Zr501_v2.upg")), "Zr501",
                                                  testImage(0x10000, 0x2000, 5));
        QList<QProcess *> benches;
        for (int i = 0; i < 4; ++i)
            benches << start({"upgrade", "--simulate", "--sim-virtual-clock", file}, m_url);
        for (QProcess *p : benches)
            QCOMPARE(finish(p).code, 0);
        Registry reg;
        QVERIFY(reg.open(m_url));
        QCOMPARE(reg.upgrades(0x0379C02A).size(), 204);
        QCOMPARE(spool.pending(m_url), 0);
    }

    void nextContention_data() { RegistryBackend::addRows(); }
    // 5 benches start --next 20 together, 10 rounds: every one succeeds, and no serial number is written twice.
    void nextContention()
    {
        if (!freshRegistry())
            return;
        for (int round = 0; round < 10; ++round) {
            QList<QProcess *> benches;
            for (int b = 0; b < 5; ++b)
                benches << start(boot(QStringLiteral("r%1b%2").arg(round).arg(b), {"--next", "20"}), m_url);
            for (QProcess *p : benches) {
                const Run r = finish(p);
                QVERIFY2(r.code == 0, qPrintable(r.err));
            }
        }
        QSet<QString> names;
        int images = 0;
        for (const QString &dir : QDir(m_dir->path()).entryList({"r*b*"}, QDir::Dirs)) {
            for (const QString &name : imagesIn(m_dir->filePath(dir))) {
                names.insert(name);
                ++images;
            }
        }
        QCOMPARE(images, 1000);
        QCOMPARE(names.size(), 1000);
        QVERIFY(names.contains(QStringLiteral("Zr501_Boot_26140999.bin")));
        Registry reg;
        QVERIFY(reg.open(m_url));
        const QVector<IssuedId> ids = reg.list(QStringLiteral("Zr501"), QDateTime());
        QCOMPARE(ids.size(), 1000);
        for (const IssuedId &id : ids)
            QVERIFY(id.written);
    }

    void lookups_data() { RegistryBackend::addRows(); }
    // What a person has in hand finds the device: the label's serial text, the ID in hex without 0x; a serial
    // text of several models asks which; "registry list" alone gives the overview; "export --csv -" writes stdout.
    void lookups()
    {
        if (!freshRegistry())
            return;
        QCOMPARE(zrtool(boot("out", {"--first", "40", "--count", "3"})).code, 0);
        Run r = zrtool({"registry", "show", "26140042"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.startsWith(QLatin1String("device 0x0379c02a: Zr501, serial 26140042")), qPrintable(r.out));
        r = zrtool({"registry", "show", "0379C029"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains(QLatin1String("serial 26140041")), qPrintable(r.out));
        QCOMPARE(zrtool({"registry", "show", "26140099"}).code, 2);

        // Zr509 serial 42 of the same week: the serial text belongs to two devices now.
        QCOMPARE(zrtool({"boot", "--model", "Zr509", "--bootloader", "boot.hex", "--year", "26", "--week", "14", "--out",
                         "z", "--first", "42", "--count", "1"}).code, 0);
        r = zrtool({"registry", "show", "26140042"});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(QLatin1String("which model")) && r.err.contains(QLatin1String("Zr509")), qPrintable(r.err));
        r = zrtool({"registry", "show", "26140042", "--model", "Zr509"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains(QLatin1String(": Zr509, serial 26140042")), qPrintable(r.out));

        r = zrtool({"registry", "list"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains(QRegularExpression(QStringLiteral("Zr501 +26 week 14 +3 +0 +43 "))), qPrintable(r.out));
        QVERIFY2(r.out.contains(QLatin1String("last series: Zr509 26140042..26140042 (1 IDs)")), qPrintable(r.out));
        QVERIFY2(r.out.contains(QLatin1String("spooled records waiting for this registry: 0")), qPrintable(r.out));

        r = zrtool({"registry", "export", "--csv", "-"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out.count(QLatin1Char('\n')), 5);

        // Zr430 and Zr600 share an RDM identifier, so their IDs too: the second is refused, and written on purpose
        // the ID's history shows both images and flags the change of model.
        const auto model = [](const char *code, const QStringList &more) {
            return QStringList{"boot", "--model", code, "--bootloader", "boot.hex", "--year", "26", "--week", "14",
                               "--out", code, "--first", "7", "--count", "1"} + more;
        };
        QCOMPARE(zrtool(model("Zr430", {})).code, 0);
        QCOMPARE(zrtool(model("Zr600", {})).code, 2);
        QCOMPARE(zrtool(model("Zr600", {"--reissue"})).code, 0);
        r = zrtool({"registry", "show", "0x4079c007"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains(QDir::toNativeSeparators(QStringLiteral("replacing Zr430/Zr430_Boot_26140007.bin")))
                     && r.out.contains(QLatin1String("MODEL CHANGED under this ID: Zr430 -> Zr600")),
                 qPrintable(r.out));
        QVERIFY(!QFileInfo::exists(m_dir->filePath("-")));
    }
};

QTEST_GUILESS_MAIN(TestRegistryTool)
#include "test_registrytool.moc"
