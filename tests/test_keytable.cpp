// A key table supplied by the user: the file format, the choice between option, environment and built-in table,
// and its effect on upgrade files, data frames and zrtool.
#include <QBuffer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

#include "builders/upgradefile.h"
#include "link/codec.h"
#include "link/keytable.h"

namespace {
// A table unlike the built-in one: word j is 0x01010101 * (j + 1) ^ 0x80000000.
KeyTable otherTable()
{
    KeyTable t{};
    for (int j = 0; j < 32; ++j)
        t[size_t(j)] = (0x01010101u * quint32(j + 1)) ^ 0x80000000u;
    return t;
}

QByteArray tableText(const KeyTable &t)
{
    QByteArray text;
    for (int j = 0; j < 32; ++j)
        text += (j % 2 ? "0x" : "") + QByteArray::number(t[size_t(j)], 16) + (j % 8 == 7 ? "\n" : " \t");
    return text;
}

QString writeText(const QTemporaryDir &dir, const QString &name, const QByteArray &text)
{
    QFile f(dir.filePath(name));
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        return QString();
    return f.fileName();
}
} // namespace

class TestKeyTable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }
    void cleanup()
    {
        qunsetenv(kKeyTableVariable);
        setImageKey(nullptr);
    }
    void parse_data();
    void parse();
    void upgradeFileAndDataFrame();
    void optionEnvironmentBuiltIn();
    void zrtool_data();
    void zrtool();
    void notAFileRefused_data();
    void notAFileRefused();
};

void TestKeyTable::parse_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("problem"); // empty: accepted as otherTable()
    QTest::newRow("mixed 0x, tabs, lines") << tableText(otherTable()) << QString();
    QTest::newRow("31 words") << tableText(otherTable()).left(tableText(otherTable()).lastIndexOf(' ')) << "31 words, 32 needed";
    QTest::newRow("33 words") << tableText(otherTable()) + " 1" << "33 words, 32 needed";
    QTest::newRow("empty") << QByteArray("  \n") << "0 words, 32 needed";
    QTest::newRow("one word") << QByteArray("0x1\n") << "1 word, 32 needed";
    QTest::newRow("not hexadecimal") << tableText(otherTable()).replace("3030303", "303g303")
                                     << "word 3 (\"8303g303\") is not a 32-bit hexadecimal number";
    QTest::newRow("nine digits") << QByteArray("123456789 ") + tableText(otherTable()).mid(tableText(otherTable()).indexOf(' ') + 1)
                                 << "word 1 (\"123456789\") is not a 32-bit hexadecimal number";
    QTest::newRow("bare 0x") << QByteArray("0x ") + tableText(otherTable()).mid(tableText(otherTable()).indexOf(' ') + 1)
                             << "word 1 (\"0x\") is not a 32-bit hexadecimal number";
}

void TestKeyTable::parse()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, problem);
    KeyTable table{};
    QString why;
    QCOMPARE(parseKeyTable(text, &table, &why), problem.isEmpty());
    QCOMPARE(why, problem);
    if (problem.isEmpty())
        QVERIFY(table == otherTable());
}

// Zeros encode to 2 * key word, so the bytes show the table in force word by word.
void TestKeyTable::upgradeFileAndDataFrame()
{
    const KeyTable t = otherTable();
    setImageKey(t.data());
    const QByteArray image(0x10000, '\0');
    QBuffer file;
    file.open(QIODevice::WriteOnly);
    QVERIFY(writeUpgradeFile(&file, "Zr501", kUpgradeFileVersion, image));
    const QByteArray frame = buildDataFrame(CMD_WRITE_MEMORY, 0, 0x08002000, QByteArray(256, '\0'));
    for (int j = 0; j < 64; ++j) {
        QCOMPARE(readU32(file.data(), 66 + 4 * j), quint32(2u * t[size_t(j % 32)]));
        QCOMPARE(readU32(frame, kMemoryHeaderSize + 4 * j), quint32(2u * t[size_t(j % 32)]));
    }
    QByteArray decoded = frame.mid(kMemoryHeaderSize);
    DecodeImage(decoded.data(), decoded.size());
    QCOMPARE(decoded, QByteArray(256, '\0'));

    setImageKey(nullptr);
    const QByteArray builtIn = buildDataFrame(CMD_WRITE_MEMORY, 0, 0x08002000, QByteArray(256, '\0'));
    QCOMPARE(readU32(builtIn, kMemoryHeaderSize), quint32(2u * ImageKey[0]));
}

void TestKeyTable::optionEnvironmentBuiltIn()
{
    QTemporaryDir dir;
    const QString good = writeText(dir, "other.txt", tableText(otherTable()));
    const QString bad = writeText(dir, "bad.txt", "1 2 3");
    QString problem;

    QVERIFY(useKeyTable(QString(), &problem));
    QCOMPARE(activeImageKey()[5], ImageKey[5]);

    qputenv(kKeyTableVariable, good.toLocal8Bit());
    QVERIFY(useKeyTable(QString(), &problem));
    QCOMPARE(activeImageKey()[5], otherTable()[5]);

    // The option wins over the environment; a bad file leaves the built-in table and names itself.
    QVERIFY(!useKeyTable(bad, &problem));
    QCOMPARE(problem, QStringLiteral("key table %1: 3 words, 32 needed").arg(bad));
    QCOMPARE(activeImageKey()[5], ImageKey[5]);

    QVERIFY(!useKeyTable(dir.filePath("missing.txt"), &problem));
    QVERIFY2(problem.startsWith("key table " + dir.filePath("missing.txt") + ": "), qPrintable(problem));
    QVERIFY(!useKeyTable(QStringLiteral("/dev/zero"), &problem)); // never read to the end
    QCOMPARE(problem, QStringLiteral("key table /dev/zero: larger than 4096 bytes"));
}

void TestKeyTable::zrtool_data()
{
    QTest::addColumn<QString>("how"); // option, option=, environment
    QTest::addColumn<bool>("good");
    QTest::newRow("option") << "option" << true;
    QTest::newRow("option=") << "option=" << true;
    QTest::newRow("environment") << "environment" << true;
    QTest::newRow("option, malformed") << "option" << false;
    QTest::newRow("environment, malformed") << "environment" << false;
}

// zrtool: the table changes the upgrade file's bytes; a malformed one stops it before anything is written.
void TestKeyTable::zrtool()
{
    QFETCH(QString, how);
    QFETCH(bool, good);
    QTemporaryDir dir;
    const QString table = writeText(dir, "k.txt", good ? tableText(otherTable()) : QByteArray("0x1 0x2"));
    // One data record at 0x08002000 (extended linear address 0x0800 first).
    const QString hex = writeText(dir, "app.hex", ":020000040800F2\n:0420000001020304D2\n:00000001FF\n");
    QStringList args = {"upg", "create", "--model", "Zr501", hex, "-o", dir.filePath("out.upg")};
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(kKeyTableVariable);
    if (how == "option")
        args = QStringList({"--key-table", table}) + args;
    else if (how == "option=")
        args.prepend("--key-table=" + table);
    else
        env.insert(kKeyTableVariable, table);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(ZRTOOL_PATH), args);
    QVERIFY(p.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    if (!good) {
        QCOMPARE(p.exitCode(), 2);
        QCOMPARE(err, QStringLiteral("zrtool: key table %1: 2 words, 32 needed\n").arg(table));
        QVERIFY(!QFile::exists(dir.filePath("out.upg")));
        return;
    }
    QCOMPARE(p.exitCode(), 0);
    QFile out(dir.filePath("out.upg"));
    QVERIFY(out.open(QIODevice::ReadOnly));
    const QByteArray bytes = out.readAll();
    // The image starts with the (empty) bootloader area: zeros, encoded with the file's table.
    for (int j = 0; j < 32; ++j)
        QCOMPARE(readU32(bytes, 66 + 4 * j), quint32(2u * otherTable()[size_t(j)]));
}


// A FIFO or directory named as key table is refused at once, by the option or the environment, in the core and
// through zrtool (a FIFO would otherwise block the open until someone writes to it).
void TestKeyTable::notAFileRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("byEnvironment");
    QTest::addColumn<QString>("reason");
    QTest::newRow("FIFO, option") << "fifo" << false << "not a regular file (a FIFO)";
    QTest::newRow("FIFO, environment") << "fifo" << true << "not a regular file (a FIFO)";
    QTest::newRow("directory") << "dir" << false << "not a regular file (a directory)";
}

void TestKeyTable::notAFileRefused()
{
    QFETCH(QString, name);
    QFETCH(bool, byEnvironment);
    QFETCH(QString, reason);
    QTemporaryDir dir;
#ifdef Q_OS_UNIX
    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600) == 0);
#else
    if (name == QLatin1String("fifo"))
        QSKIP("no FIFOs on this system");
#endif
    QVERIFY(QDir(dir.path()).mkdir("dir"));
    const QString path = dir.filePath(name);
    const QString expected = QStringLiteral("key table %1: %2").arg(path, reason);

    QString problem;
    if (byEnvironment)
        qputenv(kKeyTableVariable, path.toLocal8Bit());
    QVERIFY(!useKeyTable(byEnvironment ? QString() : path, &problem));
    QCOMPARE(problem, expected);
    QCOMPARE(activeImageKey()[5], ImageKey[5]);

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (byEnvironment)
        env.insert(kKeyTableVariable, path);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(ZRTOOL_PATH), (byEnvironment ? QStringList() : QStringList({"--key-table", path}))
                                             + QStringList({"upg", "inspect", dir.filePath("none.upg")}));
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 2);
    QCOMPARE(QString::fromLocal8Bit(p.readAllStandardError()), "zrtool: " + expected + "\n");
}

QTEST_GUILESS_MAIN(TestKeyTable)
#include "test_keytable.moc"
