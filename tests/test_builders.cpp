// The offline builders on a real window: upgrade-file writers, boot images and their variants, parameters
// into firmware; and the pure pieces they rest on (production word, serial string, name suffixes).
#include <QtTest>
#ifdef Q_OS_UNIX
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <QCheckBox>
#include <QPlainTextEdit>

#include "core/files.h"
#include "app/flasher.h"
#include "builders/bootimage.h"
#include "builders/upgradefile.h"
#include "builders/upgradewriter.h"
#include "link/codec.h"
#include "tests/support/hexfile.h"
#include "tests/support/scriptedprompts.h"

using Kind = ScriptedPrompts::Kind;

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList logLines(Flasher &w)
{
    return w.findChild<QPlainTextEdit *>("plainTextEdit")->toPlainText().split('\n', Qt::SkipEmptyParts);
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Caption, start directory (or proposed name) and filter of a file dialog.
QStringList fileDialog(const ScriptedPrompts::Shown &shown)
{
    return {shown.title, shown.dir, shown.filter};
}

// A bootloader HEX: "BOOTLOADER" at the flash base, the descriptor end of the 8 KiB area filled with 0xAB,
// fills near the ends of the 16 KiB and 128 KiB areas, and bytes beyond all boot windows.
QByteArray bootloaderHex()
{
    return hexText({{0x08000000, "BOOTLOADER"},
                    {0x08001F40, QByteArray(0xC0, '\xAB')},
                    {0x08003F00, QByteArray(0x100, '\xCD')},
                    {0x0801FF00, QByteArray(0x100, '\xEF')},
                    {0x08020000, "OUTSIDE"}});
}

char *c(QByteArray &bytes)
{
    return bytes.data();
}

// A Zr628 (STM32G4 boot image) series from boot.hex, serial numbers from 8190, week 14 of 2026.
BootInputs g4Inputs()
{
    BootInputs in;
    in.model = "Zr628";
    in.rdmId = 40;
    in.bootloaderPath = "boot.hex";
    return in;
}
ProductionRun g4Run(int count, const QString &outputDirectory)
{
    ProductionRun run;
    run.year = 26;
    run.period = 14;
    run.firstSerial = 8190;
    run.count = count;
    run.outputDirectory = outputDirectory;
    return run;
}

} // namespace

class TestBuilders : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // pure pieces
    void productionWord_data();
    void productionWord();
    void suffixes_data();
    void suffixes();
    void dialogChoices();

    // upgrade files
    void upgradeFileForF100C8();
    void typedNameGetsUpg_data();
    void typedNameGetsUpg();
    void writers_data();
    void writers();
    void upgradeHexError();
    void upgradeCancelled();
    void upgradeUnwritable();

    // boot images
    void mainBuilderSeries();
    void oldSchemeCheckBoxReadOnce();
    void modelData_data();
    void modelData();
    void bootHexErrorWritesNothing();
    void unwritableImageReported();
    void variants_data();
    void variants();
    void familyUnreadableInput_data();
    void familyUnreadableInput();
    void addParams_data();
    void addParams();

    // whole runs without dialogs, as a command line calls them
    void runsWithoutDialogs();
    void staleTemporariesRemovedAndSaid();

    // a series into a new directory: built hidden, renamed whole
    void seriesDirectory_data();
    void seriesDirectory();

private:
    QTemporaryDir *m_dir = nullptr;
    QTemporaryDir *m_registryDir = nullptr;
    QString m_oldCwd;
};

void TestBuilders::init()
{
    m_oldCwd = QDir::currentPath();
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    // Each case issues its serial numbers into a production registry of its own, away from the output files.
    m_registryDir = new QTemporaryDir;
    qputenv("ZR_REGISTRY", m_registryDir->filePath(QStringLiteral("registry.sqlite")).toUtf8());
    qputenv("ZR_REGISTRY_SPOOL", m_registryDir->filePath(QStringLiteral("spool.jsonl")).toUtf8());
    QVERIFY(QDir::setCurrent(m_dir->path()));
    QVERIFY(writeFile("boot.hex", bootloaderHex()));
}

void TestBuilders::cleanup()
{
    QDir::setCurrent(m_oldCwd);
    delete m_dir;
    m_dir = nullptr;
    delete m_registryDir;
    m_registryDir = nullptr;
}

// --- pure pieces ---

void TestBuilders::productionWord_data()
{
    QTest::addColumn<bool>("old");
    QTest::addColumn<int>("rdm");
    QTest::addColumn<int>("year");
    QTest::addColumn<int>("period");
    QTest::addColumn<int>("serial");
    QTest::addColumn<quint32>("word");
    QTest::addColumn<QString>("serialText");
    QTest::newRow("old, worked example") << true << 3 << 13 << 5 << 42 << 0x0313502Au << "13050042";
    QTest::newRow("new, worked example") << false << 3 << 26 << 14 << 42 << 0x0379C02Au << "26140042";
    QTest::newRow("old, year 00") << true << 0 << 0 << 1 << 0 << 0x00001000u << "00010000";
    QTest::newRow("old, year 14, all ones") << true << 255 << 14 << 12 << 4095 << 0xFF14CFFFu << "14124095";
    QTest::newRow("new, year 11 is 0") << false << 0 << 11 << 1 << 7 << 0x00002007u << "11010007";
    QTest::newRow("new, year 39 is 28") << false << 1 << 39 << 54 << 8191 << 0x01E6DFFFu << "39548191";
    // Years 11..13 stay below 0x180000 in the low 24 bits, where the ID text reads the old layout.
    QTest::newRow("new, year 13, highest") << false << 0 << 13 << 54 << 8191 << 0x0016DFFFu << "13548191";
}

void TestBuilders::productionWord()
{
    QFETCH(bool, old);
    QFETCH(int, rdm);
    QFETCH(int, year);
    QFETCH(int, period);
    QFETCH(int, serial);
    QFETCH(quint32, word);
    QFETCH(QString, serialText);
    QCOMPARE(::productionWord(old ? SerialScheme::Old : SerialScheme::New, quint8(rdm), year, period, serial), word);
    QCOMPARE(serialString(year, period, serial), serialText);
}

void TestBuilders::suffixes_data()
{
    QTest::addColumn<QString>("application");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("parameters");
    QTest::addColumn<QString>("parameter");
    QTest::newRow("usual names") << "/w/Zr501/Zr501_v1.23_app.bin" << "_v1.23" << "/w/p/lamp.txt" << "_lamp";
    QTest::newRow("no _app: whole tail") << "Zr501_v2.bin" << "_v2.bin" << "a.txt.txt" << "_a.txt";
    QTest::newRow("no _v") << "/w/Zr501/Zr501.bin" << "" << "/w/p/lamp.bin" << "_lamp.bin";
    QTest::newRow("_v only in a directory") << "/w/dev_v9/app.bin" << "" << "/w/x.txt/lamp" << "_lamp";
    QTest::newRow("_v in both") << "/w/x_v1/Zr501_v1.5_app.bin" << "_v1.5" << "C:\\p\\lamp.txt" << "_lamp";
    QTest::newRow("none chosen") << "" << "" << "" << "";
}

void TestBuilders::suffixes()
{
    QFETCH(QString, application);
    QFETCH(QString, version);
    QFETCH(QString, parameters);
    QFETCH(QString, parameter);
    QCOMPARE(versionSuffix(application), version);
    QCOMPARE(parameterSuffix(parameters), parameter);
}

void TestBuilders::dialogChoices()
{
    QStringList newYears, weeks, months;
    for (int y = 11; y <= 39; ++y)
        newYears << QString::number(y);
    for (int i = 1; i <= 54; ++i)
        weeks << QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0'));
    months = weeks.mid(0, 12);
    QCOMPARE(yearItems(SerialScheme::New), newYears);
    QCOMPARE(yearItems(SerialScheme::Old), (QStringList{"00", "01", "02", "03", "04", "05", "06", "07", "08", "09",
                                                        "10", "11", "12", "13", "14"}));
    QCOMPARE(periodItems(SerialScheme::New), weeks);
    QCOMPARE(periodItems(SerialScheme::Old), months);

    const QDate day(2026, 4, 1); // ISO week 14
    QCOMPARE(yearItems(SerialScheme::New).at(yearPreselection(SerialScheme::New, day)), QStringLiteral("26"));
    QCOMPARE(yearItems(SerialScheme::Old).at(yearPreselection(SerialScheme::Old, day)), QStringLiteral("13"));
    QCOMPARE(periodItems(SerialScheme::New).at(periodPreselection(SerialScheme::New, day)), QStringLiteral("14"));
    QCOMPARE(periodItems(SerialScheme::Old).at(periodPreselection(SerialScheme::Old, day)), QStringLiteral("04"));
    QCOMPARE(maxSerial(SerialScheme::New), 8191);
    QCOMPARE(maxSerial(SerialScheme::Old), 4095);
}

// --- upgrade files ---

void TestBuilders::upgradeFileForF100C8()
{
    // Bytes in the bootloader area (outside the window), at the application start and in the last two bytes.
    QVERIFY(writeFile("app.hex", hexText({{0x08000000, "BOOT"}, {0x08002000, "APPLICATION"},
                                          {0x0800FFFE, "\xAA\xBB"}})));
    QVERIFY(QDir().mkdir("Zr501"));
    ScriptedPrompts p;
    Flasher w(&p);
    p.openFile("app.hex").saveFile("Zr501/Zr501_v1.23.upg");
    QByteArray model("Zr501"), version("01");
    w.slotCreateUpgSTM32F100C8_family(c(model), c(version));
    QVERIFY(p.allAnswered());

    QCOMPARE(p.shown.size(), 2);
    QCOMPARE(fileDialog(p.shown[0]), (QStringList{"Open File", native("./Zr501/out"), "Hex (*.hex)"}));
    QCOMPARE(fileDialog(p.shown[1]), (QStringList{"Save File", native("./Zr501/Zr501_vx.xx"), "Upg (*.upg)"}));

    const QByteArray raw = readAll("Zr501/Zr501_v1.23.upg");
    QCOMPARE(raw.size(), 65602);
    QCOMPARE(raw.left(4).toHex(), QByteArray("00000032"));        // header: 25 UTF-16 characters
    QCOMPARE(raw.mid(4, 10), QByteArray("\0Z\0r\0005\0000\0001", 10)); // UTF-16BE
    QCOMPARE(raw.mid(54, 12).toHex(), QByteArray("000000040030003100010000")); // "01", image length

    const UpgradeFile file = readUpgradeFile("Zr501/Zr501_v1.23.upg");
    QCOMPARE(file.header, QStringLiteral("Zr501 Upgrade File Header"));
    const QByteArray plain = decodedImage(file.image, 0x10000);
    QCOMPARE(plain.size(), 0x10000);
    QCOMPARE(plain.left(0x2000), QByteArray(0x2000, '\0'));
    QCOMPARE(plain.mid(0x2000, 11), QByteArray("APPLICATION"));
    const quint16 crc = Crc16(plain.constData() + 0x2000, 0xDFFE);
    QCOMPARE(readU16(plain, 0xFFFE), crc);
    QVERIFY(plain.mid(0xFFFE, 2) != QByteArray("\xAA\xBB"));

    const QByteArray companion = readAll("Zr501/Zr501_v1.23_app.bin");
    QCOMPARE(companion.size(), 57344);
    QCOMPARE(companion, plain.mid(0x2000));
}

// A name typed without ".upg" (the proposed one ends in a version "vx.xx") is written with it, and the companion
// takes the whole typed name.
void TestBuilders::typedNameGetsUpg_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("upg");
    QTest::addColumn<QString>("app");
    QTest::newRow("version typed") << "Zr501_v1.24" << "Zr501_v1.24.upg" << "Zr501_v1.24_app.bin";
    QTest::newRow("proposed name kept") << "Zr501_vx.xx" << "Zr501_vx.xx.upg" << "Zr501_vx.xx_app.bin";
    QTest::newRow("with .upg") << "Zr501_v1.24.upg" << "Zr501_v1.24.upg" << "Zr501_v1.24_app.bin";
}

void TestBuilders::typedNameGetsUpg()
{
    QFETCH(QString, typed);
    QFETCH(QString, upg);
    QFETCH(QString, app);
    QVERIFY(writeFile("app.hex", hexText({{0x08002000, "APPLICATION"}})));
    QTemporaryDir dir(QDir::currentPath() + "/typed-XXXXXX");
    ScriptedPrompts p;
    Flasher w(&p);
    p.openFile("app.hex").saveFile(dir.filePath(typed));
    QByteArray model("Zr501"), version("01");
    w.slotCreateUpgSTM32F100C8_family(c(model), c(version));
    QVERIFY(p.allAnswered());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name), QStringList({upg, app}));
    QCOMPARE(readUpgradeFile(dir.filePath(upg)).header, QStringLiteral("Zr501 Upgrade File Header"));
    QCOMPARE(readAll(dir.filePath(app)).size(), 0xE000);
}

void TestBuilders::writers_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QString>("hexDir");
    QTest::newRow("F070F6") << QByteArray("slotCreateUpgSTM32F070F6_family") << QByteArray("Zr440") << 0x7800 << 0x1800
                            << "./Zr440/out";
    QTest::newRow("F100C6") << QByteArray("slotCreateUpgSTM32F100C6_family") << QByteArray("Zr680_RGB") << 0x8000
                            << 0x2000 << "./Zr436/out";
    QTest::newRow("F100C8") << QByteArray("slotCreateUpgSTM32F100C8_family") << QByteArray("Zr601_L0") << 0x10000
                            << 0x2000 << "./Zr601_L0/out";
    QTest::newRow("G474CB") << QByteArray("slotCreateUpgSTM32G474CB_family") << QByteArray("Zr628") << 0x12000 << 0x4000
                            << "./Zr628/out";
    QTest::newRow("F103RC") << QByteArray("slotCreateUpgSTM32F103RC_family") << QByteArray("Zr627") << 0x40000 << 0x2000
                            << "./Zr627/out";
    QTest::newRow("F405RG") << QByteArray("slotCreateUpgSTM32F405RG_family") << QByteArray("Zr489") << 0x40000
                            << 0x20000 << "./Zr489/out";
}

void TestBuilders::writers()
{
    QFETCH(QByteArray, slot);
    QFETCH(QByteArray, model);
    QFETCH(int, size);
    QFETCH(int, offset);
    QFETCH(QString, hexDir);
    // One byte just below the window, the application's first bytes at its start.
    QVERIFY(writeFile("app.hex", hexText({{0x08000000u + quint32(offset) - 1, "XFIRST"}})));
    ScriptedPrompts p;
    Flasher w(&p);
    p.openFile("app.hex").saveFile("out.upg");
    QByteArray version("01");
    QVERIFY(QMetaObject::invokeMethod(&w, slot.constData(), Q_ARG(char *, c(model)), Q_ARG(char *, c(version))));
    QVERIFY(p.allAnswered());
    QCOMPARE(p.shown[0].dir, native(hexDir));
    QCOMPARE(p.shown[1].dir, native("./" + model + "/" + model + "_vx.xx"));

    const UpgradeFile file = readUpgradeFile("out.upg");
    QCOMPARE(file.header, QString(model + " Upgrade File Header"));
    QCOMPARE(file.version, QStringLiteral("01"));
    QCOMPARE(file.image.size(), size);
    const QByteArray plain = decodedImage(file.image, quint32(size));
    QCOMPARE(plain.at(offset - 1), '\0');
    QCOMPARE(plain.mid(offset, 5), QByteArray("FIRST"));
    QCOMPARE(readU16(plain, size - 2), Crc16(plain.constData() + offset, size - offset - 2));
    QCOMPARE(readAll("out_app.bin"), plain.mid(offset));
}

void TestBuilders::upgradeHexError()
{
    QVERIFY(writeFile("bad.hex", "this is no record\n"));
    ScriptedPrompts p;
    Flasher w(&p);
    p.openFile("bad.hex").critical(Prompts::Ok).saveFile(QString());
    QByteArray model("Zr501"), version("01");
    w.slotCreateUpgSTM32F100C8_family(c(model), c(version));
    QVERIFY(p.allAnswered());
    const auto boxes = p.shownOf(Kind::Critical);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].title, QStringLiteral("Error"));
    QCOMPARE(boxes[0].text, QStringLiteral("HexToBin error: -2)"));
    QCOMPARE(QDir().entryList({"*.upg", "*.bin"}, QDir::Files), QStringList());
}

void TestBuilders::upgradeCancelled()
{
    ScriptedPrompts p;
    Flasher w(&p);
    p.openFile(QString());
    QByteArray model("Zr501"), version("01");
    w.slotCreateUpgSTM32F100C8_family(c(model), c(version));
    QVERIFY(p.allAnswered());
    QCOMPARE(p.shown.size(), 1);
    QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"boot.hex"});
}

void TestBuilders::upgradeUnwritable()
{
    QVERIFY(writeFile("app.hex", hexText({{0x08002000, "APP"}})));
    ScriptedPrompts p;
    Flasher w(&p);
    p.openFile("app.hex").saveFile("missing/x.upg").critical(Prompts::Ok).critical(Prompts::Ok);
    QByteArray model("Zr501"), version("01");
    w.slotCreateUpgSTM32F100C8_family(c(model), c(version));
    QVERIFY(p.allAnswered());
    const auto boxes = p.shownOf(Kind::Critical);
    QCOMPARE(boxes.size(), 2);
    QVERIFY(boxes[0].text.contains("missing/x_app.bin"));
    QVERIFY(boxes[1].text.contains("missing/x.upg"));
}

// --- boot images ---

void TestBuilders::mainBuilderSeries()
{
    QVERIFY(writeFile("Zr501_v1.23_app.bin", "APP-BYTES"));
    ScriptedPrompts p;
    Flasher w(&p);
    p.openFile("boot.hex").openFile("Zr501_v1.23_app.bin").item("26").item("14").integer(42).integer(3);
    QByteArray model("Zr501"), tag("a1"), version("1.0");
    w.slotCreateBootBinZr(c(model), c(tag), c(version), 3);
    QVERIFY(p.allAnswered());

    QCOMPARE(p.shown.size(), 6);
    QCOMPARE(fileDialog(p.shown[0]),
             (QStringList{"Open Hex File with Bootloader", native("./Zr501"), "Hex (*.hex)"}));
    QCOMPARE(fileDialog(p.shown[1]),
             (QStringList{"Open Binary File with application", native("./Zr501"), "Bin (*.bin)"}));
    const QDate today = QDate::currentDate();
    QCOMPARE(p.shown[2].title, QStringLiteral("Year(YY)"));
    QCOMPARE(p.shown[2].text, QStringLiteral("Production year"));
    QCOMPARE(p.shown[2].items, yearItems(SerialScheme::New));
    QCOMPARE(p.shown[2].items.at(p.shown[2].current), QString::number(today.year() % 100));
    QVERIFY(!p.shown[2].editable);
    QCOMPARE(p.shown[3].title, QStringLiteral("Week(WW)"));
    QCOMPARE(p.shown[3].text, QStringLiteral("Production week"));
    QCOMPARE(p.shown[3].current + 1, today.weekNumber());
    QCOMPARE(p.shown[4].title, QStringLiteral("Number(NNNN)"));
    QCOMPARE(p.shown[4].text, QStringLiteral("Production number"));
    QCOMPARE((QList<int>{p.shown[4].value, p.shown[4].min, p.shown[4].max, p.shown[4].step}),
             (QList<int>{0, 0, 8191, 1}));
    QCOMPARE(p.shown[5].title, QStringLiteral("Counter"));
    QCOMPARE(p.shown[5].text, QStringLiteral("Iterations"));
    QCOMPARE((QList<int>{p.shown[5].value, p.shown[5].min, p.shown[5].max}), (QList<int>{1, 1, 8191 - 42}));

    QStringList expectedLog{"_v1.23"};
    for (int i = 0; i < 3; ++i) {
        const QString path = native(QStringLiteral("./Zr501/Zr501_Boot_261400%1_v1.23.bin").arg(42 + i));
        expectedLog << path;
        const QByteArray image = readAll(path);
        QCOMPARE(image.size(), 8192 + 9);
        QCOMPARE(image.left(10), QByteArray("BOOTLOADER"));
        QCOMPARE(readU32(image, 0x1FF0), 0x0379C02Au + quint32(i));
        QCOMPARE(image.mid(0x1FC0, 16), QByteArray(16, '\xAB')); // Zr501 has no model field
        QCOMPARE(image.mid(0x1FF4, 12), QByteArray(12, '\xAB'));
        QCOMPARE(image.mid(8192), QByteArray("APP-BYTES"));
    }
    QCOMPARE(logLines(w), expectedLog);
    QCOMPARE(QDir("Zr501").entryList(QDir::Files).size(), 3);
}

void TestBuilders::oldSchemeCheckBoxReadOnce()
{
    ScriptedPrompts p;
    Flasher w(&p);
    auto *box = w.findChild<QCheckBox *>("OldSerialSystem");
    box->setChecked(true);
    p.onShown = [box](const ScriptedPrompts::Shown &s) {
        if (s.title == "Year(YY)")
            box->setChecked(false); // too late for this run
    };
    p.openFile("boot.hex").openFile(QString()).item("13").item("05").integer(7).integer(1);
    QByteArray model("Zr501"), tag("a1"), version("1.0");
    w.slotCreateBootBinZr(c(model), c(tag), c(version), 3);
    QVERIFY(p.allAnswered());

    QCOMPARE(p.shown[2].items, yearItems(SerialScheme::Old));
    QCOMPARE(p.shown[2].items.at(p.shown[2].current), QStringLiteral("13"));
    QCOMPARE(p.shown[3].title, QStringLiteral("Month(MM)"));
    QCOMPARE(p.shown[3].text, QStringLiteral("Production month"));
    QCOMPARE(p.shown[3].items.size(), 12);
    QCOMPARE(p.shown[3].current + 1, QDate::currentDate().month());
    QCOMPARE(p.shown[4].max, 4095);
    QCOMPARE(p.shown[5].max, 4095 - 7);

    const QString path = native("./Zr501/Zr501_Boot_13050007.bin");
    QCOMPARE(logLines(w), QStringList{path});
    const QByteArray image = readAll(path);
    QCOMPARE(image.size(), 8192);
    QCOMPARE(image.mid(0x1FF0, 4).toHex(), QByteArray("07501303"));
    QCOMPARE(QDir("Zr501").entryList(QDir::Files), QStringList{"Zr501_Boot_13050007.bin"});
}

void TestBuilders::modelData_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("paramBytes"); // -2: no parameter dialog, -1: dialog cancelled
    QTest::addColumn<bool>("field");
    QTest::addColumn<bool>("copied");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QStringList>("log"); // <param>: the parameter file's path, <image>: the image's path
    QTest::newRow("model field") << "Zr535" << -2 << true << false << ""
                                 << QStringList{"zmiana danych bootloader'a", "<image>"};
    QTest::newRow("128-byte parameters copied")
        << "Zr525" << 128 << true << true << "_lamp"
        << QStringList{"<param>", "lamp.txt", "_lamp.txt", "_lamp", "Seria lamp Zr525", "paramData size = 128",
                       "<image>"};
    QTest::newRow("129-byte parameters not copied")
        << "Zr525" << 129 << true << false << "_lamp"
        << QStringList{"<param>", "lamp.txt", "_lamp.txt", "_lamp", "Seria lamp Zr525", "paramData size = 129",
                       "<image>"};
    QTest::newRow("parameters cancelled") << "Zr566" << -1 << true << false << ""
                                          << QStringList{"Seria lamp Zr525", "<image>"};
    QTest::newRow("no model data") << "Zr501" << -2 << false << false << "" << QStringList{"<image>"};
}

void TestBuilders::modelData()
{
    QFETCH(QString, model);
    QFETCH(int, paramBytes);
    QFETCH(bool, field);
    QFETCH(bool, copied);
    QFETCH(QString, suffix);
    QFETCH(QStringList, log);

    const QString paramPath = QDir::current().filePath("lamp.txt");
    QByteArray params;
    for (int i = 0; i < paramBytes; ++i)
        params.append(char(i + 1));
    QVERIFY(writeFile(paramPath, params));

    ScriptedPrompts p;
    Flasher w(&p);
    p.openFile("boot.hex").openFile(QString());
    if (paramBytes >= 0)
        p.openFile(paramPath);
    else if (paramBytes == -1)
        p.openFile(QString());
    p.item("26").item("14").integer(0).integer(1);
    QByteArray code = model.toLatin1(), tag("a1"), version("1.0");
    w.slotCreateBootBinZr(c(code), c(tag), c(version), 7);
    QVERIFY(p.allAnswered());
    if (paramBytes != -2) {
        QCOMPARE(p.shown[2].title, QStringLiteral("Open Parameter File"));
        QCOMPARE(p.shown[2].filter, QStringLiteral("txt (*.txt)"));
    }

    const QString path = native("./" + model + "/" + model + "_Boot_26140000" + suffix + ".bin");
    log.replaceInStrings("<param>", paramPath);
    log.replaceInStrings("<image>", path);
    QCOMPARE(logLines(w), log);

    const QByteArray image = readAll(path);
    QCOMPARE(image.size(), 8192);
    const QByteArray modelField = (model.toLatin1() + QByteArray(16, '\0')).left(16);
    QCOMPARE(image.mid(0x1FC0, 16), field ? modelField : QByteArray(16, '\xAB'));
    QCOMPARE(image.mid(0x1F40, 128), copied ? params : QByteArray(128, '\xAB'));
    QCOMPARE(image.left(10), QByteArray("BOOTLOADER"));
}

void TestBuilders::bootHexErrorWritesNothing()
{
    QVERIFY(writeFile("bad.hex", bootloaderHex().replace(":10", ":1G")));
    ScriptedPrompts p;
    Flasher w(&p);
    p.openFile("bad.hex").openFile(QString()).critical(Prompts::Ok);
    QByteArray model("Zr501"), tag("a1"), version("1.0");
    w.slotCreateBootBinZr(c(model), c(tag), c(version), 3);
    QVERIFY(p.allAnswered());
    const auto boxes = p.shownOf(Kind::Critical);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].title, QStringLiteral("Error"));
    QCOMPARE(boxes[0].text, QStringLiteral("HexToBin error: -3)"));
    QVERIFY(p.shownOf(Kind::Item).isEmpty());
    QVERIFY(!QDir("Zr501").exists());
}

void TestBuilders::unwritableImageReported()
{
    // Something else already holds the first image's name; the series goes on with the next number.
    QVERIFY(QDir().mkpath("Zr501/Zr501_Boot_26140000.bin"));
    ScriptedPrompts p;
    Flasher w(&p);
    p.openFile("boot.hex").openFile(QString()).item("26").item("14").integer(0).integer(2);
    QByteArray model("Zr501"), tag("a1"), version("1.0");
    w.slotCreateBootBinZr(c(model), c(tag), c(version), 3);
    QVERIFY(p.allAnswered());
    const QString first = native("./Zr501/Zr501_Boot_26140000.bin");
    const QString second = native("./Zr501/Zr501_Boot_26140001.bin");
    QCOMPARE(logLines(w), (QStringList{first, "Cannot write file " + first, second}));
    QCOMPARE(readAll(second).size(), 8192);
}

void TestBuilders::variants_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<int>("rdm");
    QTest::addColumn<int>("application"); // 0 no dialog, 1 optional and appended, 2 required region
    QTest::addColumn<int>("appOffset");   // region start (application 2)
    QTest::addColumn<bool>("schemeBox");  // the check box chooses the scheme
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("wordOffset");
    QTest::addColumn<quint32>("word");    // production word of the first image
    QTest::addColumn<bool>("serialText");
    QTest::addColumn<bool>("logsPaths");
    QTest::newRow("103RC") << QByteArray("slotCreateBootBinZr_103RC") << QByteArray("Zr650") << 67 << 1 << 0 << true
                           << 0x2000 << 0x1FF0 << 0x43135005u << false << true;
    QTest::newRow("STM32G4") << QByteArray("slotCreateBootBinZrSTM32G4") << QByteArray("Zr628") << 40 << 1 << 0 << true
                             << 0x4000 << 0x3FF0 << 0x28135005u << false << true;
    QTest::newRow("536_") << QByteArray("slotCreateBootBinZr536_") << QByteArray("Zr536") << 0 << 0 << 0 << true
                          << 0x20000 << 0x1FFC0 << 0x00135005u << true << false;
    QTest::newRow("F4xx") << QByteArray("slotCreateBootBinSTM32F4xx_family") << QByteArray("Zr489") << 52 << 2
                          << 0x20000 << false << 0x40000 << 0x1FFB0 << 0x3479C005u << false << true;
    // Bits 7..0 of the 16-bit identifier land in bits 31..24.
    QTest::newRow("F070F6") << QByteArray("slotCreateBootBinSTM32F070F6_family") << QByteArray("Zr440") << 0x1FF << 2
                            << 0x1800 << false << 0x7800 << 0x17F0 << 0xFF79C005u << false << true;
}

void TestBuilders::variants()
{
    QFETCH(QByteArray, slot);
    QFETCH(QByteArray, model);
    QFETCH(int, rdm);
    QFETCH(int, application);
    QFETCH(int, appOffset);
    QFETCH(bool, schemeBox);
    QFETCH(int, size);
    QFETCH(int, wordOffset);
    QFETCH(quint32, word);
    QFETCH(bool, serialText);
    QFETCH(bool, logsPaths);

    const bool family = application == 2;
    // Family builders: a bootloader 16 bytes longer than its region, an application exactly as long as its own.
    QVERIFY(writeFile("boot.bin", QByteArray(appOffset + 16, '\x5A')));
    QByteArray app(application == 2 ? size - appOffset : 8, '\0');
    for (int i = 0; i < app.size(); ++i)
        app[i] = char(i * 7 + 1);
    QVERIFY(writeFile("Zr_v7_app.bin", app));

    ScriptedPrompts p;
    Flasher w(&p);
    w.findChild<QCheckBox *>("OldSerialSystem")->setChecked(true);
    p.openFile(family ? "boot.bin" : "boot.hex");
    if (application)
        p.openFile("Zr_v7_app.bin");
    if (schemeBox)
        p.item("13").item("05");
    else
        p.item("26").item("14");
    p.integer(5).integer(2);
    QByteArray tag("a1"), version("1.0");
    if (family)
        QVERIFY(QMetaObject::invokeMethod(&w, slot.constData(), Q_ARG(char *, c(model)), Q_ARG(char *, c(version)),
                                          Q_ARG(uint16_t, uint16_t(rdm))));
    else
        QVERIFY(QMetaObject::invokeMethod(&w, slot.constData(), Q_ARG(char *, c(model)), Q_ARG(char *, c(tag)),
                                          Q_ARG(char *, c(version)), Q_ARG(uint8_t, uint8_t(rdm))));
    QVERIFY(p.allAnswered());

    if (family) {
        QCOMPARE(fileDialog(p.shown[0]), (QStringList{"Open Bin File with Bootloader",
                                                      QCoreApplication::applicationDirPath() + "/" + model,
                                                      "Bin (*.bin)"}));
    } else {
        QCOMPARE(p.shown[0].title, QStringLiteral("Open Hex File with Bootloader"));
        QCOMPARE(p.shown[0].dir, native("./" + model));
    }
    QCOMPARE(p.shown[application ? 2 : 1].items.size(), schemeBox ? 15 : 29);

    QStringList paths;
    QByteArray firstImage;
    for (int i = 0; i < 2; ++i) {
        const QString serial = (schemeBox ? QStringLiteral("1305000") : QStringLiteral("2614000")) + QString::number(5 + i);
        paths << native("./" + model + "/" + model + "_Boot_" + serial + (application ? "_v7" : "") + ".bin");
        const QByteArray image = readAll(paths.last());
        QCOMPARE(image.size(), size + (application == 1 ? app.size() : 0));
        QCOMPARE(readU32(image, wordOffset), word + quint32(i));
        if (serialText)
            QCOMPARE(image.mid(0x1FFB0, 16), serial.toLatin1() + QByteArray(8, '\0'));
        if (application == 1)
            QCOMPARE(image.mid(size), app);
        if (family) {
            QCOMPARE(image.mid(wordOffset - 4, 4), QByteArray(4, '\x5A')); // the word replaces bootloader bytes
            QCOMPARE(image.mid(appOffset, size - appOffset - 2), app.left(size - appOffset - 2));
            QCOMPARE(readU16(image, size - 2), Crc16(image.constData() + appOffset, size - appOffset - 2));
            QVERIFY(image.right(2) != app.right(2));
        } else {
            QCOMPARE(image.left(10), QByteArray("BOOTLOADER"));
            // the HEX fill near the end of each boot window stays around the production word
            const quint8 fill = size == 0x2000 ? 0xAB : size == 0x4000 ? 0xCD : 0xEF;
            QCOMPARE(quint8(image.at(wordOffset + 4)), fill);
        }
        if (i == 0)
            firstImage = image;
        else // only the production word (and serial text) differ between the images of a run
            QCOMPARE(image.mid(size - 2, 2), firstImage.mid(size - 2, 2));
    }
    QCOMPARE(logLines(w), logsPaths ? paths : QStringList());
}

void TestBuilders::familyUnreadableInput_data()
{
    QTest::addColumn<QString>("bootloader");
    QTest::addColumn<QString>("application");
    QTest::newRow("bootloader") << "missing.bin" << "app.bin";
    QTest::newRow("application") << "boot.bin" << "missing.bin";
}

void TestBuilders::familyUnreadableInput()
{
    QFETCH(QString, bootloader);
    QFETCH(QString, application);
    QVERIFY(writeFile("boot.bin", "BOOT"));
    QVERIFY(writeFile("app.bin", "APP"));
    ScriptedPrompts p;
    Flasher w(&p);
    p.openFile(bootloader).openFile(application);
    QByteArray model("Zr489"), version("1.0");
    w.slotCreateBootBinSTM32F4xx_family(c(model), c(version), 52);
    QVERIFY(p.allAnswered());
    QCOMPARE(logLines(w), QStringList{"Cannot read missing.bin"});
    QVERIFY(!QDir("Zr489").exists());
}

void TestBuilders::addParams_data()
{
    QTest::addColumn<int>("firmwareSize");
    QTest::addColumn<int>("paramSize"); // -1: dialog cancelled
    QTest::addColumn<bool>("saved");
    QTest::addColumn<bool>("copied");
    QTest::addColumn<QStringList>("log");
    QTest::newRow("128 bytes copied") << 0x8000 << 128 << true << true << QStringList{"paramData size = 128"};
    QTest::newRow("129 bytes not copied") << 0x8000 << 129 << true << false << QStringList{"paramData size = 129"};
    QTest::newRow("firmware ends at the block") << 0x7F40 + 128 << 128 << true << true
                                                << QStringList{"paramData size = 128"};
    QTest::newRow("firmware too short") << 0x7F40 + 127 << 128 << false << false
                                        << QStringList{"paramData size = 128",
                                                       "The firmware is too short for a parameter block at 0x7F40"};
    QTest::newRow("no parameter file") << 0x8000 << -1 << true << false << QStringList();
}

void TestBuilders::addParams()
{
    QFETCH(int, firmwareSize);
    QFETCH(int, paramSize);
    QFETCH(bool, saved);
    QFETCH(bool, copied);
    QFETCH(QStringList, log);
    const QByteArray firmware(firmwareSize, '\x33');
    QByteArray params;
    for (int i = 0; i < paramSize; ++i)
        params.append(char(0x80 + i));
    QVERIFY(writeFile("fw.bin", firmware));
    QVERIFY(writeFile("p.txt", params));

    ScriptedPrompts p;
    Flasher w(&p);
    p.openFile("fw.bin").openFile(paramSize >= 0 ? "p.txt" : QString());
    if (saved)
        p.saveFile("out.bin");
    QByteArray model("Zr659"), tag("a1"), version("1.0");
    w.slotAddParamsToFile(c(model), c(tag), c(version), 0);
    QVERIFY(p.allAnswered());
    QCOMPARE(fileDialog(p.shown[0]),
             (QStringList{"Open Bin File with Firmware", native("./Zr659"), "bin (*.bin)"}));
    QCOMPARE(p.shown[1].title, QStringLiteral("Open Parameter File"));
    QCOMPARE(p.shown[1].filter, QStringLiteral("txt (*.txt)"));
    if (saved) {
        QCOMPARE(fileDialog(p.shown[2]),
                 (QStringList{"Save File", native("./Zr659/Zr659_vx.xx"), "bin (*.bin)"}));
    }
    QCOMPARE(logLines(w), log);
    QCOMPARE(QFile::exists("out.bin"), saved);
    if (saved) {
        QByteArray expected = firmware;
        if (copied)
            expected.replace(0x7F40, params.size(), params);
        QCOMPARE(readAll("out.bin"), expected);
    }
}

void TestBuilders::runsWithoutDialogs()
{
    QStringList log;
    const auto collect = [&log](const QString &line) { log << line; };
    BootInputs in = g4Inputs();
    ProductionRun run = g4Run(2, "out/sub");
    const BootRunResult boot = createBootImages(*bootVariant("slotCreateBootBinZrSTM32G4"), in, run, collect);
    QCOMPARE(boot.status, PreparedBoot::Ok);
    QCOMPARE(boot.written, 2);
    const QString last = native("out/sub/Zr628_Boot_26148191.bin");
    QCOMPARE(log, (QStringList{native("out/sub/Zr628_Boot_26148190.bin"), last}));
    QCOMPARE(readAll(last).size(), 16384); // no application: the boot area alone
    QCOMPARE(readU32(readAll(last), 0x3FF0), 0x2879DFFFu);

    in.bootloaderPath = "missing.hex";
    log.clear();
    const BootRunResult missing = createBootImages(*bootVariant("slotCreateBootBinZr"), in, run, collect);
    QCOMPARE(missing.status, PreparedBoot::HexError);
    QCOMPARE(missing.written, 0);

    const UpgradeLayout &c8 = *upgradeLayout("STM32F100C8");
    QVERIFY(writeFile("bad.hex", "no record here\n"));
    const UpgradeRunResult bad = createUpgradeFiles("bad.hex", c8, "Zr501", "01", "bad.upg");
    QCOMPARE(bad.hexCode, -2);
    QVERIFY(!QFile::exists("bad.upg") && !QFile::exists("bad_app.bin"));
    QVERIFY(writeFile("app.hex", hexText({{0x08002000, "APP"}})));
    const UpgradeRunResult good = createUpgradeFiles("app.hex", c8, "Zr501", "01", "good.upg");
    QVERIFY(good.ok());
    QCOMPARE(readAll("good_app.bin").left(3), QByteArray("APP"));
    QCOMPARE(readUpgradeFile("good.upg").header, QStringLiteral("Zr501 Upgrade File Header"));
}

// A series killed midway left its temporaries; the next run into the folder removes them and says so.
void TestBuilders::staleTemporariesRemovedAndSaid()
{
#ifndef Q_OS_UNIX
    QSKIP("the process that left the temporaries is made with fork()");
#else
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    QVERIFY(dead > 0 && ::waitpid(dead, nullptr, 0) == dead);
    QVERIFY(QDir().mkpath("out"));
    const QString leftover = QStringLiteral("out/Zr628_Boot_26148190.bin.%1-0a1b2c3d.tmp").arg(dead);
    QVERIFY(writeFile(leftover, "half an image"));
    QStringList log;
    const BootRunResult boot = createBootImages(*bootVariant("slotCreateBootBinZrSTM32G4"), g4Inputs(),
                                                g4Run(1, "out"), [&log](const QString &line) { log << line; });
    QCOMPARE(boot.written, 1);
    QCOMPARE(log.value(0), QStringLiteral("Removed 1 temporary files that an interrupted run left in out"));
    QCOMPARE(QDir("out").entryList(QDir::Files | QDir::Hidden), QStringList{"Zr628_Boot_26148190.bin"});
#endif
}

QTEST_MAIN(TestBuilders)
void TestBuilders::seriesDirectory_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("committed") << "commit";
    QTest::newRow("the directory appears meanwhile, with a file of its own") << "appears";
    QTest::newRow("dropped without a commit") << "drop";
}

void TestBuilders::seriesDirectory()
{
    QFETCH(QString, ending);
    const QStringList parentBefore = QDir().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    {
        FileBatch batch;
        QString error;
        QVERIFY2(batch.intoDirectory("out/series", &error), qPrintable(error));
        QVERIFY(QFileInfo("out").isDir()); // missing parents are made at once
        QVERIFY(batch.add("out/series/a.bin", "first") && batch.add("out/series/b.bin", "second"));
        QVERIFY(!QFileInfo::exists("out/series")); // nothing under the final name before the commit
        QCOMPARE(QDir("out").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 1);
        if (ending == "appears") {
            QVERIFY(QDir().mkpath("out/series"));
            QVERIFY(writeFile("out/series/c.bin", "theirs"));
        }
        if (ending != "drop") {
            QVERIFY(batch.commit());
            QCOMPARE(batch.committed(), 2);
        }
    }
    // Only the final directory is left, with what was committed and what was there; no hidden directory.
    const QStringList left = QDir("out").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (ending == "drop") {
        QCOMPARE(left, QStringList());
        return;
    }
    QCOMPARE(left, QStringList{"series"});
    QStringList expected{"a.bin", "b.bin"};
    if (ending == "appears")
        expected << "c.bin";
    QCOMPARE(QDir("out/series").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
             expected);
    QCOMPARE(readAll("out/series/a.bin"), QByteArray("first"));
    QCOMPARE(readAll("out/series/b.bin"), QByteArray("second"));
    if (ending == "appears")
        QCOMPARE(readAll("out/series/c.bin"), QByteArray("theirs"));
    QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList(parentBefore + QStringList{"out"}));
}

#include "test_builders.moc"
