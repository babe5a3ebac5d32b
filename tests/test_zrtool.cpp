// The production surface: zrflasher --production, and zrtool run as a process (main paths, errors, and the same
// files as the window's slots for the same inputs).
#include <QtTest>
#include <QAction>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include "app/flasher.h"
#include "builders/bootimage.h"
#include "builders/catalogue.h"
#include "builders/upgradefile.h"
#include "link/codec.h"
#include "params/paramrecord.h"
#include "tests/support/hexfile.h"
#include "tests/support/scriptedprompts.h"

namespace {

struct Result
{
    int code = -1;
    QString out;
    QString err;
};

Result zrtool(const QStringList &arguments, const QString &workingDirectory = QDir::currentPath())
{
    QProcess p;
    p.setWorkingDirectory(workingDirectory);
    p.start(QStringLiteral(ZRTOOL_PATH), arguments);
    Result r;
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.code = p.exitCode();
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

QByteArray pattern(int size, int seed)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 7 + seed * 13 + (i >> 8)) & 0xFF);
    return b;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every file under a directory with a hash of its contents: what a failed command must leave as it was.
QMap<QString, QByteArray> snapshot(const QString &dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileInfo().size() > (64 << 20)) { // the sparse 2 GiB inputs: their size says enough
            files.insert(path, QByteArray::number(it.fileInfo().size()));
            continue;
        }
        files.insert(path, QCryptographicHash::hash(readAll(path), QCryptographicHash::Md5));
    }
    return files;
}

const CatalogueRow *rowOf(const QByteArray &slotId)
{
    for (const QVector<CatalogueRow> *rows : {&catalogue(), &upgradeOnlyRows()})
        for (const CatalogueRow &row : *rows)
            if (slotId == row.slotId)
                return &row;
    return nullptr;
}

// Inputs no fixture file can be, made when a row names them: 2 GiB sparse files (one whose upgrade header claims
// 0x7FF00000 bytes), a FIFO nobody writes to, a HEX "line" of 8 MiB of zeros, an empty HEX file.
bool makeSpecialInput(const QString &name)
{
    QFile f(name);
    if (name.startsWith("huge")) {
        const QByteArray start = name == "huge-header.upg" ? QByteArray::fromHex("7FF00000") : QByteArray();
        return f.open(QIODevice::WriteOnly) && f.write(start) == start.size() && f.resize(2ll << 30);
    }
    if (name == "claims-huge-header.upg")
        return f.open(QIODevice::WriteOnly) && f.write(QByteArray::fromHex("7FF00000") + QByteArray(64, 'x')) == 68;
#ifdef Q_OS_UNIX
    if (name == "fifo")
        return mkfifo("fifo", 0600) == 0;
#endif
    if (name == "longline.hex")
        return f.open(QIODevice::WriteOnly) && f.write(":" + QByteArray(8 << 20, '0')) == (8 << 20) + 1;
    if (name == "empty.hex")
        return f.open(QIODevice::WriteOnly);
    if (name == "adir")
        return QDir().mkdir(name);
    return true;
}

// The largest resident size of any child process so far.
// Under AddressSanitizer (the CI's second pass) shadow memory and quarantine make every process larger; a bound
// of 512 MiB still shows a 2 GiB input read whole.
#ifdef __SANITIZE_ADDRESS__
constexpr qint64 kSmallChildKiB = 512 * 1024;
#else
constexpr qint64 kSmallChildKiB = 64 * 1024;
#endif
#ifdef Q_OS_UNIX
qint64 largestChildKiB()
{
    struct rusage usage;
    return getrusage(RUSAGE_CHILDREN, &usage) == 0 ? usage.ru_maxrss : -1;
}
// The children so far stayed small: nothing big was read whole.
#define VERIFY_SMALL_CHILDREN() QVERIFY2(largestChildKiB() < kSmallChildKiB, qPrintable(QString::number(largestChildKiB())))
#else
// Windows keeps no peak memory of a finished child.
#define VERIFY_SMALL_CHILDREN() ((void)0)
#endif

QString twoDigits(int n)
{
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

} // namespace

class TestZrtool : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void productionWindow();
    void help_data();
    void help();
    void errors_data();
    void errors();
    void unreadableInputSaysWhy_data();
    void unreadableInputSaysWhy();
    void hex2bin();
    void upgCreateMatchesWindow_data();
    void upgCreateMatchesWindow();
    void upgLayoutOfUnknownModel_data();
    void upgLayoutOfUnknownModel();
    void upgInspectBad_data();
    void upgInspectBad();
    void upgExtract();
    void upgZr440Descriptor();
    void upgInspectHeaderClaimingGigabytes();
    void upgCreateInFreshFolder();
    void outputsThatAreNotFiles_data();
    void outputsThatAreNotFiles();
    void seriesStopsAtTheFirstUnwritableImage();
    void seriesOnAFullFileSystem_data();
    void seriesOnAFullFileSystem();
    void fullProgramMissing();
    void failedFlushLeavesNoFile_data();
    void failedFlushLeavesNoFile();
    void bootMatchesWindow_data();
    void bootMatchesWindow();
    void progressOnTerminal_data();
    void progressOnTerminal();
    void param();
    void id_data();
    void id();
    void traces_data();
    void traces();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // A valid Zr501 upgrade file with a test application, written by the core.
    QString writeGoodUpg(const QString &name, quint32 imageSize = 0x10000, const QString &version = "01");

    QTemporaryDir *m_dir = nullptr;
    QTemporaryDir *m_registryDir = nullptr;
    QString m_oldCwd;
    QByteArray m_bootBytes;
};

void TestZrtool::init()
{
    m_oldCwd = QDir::currentPath();
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    // Each case issues its serial numbers into a production registry of its own, away from the output files.
    m_registryDir = new QTemporaryDir;
    qputenv("ZR_REGISTRY", m_registryDir->filePath(QStringLiteral("registry.sqlite")).toUtf8());
    qputenv("ZR_REGISTRY_SPOOL", m_registryDir->filePath(QStringLiteral("spool.jsonl")).toUtf8());
    QVERIFY(QDir::setCurrent(m_dir->path()));

    // A bootloader at the flash base and a few bytes near the end of the 128 KiB boot area; an application with
    // data in the window of every family (data outside a window is skipped with --crop), in the CRC bytes of the
    // 64 KiB one, and the Zr440's model code in the descriptor its layout covers.
    m_bootBytes = pattern(0x100, 1);
    QVERIFY(writeFile("boot.hex", hexText({{0x08000000, m_bootBytes}, {0x0801FFA0, pattern(0x20, 2)}})));
    QVERIFY(writeFile("app.hex", hexText({{0x08001800, pattern(0x40, 3)},
                                          {0x08001FC0, QByteArray("Zr440", 6)},
                                          {0x08002000, pattern(0x300, 4)},
                                          {0x08004000, pattern(0x80, 5)},
                                          {0x0800FFF0, pattern(0x10, 6)},
                                          {0x08020000, pattern(0x200, 7)}})));
    QByteArray badData = hexRecord(0, 0, QByteArray(4, '\x11'));
    badData.replace(9, 2, "ZZ");
    QVERIFY(writeFile("bad.hex", hexRecord(4, 0, QByteArray("\x08\x00", 2)) + badData + hexRecord(1, 0)));
    QByteArray badSum = hexRecord(0, 0, QByteArray(4, '\x11'));
    badSum[badSum.size() - 2] = badSum.at(badSum.size() - 2) == '0' ? '1' : '0';
    QVERIFY(writeFile("badsum.hex", badSum + hexRecord(1, 0)));
    QVERIFY(writeFile("boot.bin", pattern(7000, 8)));
    QVERIFY(writeFile("Zr525_v1.23_app.bin", pattern(300, 9)));
    QVERIFY(writeFile("Zr489_v2.01_app.bin", pattern(1000, 10)));
    ParamRecord record;
    QString error;
    QVERIFY(record.setValue("deviceName", "Lamp 7", &error));
    QVERIFY(record.save("p.txt", &error));
    QVERIFY(writeFile("big.txt", QByteArray(200, '\0')));
    QVERIFY(!writeGoodUpg("good.upg").isEmpty());
}

void TestZrtool::cleanup()
{
    QDir::setCurrent(m_oldCwd);
    delete m_dir;
    m_dir = nullptr;
    delete m_registryDir;
    m_registryDir = nullptr;
}

QString TestZrtool::writeGoodUpg(const QString &name, quint32 imageSize, const QString &version)
{
    const UpgradeLayout &layout = *upgradeLayout("STM32F100C8");
    QByteArray image = QByteArray(int(layout.appOffset), '\0') + pattern(int(imageSize - layout.appOffset), 11);
    if (imageSize == layout.imageSize)
        sealImage(image, layout);
    QFile file(path(name));
    if (!file.open(QIODevice::WriteOnly) || !writeUpgradeFile(&file, "Zr501", version, image))
        return QString();
    return file.fileName();
}

// --- the window ---

void TestZrtool::productionWindow()
{
    ScriptedPrompts prompts;
    Flasher w(&prompts);
    startMainWindow(&w);
    const auto visibleTitles = [](const QList<QAction *> &actions) {
        QStringList titles;
        for (QAction *a : actions)
            if (a->isVisible())
                titles << a->text();
        return titles;
    };
    QCOMPARE(visibleTitles(w.menuBar()->actions()), QStringList({"File", "Utilities"}));

    w.showProductionControls();
    QCOMPARE(visibleTitles(w.menuBar()->actions()),
             QStringList({"File", "Create Upgrade", "BootBin Zr 0-299", "BootBin Zr 300-799", "BootBin Zr 800-999",
                          "BootBin Zr646", "Utilities", "Stream"}));
    QCOMPARE(visibleTitles(w.findChild<QMenu *>("menuUtilities")->actions()),
             QStringList({"DMX", "Disconnect RS Cable", "Parameter Wizard", "Fast replies",
                          QString::fromUtf8("Production registry…"), QString::fromUtf8("Gang Upgrade…")}));
    QCOMPARE(visibleTitles(w.findChild<QMenu *>("menuStream")->actions()),
             QStringList({"Stream Connect", "Stream Upgrade", "Stream Upgrade Procedure"}));
    QVERIFY(!w.findChild<QAction *>("actionConnectStream")->isEnabled());
    QVERIFY(!w.findChild<QAction *>("actionUpgradeStream")->isEnabled());
    QVERIFY(w.findChild<QAction *>("actionStartStreamUpgradeProcedure")->isEnabled());
    QVERIFY(!w.findChild<QMenu *>("menuUpgrade")->menuAction()->isVisible());
    QVERIFY(w.findChild<QCheckBox *>("showAllMsg")->isVisible());
    QVERIFY(w.findChild<QCheckBox *>("OldSerialSystem")->isVisible());
    QVERIFY(!w.findChild<QCheckBox *>("showAllOptions")->isVisible());
    QVERIFY(!w.findChild<QPushButton *>("pushButtonRead")->isVisible());
    // Every menu title fits in one row, and the option boxes keep their whole texts.
    QVERIFY(w.width() >= w.menuBar()->sizeHint().width());
    QVERIFY(w.width() > 400);
    QVERIFY(w.findChild<QCheckBox *>("OldSerialSystem")->width()
            >= w.findChild<QCheckBox *>("OldSerialSystem")->sizeHint().width());
}

// --- the command line ---

void TestZrtool::help_data()
{
    QTest::addColumn<QStringList>("words");
    for (const char *words : {"hex2bin", "upg create", "upg inspect", "upg extract", "boot", "param show",
                              "param set", "param new", "id"})
        QTest::newRow(words) << QString::fromLatin1(words).split(' ');
}

void TestZrtool::help()
{
    QFETCH(QStringList, words);
    const Result r = zrtool(words + QStringList{"--help"});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.startsWith("Usage: zrtool " + words.join(' ') + " [options]"), qPrintable(r.out));
    QVERIFY(r.out.contains("--help"));
    QCOMPARE(r.err, QString());
}

void TestZrtool::errors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // part of the one line on stderr

    const QStringList window = {"--first", "0x08000000", "--last", "0x080000FF", "-o"};
    const QStringList year = {"--year", "26", "--week", "14", "--first", "0", "--count", "2"};
    QTest::newRow("hex2bin bad data") << QStringList{"hex2bin", "bad.hex"} + window + QStringList{"o.bin"} << 2
                                      << "bad.hex: HexToBin error -6";
    QTest::newRow("hex2bin bad checksum") << QStringList{"hex2bin", "badsum.hex"} + window + QStringList{"o.bin"}
                                          << 2 << "badsum.hex: HexToBin error -8";
    QTest::newRow("hex2bin missing file") << QStringList{"hex2bin", "nope.hex"} + window + QStringList{"o.bin"} << 2
                                          << "nope.hex: cannot open";
    QTest::newRow("hex2bin unwritable") << QStringList{"hex2bin", "boot.hex"} + window + QStringList{"no/o.bin"} << 3
                                        << "no/o.bin: cannot write";
    QTest::newRow("hex2bin window reversed")
        << QStringList{"hex2bin", "boot.hex", "--first", "0x08000100", "--last", "0x08000000", "-o", "o.bin"} << 1
        << "--last 0x08000000 lies below --first 0x08000100";
    QTest::newRow("hex2bin option missing") << QStringList{"hex2bin", "boot.hex", "--first", "0", "-o", "o.bin"} << 1
                                            << "missing option --last";
    QTest::newRow("upg create unknown model")
        << QStringList{"upg", "create", "--model", "Zr999", "app.hex", "-o", "x.upg"} << 1 << "unknown model 'Zr999'";
    QTest::newRow("upg create model without upgrade")
        << QStringList{"upg", "create", "--model", "Zr659", "app.hex", "-o", "x.upg"} << 1
        << "model Zr659 has no upgrade file";
    QTest::newRow("upg create unknown family")
        << QStringList{"upg", "create", "--model", "Zr999", "--family", "STM32X", "app.hex", "-o", "x.upg"} << 1
        << "unknown family 'STM32X'";
    QTest::newRow("upg create bad hex") << QStringList{"upg", "create", "--model", "Zr501", "bad.hex", "-o", "x.upg"}
                                        << 2 << "bad.hex: HexToBin error -6";
    QTest::newRow("upg create data outside the window")
        << QStringList{"upg", "create", "--model", "Zr440", "app.hex", "-o", "x.upg"} << 2
        << "app.hex: 528 bytes of data at 0x0800FFF0..0x080201FF, outside the STM32F070F6 window "
           "0x08001800..0x080077FF (nothing written; --crop cuts them off)";
    QTest::newRow("upg create unwritable")
        << QStringList{"upg", "create", "--model", "Zr501", "--crop", "app.hex", "-o", "boot.hex/x.upg"} << 3
        << "boot.hex: cannot create the directory: File exists";
    QTest::newRow("upg create companion blocked by a directory")
        << QStringList{"upg", "create", "--model", "Zr501", "--crop", "app.hex", "-o", "blocked.upg"} << 3
        << "blocked_app.bin: cannot write (Is a directory); neither blocked_app.bin nor blocked.upg was written";

    // Inputs without data where the command needs it.
    QTest::newRow("hex2bin empty file") << QStringList{"hex2bin", "empty.hex"} + window + QStringList{"o.bin"} << 2
                                        << "empty.hex: no data in the window 0x08000000..0x080000FF";
    QTest::newRow("hex2bin no data in the window")
        << QStringList{"hex2bin", "boot.hex", "--first", "0x08002000", "--last", "0x0800FFFF", "-o", "o.bin"} << 2
        << "boot.hex: no data in the window 0x08002000..0x0800FFFF";
    QTest::newRow("upg create bootloader as application")
        << QStringList{"upg", "create", "--model", "Zr501", "boot.hex", "-o", "x.upg"} << 2
        << "boot.hex: no data in the window 0x08002000..0x0800FFFF";
    QTest::newRow("boot empty bootloader") << QStringList{"boot", "--model", "Zr501", "--bootloader", "empty.hex"} + year
                                           << 2 << "empty.hex: no data in the window 0x08000000..0x08001FFF";

    // Inputs too large for their format, or not files: refused before they are read.
    const QStringList family = {"boot", "--model", "Zr489", "--year", "26", "--week", "14", "--first", "0", "--count",
                                "1"};
    QTest::newRow("hex2bin 2 GiB") << QStringList{"hex2bin", "huge.hex"} + window + QStringList{"o.bin"} << 2
                                   << "huge.hex: HexToBin error -10 (a line longer than a record can be";
    QTest::newRow("hex2bin 8 MiB line") << QStringList{"hex2bin", "longline.hex"} + window + QStringList{"o.bin"}
                                        << 2 << "longline.hex: HexToBin error -10";
#ifdef Q_OS_UNIX // POSIX devices and FIFOs
    QTest::newRow("hex2bin endless device") << QStringList{"hex2bin", "/dev/zero"} + window + QStringList{"o.bin"}
                                            << 2 << "/dev/zero: HexToBin error -10";
    QTest::newRow("hex2bin FIFO") << QStringList{"hex2bin", "fifo"} + window + QStringList{"o.bin"} << 2
                                  << "fifo: not a regular file (a FIFO)";
#endif
    QTest::newRow("upg inspect 2 GiB") << QStringList{"upg", "inspect", "huge.upg"} << 2
                                       << QString("huge.upg: 2147483648 bytes, more than the %1 bytes it can hold")
                                              .arg(maxUpgradeFileSize());
    QTest::newRow("upg inspect 2 GiB claiming a 2 GiB header") << QStringList{"upg", "inspect", "huge-header.upg"}
                                                               << 2 << "huge-header.upg: 2147483648 bytes, more than";
#ifdef Q_OS_UNIX
    QTest::newRow("upg inspect FIFO") << QStringList{"upg", "inspect", "fifo"} << 2 << "fifo: not a regular file";
#endif
    QTest::newRow("boot 2 GiB application") << family + QStringList{"--bootloader", "boot.bin", "--app", "huge.bin"}
                                            << 2 << "huge.bin: 2147483648 bytes, more than the 262144 bytes";
    QTest::newRow("boot 2 GiB bootloader") << family + QStringList{"--bootloader", "huge.bin", "--app", "boot.bin"}
                                           << 2 << "huge.bin: 2147483648 bytes, more than the 262144 bytes";
    QTest::newRow("boot 2 GiB HEX bootloader")
        << QStringList{"boot", "--model", "Zr501", "--bootloader", "huge.hex"} + year << 2
        << "huge.hex: HexToBin error -10";
    QTest::newRow("boot 2 GiB parameters")
        << QStringList{"boot", "--model", "Zr525", "--bootloader", "boot.hex", "--params", "huge.txt"} + year << 2
        << "huge.txt: 2147483648 bytes, a parameter block holds at most 128";
#ifdef Q_OS_UNIX
    QTest::newRow("boot FIFO application") << family + QStringList{"--bootloader", "boot.bin", "--app", "fifo"} << 2
                                           << "fifo: not a regular file (a FIFO)";
#endif
    QTest::newRow("upg inspect missing file") << QStringList{"upg", "inspect", "nope.upg"} << 2
                                              << "nope.upg: cannot open";
    QTest::newRow("upg extract unwritable") << QStringList{"upg", "extract", "good.upg", "-o", "no/a.bin"} << 3
                                            << "no/a.bin: cannot write";
    QTest::newRow("upg extract not an upgrade file") << QStringList{"upg", "extract", "p.txt", "-o", "a.bin"} << 2
                                                     << "p.txt: ";
    QTest::newRow("boot unknown model")
        << QStringList{"boot", "--model", "Zr999", "--bootloader", "boot.hex"} + year << 1 << "unknown model 'Zr999'";
    QTest::newRow("boot missing bootloader")
        << QStringList{"boot", "--model", "Zr501", "--bootloader", "nope.hex"} + year << 2 << "nope.hex: cannot open";
    QTest::newRow("boot bad hex") << QStringList{"boot", "--model", "Zr501", "--bootloader", "bad.hex"} + year << 2
                                  << "bad.hex: HexToBin error -6";
    QTest::newRow("boot missing application")
        << QStringList{"boot", "--model", "Zr501", "--bootloader", "boot.hex", "--app", "nope.bin"} + year << 2
        << "nope.bin: cannot read";
    QTest::newRow("boot parameter file too large")
        << QStringList{"boot", "--model", "Zr525", "--bootloader", "boot.hex", "--params", "big.txt"} + year << 2
        << "big.txt: 200 bytes, a parameter block holds at most 128";
    QTest::newRow("boot unwritable output")
        << QStringList{"boot", "--model", "Zr501", "--bootloader", "boot.hex", "--out", "boot.hex/x"} + year << 3
        << "boot.hex/x: cannot create the directory";
    QTest::newRow("boot family builder needs application")
        << QStringList{"boot", "--model", "Zr489", "--bootloader", "boot.bin"} + year << 1
        << "Zr489 images need an application (--app)";
    QTest::newRow("boot family builder has no old scheme")
        << QStringList{"boot", "--model", "Zr489", "--bootloader", "boot.bin", "--app", "boot.bin", "--old-scheme",
                       "--month", "5", "--year", "13", "--first", "0", "--count", "1"}
        << 1 << "Zr489 images use the new serial scheme only";
    QTest::newRow("boot week in old scheme")
        << QStringList{"boot", "--model", "Zr501", "--bootloader", "boot.hex", "--old-scheme"} + year << 1
        << "--old-scheme takes --month, not --week";
    QTest::newRow("boot serials beyond the last")
        << QStringList{"boot", "--model", "Zr501", "--bootloader", "boot.hex", "--year", "26", "--week", "14",
                       "--first", "8191", "--count", "2"}
        << 1 << "--count must be from 1 to 1";
    QTest::newRow("param show missing file") << QStringList{"param", "show", "nope.txt"} << 2
                                             << "nope.txt: cannot open";
    QTest::newRow("param show too large") << QStringList{"param", "show", "big.txt"} << 2
                                          << "big.txt: not a parameter file: 200 bytes";
    QTest::newRow("param set unknown field") << QStringList{"param", "set", "p.txt", "colour=1"} << 1
                                             << "'colour=1' is not FIELD=VALUE";
    QTest::newRow("param set one bad value of two") << QStringList{"param", "set", "p.txt", "ntc=2", "outputMax1=70000"}
                                                    << 1 << "outputMax1 needs a number from 0 to 65535";
    QTest::newRow("param set text too long")
        << QStringList{"param", "set", "p.txt", "deviceName=ABCDEFGHIJKLMNOPQ"} << 1
        << "deviceName holds at most 16 Latin-1 characters";
    QTest::newRow("param new over an existing file") << QStringList{"param", "new", "p.txt"} << 3
                                                     << "p.txt: already exists";
    QTest::newRow("id not hexadecimal") << QStringList{"id", "0x12G4"} << 1 << "'0x12G4' is not a 32-bit";
    QTest::newRow("id too long") << QStringList{"id", "123456789"} << 1 << "'123456789' is not a 32-bit";
    QTest::newRow("unknown command") << QStringList{"flash"} << 1 << "unknown command 'flash'";

    // The device commands look at their input before the cable: what it is, bounded as "upg inspect" bounds it.
    QTest::newRow("upgrade 2 GiB file") << QStringList{"upgrade", "huge.upg"} << 2
                                        << "huge.upg: 2147483648 bytes, more than the";
#ifdef Q_OS_UNIX // FIFOs and device nodes
    QTest::newRow("upgrade FIFO") << QStringList{"upgrade", "fifo"} << 2 << "fifo: not a regular file (a FIFO)";
    QTest::newRow("upgrade device") << QStringList{"upgrade", "/dev/null"} << 2
                                    << "/dev/null: not a regular file (a device)";
    QTest::newRow("stream FIFO") << QStringList{"stream", "--name", "Zr501", "fifo"} << 2
                                 << "fifo: not a regular file (a FIFO)";
#endif
    QTest::newRow("upgrade directory") << QStringList{"upgrade", "adir"} << 2
                                       << "adir: not a regular file (a directory)";
    QTest::newRow("upgrade missing file") << QStringList{"upgrade", "nope.upg"} << 2 << "nope.upg: no such file";
    QTest::newRow("write-flash more than a block") << QStringList{"write-flash", "--address", "0x08004000", "boot.bin"}
                                                   << 2 << "boot.bin: 7000 bytes, more than the 1024 bytes";
    QTest::newRow("write-flash empty file") << QStringList{"write-flash", "--address", "0x08004000", "empty.hex"}
                                            << 2 << "empty.hex: empty";
    QTest::newRow("unknown cable backend") << QStringList{"connect", "--cable-backend", "bogus"} << 1
                                           << "unknown cable backend 'bogus' (";
    QTest::newRow("read-flash without -o") << QStringList{"read-flash", "--length", "16"} << 1
                                           << "missing option -o/--output";
}

void TestZrtool::errors()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    for (const QString &argument : arguments)
        QVERIFY(makeSpecialInput(argument));
    if (arguments.contains("blocked.upg"))
        QVERIFY(QDir().mkdir("blocked_app.bin"));
    const auto before = snapshot(m_dir->path());
    const Result r = zrtool(arguments);
    VERIFY_SMALL_CHILDREN();
    QCOMPARE(r.code, exitCode);
    // Paths in messages are written the system's way ("no\\o.bin" on Windows).
    QVERIFY2(r.err.contains(message) || r.err.contains(QDir::toNativeSeparators(message)), qPrintable(r.err));
    QVERIFY2(r.err.endsWith('\n') && r.err.count('\n') == 1, qPrintable(r.err)); // one line
    QCOMPARE(r.out, QString());
    QCOMPARE(snapshot(m_dir->path()), before); // nothing written, nothing half-written
}

// An input the user may not read is refused before the cable with the reason, by every command that reads one
// (as root, zrtool runs as nobody: root reads any file).
void TestZrtool::unreadableInputSaysWhy_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("upgrade") << QStringList{"upgrade", "locked.upg"};
    QTest::newRow("stream") << QStringList{"stream", "--name", "Zr501", "locked.upg"};
    QTest::newRow("write-flash") << QStringList{"write-flash", "--address", "0x08004000", "locked.upg"};
    QTest::newRow("upg inspect") << QStringList{"upg", "inspect", "locked.upg"};
}

void TestZrtool::unreadableInputSaysWhy()
{
    QFETCH(QStringList, arguments);
#ifndef Q_OS_UNIX
    QSKIP("a file is locked from its reader here with POSIX permission bits");
#else
    QStringList command = QStringList{QStringLiteral(ZRTOOL_PATH)} + arguments;
    if (::geteuid() == 0) {
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty())
            QSKIP("root reads every file, and there is no setpriv to run as another user");
        command = QStringList{setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"} + command;
    }
    QVERIFY(::chmod(QFile::encodeName(m_dir->path()).constData(), 0777) == 0);
    QVERIFY(writeFile("locked.upg", "x") && QFile::setPermissions("locked.upg", QFileDevice::Permissions()));
    QProcess p;
    p.start(command.takeFirst(), command);
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 2);
    QCOMPARE(QString::fromLocal8Bit(p.readAllStandardError()),
             QStringLiteral("zrtool: locked.upg: cannot open (Permission denied)\n"));
#endif
}

void TestZrtool::hex2bin()
{
    const Result r = zrtool({"hex2bin", "boot.hex", "--first", "0x08000080", "--last", "134218239", "-o", "o.bin"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.err, QString());
    // 0x08000080..0x080001FF: the second half of the bootloader bytes, then 0x00 fill.
    QCOMPARE(readAll("o.bin"), m_bootBytes.mid(0x80) + QByteArray(0x100, '\0'));
}

void TestZrtool::upgCreateMatchesWindow_data()
{
    QTest::addColumn<QByteArray>("slotId");
    QTest::addColumn<QString>("modelArgument");
    QTest::addColumn<QString>("family");

    QTest::newRow("Zr501") << QByteArray("Zr501") << "Zr501" << "STM32F100C8";
    QTest::newRow("Zr581_L0 by model code") << QByteArray("Zr581_L0") << "Zr581" << "STM32F100C8";
    QTest::newRow("Zr581_L0 by slot name") << QByteArray("Zr581_L0") << "Zr581_L0" << "STM32F100C8";
    QTest::newRow("Zr440") << QByteArray("Zr440") << "Zr440" << "STM32F070F6";
    QTest::newRow("Zr628") << QByteArray("Zr628") << "Zr628" << "STM32G474CB";
    QTest::newRow("Zr627") << QByteArray("Zr627") << "Zr627" << "STM32F103RC";
    QTest::newRow("Zr489") << QByteArray("Zr489") << "Zr489" << "STM32F405RG";
    QTest::newRow("Zr680, no menu entry") << QByteArray("Zr680") << "Zr680" << "STM32F100C6";
}

void TestZrtool::upgCreateMatchesWindow()
{
    QFETCH(QByteArray, slotId);
    QFETCH(QString, modelArgument);
    QFETCH(QString, family);
    const QString code = QLatin1String(rowOf(slotId)->code);
    QVERIFY(QDir().mkpath("win") && QDir().mkpath("cli"));
    const QString name = code + "_v1.00.upg";

    ScriptedPrompts prompts;
    prompts.openFile(path("app.hex")).saveFile(path("win/" + name));
    {
        Flasher w(&prompts);
        QVERIFY(QMetaObject::invokeMethod(&w, "slotCreateUpg" + slotId));
    }
    QVERIFY(prompts.allAnswered());

    const Result r = zrtool({"upg", "create", "--model", modelArgument, "--crop", "app.hex", "-o", "cli/" + name});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.err, QString());
    const QByteArray upg = readAll("cli/" + name);
    const UpgradeLayout &layout = *upgradeLayout(family);
    QCOMPARE(upg.size(), int(16 + 2 * upgradeFileHeader(code).size() + layout.imageSize));
    QCOMPARE(upg, readAll("win/" + name));
    const QString app = code + "_v1.00_app.bin";
    QCOMPARE(readAll("cli/" + app).size(), int(layout.imageSize - layout.appOffset));
    QCOMPARE(readAll("cli/" + app), readAll("win/" + app));

    // What was written passes its own inspection, against the layout of its family.
    const Result inspect = zrtool({"upg", "inspect", "cli/" + name});
    QCOMPARE(inspect.code, 0);
    QVERIFY2(inspect.out.contains("Layout:      " + family + ","), qPrintable(inspect.out));
    QVERIFY(inspect.out.contains("Result:      OK"));
}

void TestZrtool::upgLayoutOfUnknownModel_data()
{
    QTest::addColumn<QString>("family");
    // STM32F103RC and STM32F405RG images have the same size; the CRC tells which layout sealed it.
    for (const char *family : {"STM32F103RC", "STM32F405RG", "STM32F100C6"})
        QTest::newRow(family) << QString::fromLatin1(family);
}

void TestZrtool::upgLayoutOfUnknownModel()
{
    QFETCH(QString, family);
    const Result created = zrtool({"upg", "create", "--model", "Zr999", "--family", family, "--crop", "app.hex", "-o", "n.upg"});
    QCOMPARE(created.code, 0);
    const Result r = zrtool({"upg", "inspect", "--json", "n.upg"});
    QCOMPARE(r.code, 0);
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(o.value("model").toString(), QStringLiteral("Zr999"));
    QCOMPARE(o.value("layout").toString(), family);
    QCOMPARE(o.value("layoutFrom").toString(), QStringLiteral("image size"));
    QCOMPARE(o.value("applicationFirst").toString(),
             "0x" + QStringLiteral("%1").arg(upgradeLayout(family)->appFirstAddress(), 8, 16, QLatin1Char('0')).toUpper());
}

void TestZrtool::upgInspectBad_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("problem");
    QTest::newRow("one image byte altered") << "alter" << "CRC-16 BAD";
    QTest::newRow("file cut short") << "cut" << "the image holds 32768 bytes, the STM32F100C8 layout needs 65536";
    QTest::newRow("application all zero") << "empty" << "the application region 0x08002000..0x0800FFFD holds no data";
    QTest::newRow("image shorter than its layout") << "short" << "the image holds 61440 bytes";
    QTest::newRow("version 02") << "version" << "the version is '02'";
}

void TestZrtool::upgInspectBad()
{
    QFETCH(QString, damage);
    QFETCH(QString, problem);
    const QString file = path("bad.upg");
    const UpgradeLayout &layout = *upgradeLayout("STM32F100C8");
    const int imageStart = 16 + 2 * upgradeFileHeader("Zr501").size();
    if (damage == "empty") { // what a writer makes of a HEX file without application data
        QByteArray image(int(layout.imageSize), '\0');
        sealImage(image, layout);
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && writeUpgradeFile(&f, "Zr501", "01", image));
    } else if (damage == "short") {
        QVERIFY(!writeGoodUpg("bad.upg", layout.imageSize - 0x1000).isEmpty());
    } else if (damage == "version") {
        QVERIFY(!writeGoodUpg("bad.upg", layout.imageSize, "02").isEmpty());
    } else {
        QByteArray bytes = readAll(path("good.upg"));
        const int applicationByte = imageStart + int(layout.appOffset) + 0x101;
        if (damage == "alter")
            bytes[applicationByte] = char(bytes.at(applicationByte) ^ 0x04);
        else
            bytes.truncate(imageStart + 0x8000);
        QVERIFY(writeFile(file, bytes));
    }

    const Result r = zrtool({"upg", "inspect", "bad.upg"});
    QCOMPARE(r.code, 2);
    QVERIFY2(r.out.contains("Result:      BAD"), qPrintable(r.out));
    QVERIFY2(r.err.startsWith("zrtool: bad.upg: BAD: ") && r.err.contains(problem), qPrintable(r.err));

    const Result json = zrtool({"upg", "inspect", "--json", "bad.upg"});
    QCOMPARE(json.code, 2);
    const QJsonObject o = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QCOMPARE(o.value("result").toString(), QStringLiteral("BAD"));
    QCOMPARE(o.value("layout").toString(), QStringLiteral("STM32F100C8"));
    if (damage == "alter") {
        QCOMPARE(o.value("crc").toString(), QStringLiteral("BAD"));
        QVERIFY(o.value("imageCrc").toString() != o.value("imageCrcComputed").toString());
    }

    // The good file it came from passes.
    const Result goodRun = zrtool({"upg", "inspect", "--json", "good.upg"});
    QCOMPARE(goodRun.code, 0);
    const QJsonObject good = QJsonDocument::fromJson(goodRun.out.toUtf8()).object();
    QCOMPARE(good.value("result").toString(), QStringLiteral("OK"));
    // CRCs and addresses as hexadecimal text, as "upgrade --json" gives them.
    QVERIFY(QRegularExpression("^0x[0-9A-F]{4}$").match(good.value("imageCrc").toString()).hasMatch());
    QCOMPARE(good.value("imageCrc").toString(), good.value("imageCrcComputed").toString());
    QCOMPARE(good.value("applicationFirst").toString(), QStringLiteral("0x08002000"));
    QCOMPARE(good.value("crcAddress").toString(), QStringLiteral("0x0800FFFE"));
}

// The Zr440's layout (from 0x08001800) writes the descriptor at 0x08001FC0: a file must carry the model code there.
void TestZrtool::upgZr440Descriptor()
{
    QVERIFY(writeFile("nodescriptor.hex", hexText({{0x08001800, pattern(0x40, 3)}, {0x08004000, pattern(0x80, 5)}})));
    Result r = zrtool({"upg", "create", "--model", "Zr440", "nodescriptor.hex", "-o", "zr440.upg"});
    QCOMPARE(r.code, 2);
    QCOMPARE(r.err, QString("zrtool: nodescriptor.hex: the device descriptor at 0x08001FC0 names no model (blank), not "
                            "Zr440: the device would be an unknown device after the upgrade (nothing written; --force "
                            "writes it)\n"));
    QVERIFY(!QFile::exists("zr440.upg"));
    // Forced, the file is written, and inspection says what it holds.
    r = zrtool({"upg", "create", "--model", "Zr440", "--force", "nodescriptor.hex", "-o", "zr440.upg"});
    QCOMPARE(r.code, 0);
    r = zrtool({"upg", "inspect", "zr440.upg"});
    QCOMPARE(r.code, 2);
    QVERIFY2(r.out.contains("Descriptor:  no model (blank) (at 0x08001FC0)\n"), qPrintable(r.out));
    QVERIFY2(r.err.contains("the device descriptor at 0x08001FC0 names no model (blank), not Zr440"), qPrintable(r.err));

    // A HEX that names the model there; --family takes the procedure's name as well as the layout's.
    r = zrtool({"upg", "create", "--model", "Zr440", "--family", "STM32F030F4", "--crop", "app.hex", "-o", "ok.upg"});
    QCOMPARE(r.err, QString());
    QCOMPARE(r.code, 0);
    r = zrtool({"upg", "inspect", "--json", "--family", "STM32F070F6", "ok.upg"});
    QCOMPARE(r.code, 0);
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(o.value("descriptorModel").toString(), QString("Zr440"));
    QCOMPARE(o.value("layout").toString(), QString("STM32F070F6"));
    // Layouts that start above the descriptor have no descriptor to check.
    r = zrtool({"upg", "inspect", "--json", "good.upg"});
    QVERIFY(!QJsonDocument::fromJson(r.out.toUtf8()).object().contains("descriptorModel"));
}

void TestZrtool::upgInspectHeaderClaimingGigabytes()
{
    // The header's length field says 0x7FF00000 bytes; the reader stops there instead of allocating them.
    QVERIFY(makeSpecialInput("claims-huge-header.upg"));
    const Result r = zrtool({"upg", "inspect", "--json", "claims-huge-header.upg"});
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains("BAD: the header is not '<model> Upgrade File Header'"), qPrintable(r.err));
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(o.value("header").toString(), QString());
    QCOMPARE(o.value("imageSize").toInt(), 0);
    VERIFY_SMALL_CHILDREN();
}

void TestZrtool::upgCreateInFreshFolder()
{
    const Result r = zrtool({"upg", "create", "--model", "Zr501", "--crop", "app.hex", "-o", "Zr501/new/Zr501_v1.23.upg"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.err, QString());
    QCOMPARE(readUpgradeFile("Zr501/new/Zr501_v1.23.upg").header, QStringLiteral("Zr501 Upgrade File Header"));
    QVERIFY(QFileInfo("Zr501/new/Zr501_v1.23_app.bin").size() > 0);
    QCOMPARE(QDir("Zr501/new").entryList(QDir::Files | QDir::Hidden).size(), 2); // no temporaries left

    // A name without ".upg" gets it, as in the window; the companion takes the whole name.
    const Result typed = zrtool({"upg", "create", "--model", "Zr501", "--crop", "app.hex", "-o", "Zr501/new/Zr501_v1.24"});
    QCOMPARE(typed.code, 0);
    QCOMPARE(readUpgradeFile("Zr501/new/Zr501_v1.24.upg").header, QStringLiteral("Zr501 Upgrade File Header"));
    QVERIFY(QFileInfo("Zr501/new/Zr501_v1.24_app.bin").size() > 0);
    QVERIFY(!QFileInfo::exists("Zr501/new/Zr501_v1.24"));
}

void TestZrtool::outputsThatAreNotFiles_data()
{
    QTest::addColumn<int>("device");  // minor of the memory device node made for the row; 0: a FIFO with a reader
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("null device") << 3 << 0 << QString();
    QTest::newRow("full device") << 7 << 3 << "o.dev: cannot write (No space left on device)";
    QTest::newRow("FIFO with a reader") << 0 << 0 << QString();
}

void TestZrtool::outputsThatAreNotFiles()
{
    // Our own nodes in the test's directory, never the system's /dev/null or /dev/full.
#ifndef Q_OS_UNIX
    QSKIP("POSIX device nodes and FIFOs (Windows devices: test_platform)");
#else
    QFETCH(int, device);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QProcess reader;
    if (device) {
        if (mknod("o.dev", S_IFCHR | 0666, makedev(1, device)) != 0)
            QSKIP("device nodes need root");
    } else {
        QCOMPARE(mkfifo("o.dev", 0600), 0);
        reader.start("cat", {"o.dev"});
        QVERIFY(reader.waitForStarted());
    }
    const Result r = zrtool({"hex2bin", "boot.hex", "--first", "0x08000000", "--last", "0x080000FF", "-o", "o.dev"});
    QCOMPARE(r.code, exitCode);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    struct stat st;
    QCOMPARE(stat("o.dev", &st), 0);
    QVERIFY(device ? S_ISCHR(st.st_mode) : S_ISFIFO(st.st_mode)); // not replaced by a plain file
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).filter(".tmp"), QStringList());
    if (!device) {
        QVERIFY(reader.waitForFinished(10000));
        QCOMPARE(reader.readAllStandardOutput(), m_bootBytes);
    }
#endif
}

void TestZrtool::seriesStopsAtTheFirstUnwritableImage()
{
    const QStringList series = {"boot", "--model", "Zr501", "--bootloader", "boot.hex", "--year", "26", "--week",
                                "14", "--first", "10", "--count", "8", "--out"};
    QCOMPARE(zrtool(series + QStringList{"clean"}).code, 0);
    const QStringList names = QDir("clean").entryList(QDir::Files, QDir::Name);
    QCOMPARE(names.size(), 8);

    // The fifth image's name is taken by a directory: images 1-4 are written whole, nothing after them.
    QVERIFY(QDir().mkpath("blocked/" + names.at(4)));
    // The clean run above issued these IDs already: writing them again is a reissue.
    const Result r = zrtool(series + QStringList{"blocked", "--reissue"});
    QCOMPARE(r.code, 3);
    QCOMPARE(r.err, QString("zrtool: %1: cannot write (Is a directory)\n")
                        .arg(QDir::toNativeSeparators("blocked/" + names.at(4))));
    QCOMPARE(QDir("blocked").entryList(QDir::Files | QDir::Hidden, QDir::Name), names.mid(0, 4));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(readAll("blocked/" + names.at(i)), readAll("clean/" + names.at(i)));
}

void TestZrtool::seriesOnAFullFileSystem_data()
{
    QTest::addColumn<bool>("existing"); // the output directory is there before the series
    QTest::newRow("new directory, built hidden and renamed whole") << false;
    QTest::newRow("existing directory, a temporary per image") << true;
}

// A file system with room for four Zr501 images (8 KiB each) and one page more: the fifth image fills it. A mount
// namespace of the test's own holds the small tmpfs; what the series left is copied out before it goes away.
void TestZrtool::seriesOnAFullFileSystem()
{
    QFETCH(bool, existing);
    if (QProcess::execute(QStringLiteral("unshare"), {QStringLiteral("-rm"), QStringLiteral("true")}) != 0)
        QSKIP("needs unshare -rm (user and mount namespaces) to mount a small file system of its own");
    QStringList series = {"boot", "--model", "Zr501", "--bootloader", path("boot.hex"), "--year", "26", "--week",
                          "14", "--first", "10", "--count", "8", "--no-registry", "--out"};
    QCOMPARE(zrtool(series + QStringList{"clean"}).code, 0);
    const QStringList names = QDir("clean").entryList(QDir::Files, QDir::Name);
    QCOMPARE(names.size(), 8);
    QCOMPARE(readAll("clean/" + names.at(0)).size(), 0x2000);

    QVERIFY(QDir().mkpath("mnt") && QDir().mkpath("left"));
    const QString script = QStringLiteral(
        "mount -t tmpfs -o size=36k zrtest \"$1\" || exit 99\n"
        "%1\n"
        "shift 2; \"$@\"; code=$?\n"
        "cp -a \"$0\"/. left/ || exit 98\n"
        "exit $code\n").arg(existing ? QStringLiteral("mkdir \"$1/out\" || exit 97") : QString());
    QProcess p;
    p.start(QStringLiteral("unshare"), QStringList{"-rm", "sh", "-c", script, path("mnt"), path("mnt"), "x",
                                                   QStringLiteral(ZRTOOL_PATH)}
                                           + series + QStringList{path("mnt/out")});
    QVERIFY(p.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    QCOMPARE(p.exitCode(), 3);
    QCOMPARE(err, QString("zrtool: %1: cannot write (No space left on device)\n").arg(path("mnt/out/" + names.at(4))));
    // Images 1-4 whole under their names; no temporary, no hidden directory, nothing of image 5.
    QCOMPARE(QDir("left").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"out"});
    QCOMPARE(QDir("left/out").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
             names.mid(0, 4));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(readAll("left/out/" + names.at(i)), readAll("clean/" + names.at(i)));
}

// A zrtool copied away from its full program still converts, and a device command says what is missing.
void TestZrtool::fullProgramMissing()
{
#ifndef Q_OS_LINUX
    QSKIP("one program runs every command here");
#endif
    QVERIFY(QDir().mkpath("alone"));
    QVERIFY(QFile::copy(QStringLiteral(ZRTOOL_PATH), "alone/zrtool"));
    QProcess p;
    p.start(path("alone/zrtool"), {"connect", "--simulate"});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 127);
    QCOMPARE(QString::fromLocal8Bit(p.readAllStandardError()),
             QString("zrtool: this command runs in %1/../libexec/zrflasher/zrtool, which cannot be started: No such "
                     "file or directory\n").arg(QFileInfo(path("alone")).canonicalFilePath()));
    p.start(path("alone/zrtool"), {"hex2bin", "boot.hex", "--first", "0x08000000", "--last", "0x080000FF", "-o",
                                   "boot.bin"});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 0);
    QCOMPARE(readAll("boot.bin"), m_bootBytes);
}

void TestZrtool::failedFlushLeavesNoFile_data()
{
    QTest::addColumn<QString>("output"); // "series", or a single file's command
    QTest::addColumn<bool>("existing");  // the output is there before
    QTest::newRow("series into a new directory") << "series" << false;
    QTest::newRow("series into an existing directory") << "series" << true;
    QTest::newRow("hex2bin over an earlier output") << "hex2bin" << true;
}

// When the disk reports that it lost the data, no final name gets it: an earlier file stays as it was, and the
// failure is reported as one.
void TestZrtool::failedFlushLeavesNoFile()
{
#ifndef FAILING_FLUSH_PATH
    QSKIP("a failing flush is preloaded through the dynamic linker of Linux");
#else
    QFETCH(QString, output);
    QFETCH(bool, existing);
    QStringList arguments = output == "series"
        ? QStringList{"boot", "--model", "Zr501", "--bootloader", "boot.hex", "--year", "26", "--week", "14",
                      "--first", "10", "--count", "3", "--no-registry", "--out", "out"}
        : QStringList{"hex2bin", "boot.hex", "--first", "0x08000000", "--last", "0x080000FF", "-o", "out/boot.bin"};
    if (existing) {
        QVERIFY(QDir().mkpath("out"));
        QVERIFY(writeFile("out/boot.bin", "earlier"));
    }
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LD_PRELOAD", FAILING_FLUSH_PATH);
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(ZRTOOL_PATH), arguments);
    QVERIFY(p.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    QCOMPARE(p.exitCode(), 3);
    QVERIFY2(err.contains("cannot flush it to the disk (Input/output error)"), qPrintable(err));
    QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).filter("out"),
             existing || output != "series" ? QStringList{"out"} : QStringList());
    QCOMPARE(QDir("out").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             existing ? QStringList{"boot.bin"} : QStringList());
    if (existing)
        QCOMPARE(readAll("out/boot.bin"), QByteArray("earlier"));
#endif
}

void TestZrtool::upgExtract()
{
    const Result r = zrtool({"upg", "extract", "good.upg", "-o", "a.bin"});
    QCOMPARE(r.code, 0);
    const UpgradeLayout &layout = *upgradeLayout("STM32F100C8");
    const QByteArray plain = decodedImage(readUpgradeFile("good.upg").image, layout.imageSize);
    QCOMPARE(readAll("a.bin"), plain.mid(int(layout.appOffset)));

    // A damaged image is extracted only on request.
    QByteArray bytes = readAll("good.upg");
    bytes[bytes.size() - 100] = char(bytes.at(bytes.size() - 100) + 1);
    QVERIFY(writeFile("bad.upg", bytes));
    const Result refused = zrtool({"upg", "extract", "bad.upg", "-o", "b.bin"});
    QCOMPARE(refused.code, 2);
    QVERIFY(refused.err.contains("CRC-16 BAD"));
    QVERIFY(!QFile::exists("b.bin"));
    QCOMPARE(zrtool({"upg", "extract", "--ignore-crc", "bad.upg", "-o", "b.bin"}).code, 0);
    QCOMPARE(readAll("b.bin").size(), int(layout.imageSize - layout.appOffset));
}

void TestZrtool::bootMatchesWindow_data()
{
    QTest::addColumn<QByteArray>("slotId");
    QTest::addColumn<QString>("bootloader");
    QTest::addColumn<QString>("application"); // empty: none
    QTest::addColumn<QString>("parameters");  // empty: none
    QTest::addColumn<bool>("oldScheme");
    QTest::addColumn<int>("year");
    QTest::addColumn<int>("period");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");
    QTest::addColumn<quint32>("wordOffset");
    QTest::addColumn<quint32>("firstWord"); // the production word of the first image

    // RDM 88, year 26 - 11 = 15, week 14, serial 42
    QTest::newRow("Zr525 parameters and application") << QByteArray("Zr525") << "boot.hex" << "Zr525_v1.23_app.bin"
                                                      << "p.txt" << false << 26 << 14 << 42 << 3 << 0x1FF0u
                                                      << 0x5879C02Au;
    QTest::newRow("Zr501 old scheme") << QByteArray("Zr501") << "boot.hex" << "" << "" << true << 13 << 5 << 42 << 2
                                      << 0x1FF0u << 0x0313502Au;
    QTest::newRow("Zr489 STM32F4xx family") << QByteArray("Zr489") << "boot.bin" << "Zr489_v2.01_app.bin" << ""
                                            << false << 26 << 14 << 8189 << 2 << 0x1FFB0u << 0x3479DFFDu;
    QTest::newRow("Zr440 STM32F070F6 family") << QByteArray("Zr440") << "boot.bin" << "Zr525_v1.23_app.bin" << ""
                                              << false << 26 << 1 << 0 << 1 << 0x17F0u << 0x00782000u;
    QTest::newRow("Zr403 128 KiB") << QByteArray("Zr403") << "boot.hex" << "" << "" << false << 26 << 14 << 7 << 1
                                   << 0x1FFC0u << 0x0079C007u;
    QTest::newRow("Zr628 STM32G4") << QByteArray("Zr628") << "boot.hex" << "Zr525_v1.23_app.bin" << "" << false << 39
                                   << 54 << 0 << 2 << 0x3FF0u << 0x28E6C000u;
}

void TestZrtool::bootMatchesWindow()
{
    QFETCH(QByteArray, slotId);
    QFETCH(QString, bootloader);
    QFETCH(QString, application);
    QFETCH(QString, parameters);
    QFETCH(bool, oldScheme);
    QFETCH(int, year);
    QFETCH(int, period);
    QFETCH(int, first);
    QFETCH(int, count);
    QFETCH(quint32, wordOffset);
    QFETCH(quint32, firstWord);
    const CatalogueRow &row = *rowOf(slotId);
    const QString code = QLatin1String(row.code);
    const BootVariant &variant = *bootVariant(builderSlotName(row.builder));
    const auto input = [this](const QString &name) { return name.isEmpty() ? QString() : path(name); };
    QVERIFY(QDir().mkpath("win") && QDir().mkpath("cli"));

    // The window, run in its own directory: the images go to ./<model>.
    ScriptedPrompts prompts;
    prompts.openFile(path(bootloader));
    if (variant.application != ApplicationPlacement::None)
        prompts.openFile(input(application));
    if (variant.modelData && isParameterModel(code))
        prompts.openFile(input(parameters));
    prompts.item(twoDigits(year)).item(twoDigits(period)).integer(first).integer(count);
    QVERIFY(QDir::setCurrent(path("win")));
    {
        Flasher w(&prompts);
        w.findChild<QCheckBox *>("OldSerialSystem")->setChecked(oldScheme);
        QVERIFY(QMetaObject::invokeMethod(&w, "slotCreateBootBin" + slotId));
    }
    QVERIFY(QDir::setCurrent(m_dir->path()));
    QVERIFY(prompts.allAnswered());

    QStringList arguments = {"boot", "--model", code, "--bootloader", path(bootloader), "--year", twoDigits(year),
                             oldScheme ? "--month" : "--week", QString::number(period), "--first",
                             QString::number(first), "--count", QString::number(count)};
    arguments << "--reissue"; // the window above issued these IDs already
    if (oldScheme)
        arguments << "--old-scheme";
    if (!application.isEmpty())
        arguments << "--app" << path(application);
    if (!parameters.isEmpty())
        arguments << "--params" << path(parameters);
    const Result r = zrtool(arguments, path("cli"));
    QCOMPARE(r.code, 0);
    QCOMPARE(r.err, QString()); // no progress bar without a terminal

    const QStringList names = QDir(path("win/" + code)).entryList(QDir::Files, QDir::Name);
    QCOMPARE(names.size(), count);
    QCOMPARE(QDir(path("cli/" + code)).entryList(QDir::Files, QDir::Name), names);
    for (const QString &name : names)
        QVERIFY2(readAll(path("win/" + code + "/" + name)) == readAll(path("cli/" + code + "/" + name)),
                 qPrintable(name));
    QCOMPARE(readU32(readAll(path("cli/" + code + "/" + names.first())), int(wordOffset)), firstWord);
}

void TestZrtool::progressOnTerminal_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("last"); // the bar's last drawing
    QTest::newRow("boot series") << "boot --model Zr501 --bootloader boot.hex --year 26 --week 14 --first 0 --count 20 "
                                    "--out t"
                                 << "\rzrtool boot Zr501 [########################################] 20/20 100%";
    // An upgrade reports the start of each block; its bar still ends full.
    QTest::newRow("upgrade") << "upgrade --simulate --sim-virtual-clock --no-registry good.upg"
                             << "[########################################] 57344/57344 100%";
}

void TestZrtool::progressOnTerminal()
{
    QFETCH(QString, command);
    QFETCH(QString, last);
    // `script` runs the command on a pseudo-terminal.
    const QString script = QStandardPaths::findExecutable("script");
    if (script.isEmpty())
        QSKIP("no 'script' program to provide a terminal");
    QProcess p;
    p.start(script, {"-qec", QStringLiteral("'%1' %2").arg(QStringLiteral(ZRTOOL_PATH), command), "/dev/null"});
    QVERIFY(p.waitForFinished(60000));
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    QCOMPARE(p.exitCode(), 0);
    QVERIFY2(out.contains(last), qPrintable(out));
    if (command.startsWith("boot"))
        QCOMPARE(QDir("t").entryList(QDir::Files).size(), 20);
}

void TestZrtool::param()
{
    Result r = zrtool({"param", "new", "q.txt", "deviceName=Zr586", "ntc=2", "outputType=0x1"});
    QCOMPARE(r.code, 0);
    const QByteArray created = readAll("q.txt");
    QCOMPARE(created.size(), 128);
    QCOMPARE(created.left(6), QByteArray("Zr586\0", 6));
    QCOMPARE(readU16(created, 52), quint16(2));
    QCOMPARE(readU16(created, 54), quint16(1));
    QCOMPARE(created.mid(16, 36), ParamRecord().bytes().mid(16, 36)); // the rest is the wizard's default record

    r = zrtool({"param", "set", "q.txt", "outputMax1=4000", "description=Hall 2"});
    QCOMPARE(r.code, 0);
    QByteArray expected = created;
    putU16(expected, 38, 4000);
    expected.replace(16, 16, QByteArray("Hall 2").leftJustified(16, '\0'));
    QCOMPARE(readAll("q.txt"), expected);

    r = zrtool({"param", "show", "--json", "q.txt"});
    QCOMPARE(r.code, 0);
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(o.value("deviceName").toString(), QStringLiteral("Zr586"));
    QCOMPARE(o.value("description").toString(), QStringLiteral("Hall 2"));
    QCOMPARE(o.value("outputMax1").toInt(), 4000);
    QCOMPARE(o.value("ntc").toInt(), 2);

    // A short file is read as the wizard reads it: over the default record.
    QVERIFY(writeFile("short.txt", QByteArray("ABC").leftJustified(34, '\0')));
    r = zrtool({"param", "show", "short.txt"});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains(QRegularExpression("^deviceName +ABC$", QRegularExpression::MultilineOption))
                 && r.out.contains(QRegularExpression("^paramId +0$", QRegularExpression::MultilineOption))
                 && r.out.contains(QRegularExpression("^outputColor1 +4500$", QRegularExpression::MultilineOption)),
             qPrintable(r.out));
}

void TestZrtool::id_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("text");
    QTest::newRow("old layout") << "0x2A123456" << "2a 12031110";
    QTest::newRow("without 0x, as the window logs it") << "5a46001" << "5 31350001";
    QTest::newRow("first of the week layout") << "0x00180000" << "0 14000000";
}

void TestZrtool::id()
{
    QFETCH(QString, id);
    QFETCH(QString, text);
    const Result r = zrtool({"id", id});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, text + '\n');
}

// --- diagnostic traces ---

void TestZrtool::traces_data()
{
    QTest::addColumn<QStringList>("before"); // arguments before the command words
    QTest::addColumn<QStringList>("after");  // arguments after the command's own
    QTest::addColumn<QString>("rules");      // QT_LOGGING_RULES of the run (null: not set)
    QTest::addColumn<bool>("traced");
    QTest::newRow("quiet by default") << QStringList() << QStringList() << QString() << false;
    QTest::newRow("QT_LOGGING_RULES for every debug message") << QStringList() << QStringList() << "*.debug=true"
                                                               << true;
    QTest::newRow("--verbose before the command") << QStringList{"--verbose"} << QStringList() << QString() << true;
    QTest::newRow("--verbose after the command") << QStringList() << QStringList{"--verbose"} << QString() << true;
    QTest::newRow("QT_LOGGING_RULES turns one on") << QStringList() << QStringList() << "zr.codec.debug=true"
                                                    << true;
    QTest::newRow("QT_LOGGING_RULES wins over --verbose") << QStringList{"--verbose"} << QStringList()
                                                           << "zr.codec.debug=false" << false;
}

void TestZrtool::traces()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(QString, rules);
    QFETCH(bool, traced);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    env.remove(QStringLiteral("QT_LOGGING_CONF"));
    if (!rules.isNull())
        env.insert(QStringLiteral("QT_LOGGING_RULES"), rules);
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(ZRTOOL_PATH),
            before + QStringList{"upg", "create", "--model", "Zr501", "--crop", "app.hex", "-o", "x.upg"} + after);
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 0);
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    // Encoding the image is the trace this command always passes through.
    if (traced) {
        QVERIFY2(err.contains("Encoding started @ 0x"), qPrintable(err));
        QVERIFY(err.contains("Encoding end @"));
    } else {
        QCOMPARE(err, QString());
    }
}

QTEST_MAIN(TestZrtool)
#include "test_zrtool.moc"
