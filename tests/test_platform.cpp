// What each operating system does its own way, on the system the suite runs on: replacing files and how it fails,
// devices written in place, paths with drive letters, backslashes and names in other scripts, through the core and
// through zrtool.
#include <QtTest>
#include <QProcess>
#include <QTemporaryDir>

#include "core/files.h"
#include "tests/support/hexfile.h"

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Everything in `dir` whose name marks a temporary of ours.
QStringList temporaries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).filter(".tmp");
}

// A name in three scripts and with a space, as a technician's folders are called.
const QString kOtherScripts = QStringLiteral("Прошивка ü 固件");

} // namespace

class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void replaces();
    void failures_data();
    void failures();
    void deviceWrittenInPlace();
    void paths_data();
    void paths();
    void zrtoolPaths();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestPlatform::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

// An existing file gets the new bytes whole and nothing else is left in its folder; a series of new files too.
void TestPlatform::replaces()
{
    const QString path = m_dir->filePath("out.bin");
    QVERIFY(writeFileBytes(path, "old contents, longer than the new ones"));
    QString error;
    QVERIFY2(writeFileBytes(path, "new", &error), qPrintable(error));
    QCOMPARE(readAll(path), QByteArray("new"));

    FileBatch batch(FileBatch::AllOrNone);
    for (int i = 0; i < 3; ++i)
        QVERIFY(batch.add(m_dir->filePath(QStringLiteral("s%1.bin").arg(i)), QByteArray(100, char('a' + i))));
    QVERIFY(batch.commit());
    QCOMPARE(batch.committed(), 3);
    QCOMPARE(readAll(m_dir->filePath("s2.bin")), QByteArray(100, 'c'));
    QCOMPARE(temporaries(m_dir->path()), QStringList());
}

void TestPlatform::failures_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("error");
    QTest::newRow("a directory in the way") << "directory" << "Is a directory";
    QTest::newRow("no such folder") << "missing folder" << "No such file or directory";
#ifdef Q_OS_WIN
    // Windows refuses to replace a file another program holds open without sharing its deletion. (A read-only
    // file is refused too, but Wine replaces it: no row for it.)
    QTest::newRow("held open by another program") << "held open" << "Permission denied";
#endif
}

// A refused replacement says why, leaves the old file as it was and no temporary behind.
void TestPlatform::failures()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, error);
    QString path = m_dir->filePath("out.bin");
    QFile held(path);
    if (obstacle == "directory") {
        QVERIFY(QDir().mkpath(path));
    } else if (obstacle == "missing folder") {
        path = m_dir->filePath("nowhere/out.bin");
    } else {
        QVERIFY(writeFileBytes(path, "earlier"));
        QVERIFY(held.open(QIODevice::ReadOnly));
    }
    QString reason;
    QVERIFY(!writeFileBytes(path, "new", &reason));
    QVERIFY2(reason.contains(error), qPrintable(reason));
    if (held.isOpen())
        QCOMPARE(readAll(path), QByteArray("earlier"));
    held.close();
    QCOMPARE(temporaries(m_dir->path()), QStringList());
    QCOMPARE(temporaries(m_dir->filePath("nowhere")), QStringList());
}

// The null device takes the bytes and stays a device: no file of that name appears, no temporary either.
void TestPlatform::deviceWrittenInPlace()
{
#ifdef Q_OS_WIN
    const QStringList devices = {QStringLiteral("NUL"), QStringLiteral("nul"), m_dir->filePath("NUL")};
#else
    const QStringList devices = {QStringLiteral("/dev/null")};
#endif
    // Relative names are looked up in the test's folder, where a wrongly made file would show.
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    const auto restore = qScopeGuard([&before] { QDir::setCurrent(before); });
    for (const QString &device : devices) {
        QString error;
        QVERIFY2(writeFileBytes(device, QByteArray(5000, 'x'), &error), qPrintable(device + ": " + error));
        FileBatch series;
        QVERIFY(series.add(device, "first") && series.add(m_dir->filePath("beside.bin"), "second"));
        QVERIFY(series.commit());
        QCOMPARE(readAll(m_dir->filePath("beside.bin")), QByteArray("second"));
    }
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"beside.bin"});
}

void TestPlatform::paths_data()
{
    QTest::addColumn<QString>("relative"); // below the test's folder, '/' or '\'
    QTest::newRow("other scripts") << kOtherScripts + "/" + kOtherScripts + ".bin";
#ifdef Q_OS_WIN
    QTest::newRow("backslashes") << "a\\b c\\out.bin";
    QTest::newRow("both separators") << "a/b\\" + kOtherScripts + ".bin";
#endif
}

// Absolute (with the drive letter on Windows) and written with the system's own separators: the folders are made,
// the file written whole, read back and replaced.
void TestPlatform::paths()
{
    QFETCH(QString, relative);
    const QString path = QDir::toNativeSeparators(m_dir->path()) + QDir::separator() + relative;
#ifdef Q_OS_WIN
    QVERIFY2(path.at(1) == ':' && path.at(0).isLetter(), qPrintable(path));
#endif
    QString error;
    const QString folder = path.left(qMax(path.lastIndexOf('/'), path.lastIndexOf('\\')));
    QVERIFY2(makeDirectory(folder, &error), qPrintable(error));
    QVERIFY2(writeFileBytes(path, "first", &error), qPrintable(error));
    QVERIFY2(writeFileBytes(path, "second", &error), qPrintable(error));
    QByteArray bytes;
    QVERIFY2(readFileBytes(path, &bytes, &error), qPrintable(error));
    QCOMPARE(bytes, QByteArray("second"));
    QCOMPARE(temporaries(folder), QStringList());
    QVERIFY(QFileInfo::exists(QDir::fromNativeSeparators(path)));
}

// zrtool takes such paths on its command line and writes where they point (on Windows they arrive through the
// wide command line, not the ANSI code page).
void TestPlatform::zrtoolPaths()
{
    const QString folder = QDir::toNativeSeparators(m_dir->filePath(kOtherScripts));
    QVERIFY(QDir().mkpath(folder));
    const QString hex = folder + QDir::separator() + kOtherScripts + ".hex";
    QVERIFY(writeFileBytes(hex, hexText({{0x08000000u, QByteArray("\x01\x02\x03\x04", 4)}})));
    const QString out = folder + QDir::separator() + kOtherScripts + ".bin";
    QProcess p;
    p.start(QStringLiteral(ZRTOOL_PATH), {"hex2bin", hex, "--first", "0x08000000", "--last", "0x08000007", "-o", out});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(QString::fromLocal8Bit(p.readAllStandardError()), QString());
    QCOMPARE(p.exitCode(), 0);
    QCOMPARE(readAll(out), QByteArray("\x01\x02\x03\x04\0\0\0\0", 8));
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"
