// zrtool and the production registry, run as processes: refused reuse, --next, concurrent benches, a failed image,
// export and import, an unreachable registry, and the record of a device upgrade. SQLite and PostgreSQL alike.
#include <QCryptographicHash>
#include <QDir>
#include <QProcess>
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
        r = zrtool(QStringList(sim) << "--full-windows" << "--sim-drop-reply" << "40");
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
        QCOMPARE(records.at(1).result, QString("failed"));
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
    // zrtool boot without its registry: the series is written, the problem said once on stderr, and the records
    // reach the registry at its next open.
    void unreachable()
    {
        QFETCH(QString, backend);
        QString skip;
        const QString url = RegistryBackend::unreachableUrl(backend, m_dir->path(), &skip);
        if (url.isEmpty())
            QSKIP(qPrintable(skip));
        const Run r = zrtool(boot("out", {"--first", "0", "--count", "3"}), url);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.err.count(QLatin1String("cannot be reached")), 1);
        QCOMPARE(imagesIn(m_dir->filePath("out")).size(), 3);
        QCOMPARE(zrtool(boot("out", {"--next", "1"}), url).code, 7); // --next needs the registry itself

        RegistryBackend::makeReachable(backend, url);
        const Run list = zrtool({"registry", "list", "--model", "Zr501"}, url);
        QCOMPARE(list.code, 0);
        QCOMPARE(list.out.count(QLatin1String(" written ")), 3);
    }
};

QTEST_GUILESS_MAIN(TestRegistryTool)
#include "test_registrytool.moc"
