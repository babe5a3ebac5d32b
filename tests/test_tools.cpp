// The service commands and flash tools against the simulated bus: frames, block loops, dialogs, dumps, "CRC err".
#include <QLoggingCategory>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "tests/support/simwindow.h"
#include "tools/devicecommands.h"

using Kind = ScriptedPrompts::Kind;

namespace {
const QString kCrcErr = QStringLiteral("CRC err");
const QString kNoCable = QStringLiteral("Connect USB Cable !!!");

SimDeviceConfig zr501()
{
    SimDeviceConfig c;
    c.deviceId = 0x0379C02A;
    return c;
}

// Load Bin and Test 1 wait only 80 ms for a 1 KiB write: a part that erases and programs the block (and hears the
// 46 ms frame) within that time. The simulated F100C8 needs about 91 ms and would miss every second block.
SimDeviceConfig fastWriter()
{
    SimDeviceConfig c = zr501();
    c.modelCode = "Zr801";
    c.family = QStringLiteral("STM32F103RC");
    return c;
}

// True when a default name given to a file dialog means that file in the working directory.
bool namesWorkingDirFile(const QString &defaultName, const QString &file)
{
    return QDir::cleanPath(QFileInfo(QDir::current(), defaultName).absoluteFilePath())
           == QDir::cleanPath(QDir::current().absoluteFilePath(file));
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}
} // namespace

class TestTools : public QObject
{
    Q_OBJECT

private slots:
    // The frame traces of hundreds of transactions would bury the test's own output.
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }
    void hexText_data();
    void hexText();
    void buttons_data();
    void buttons();
    void runQuietUnlessShowAll_data();
    void runQuietUnlessShowAll();
    void noCable();
    void loadBin();
    void loadBinEmptyFile();
    void test1();
    void send();
    void i2cWritePattern_data();
    void i2cWritePattern();
    void i2cWriteFile();
    void i2cRead();
    void readFlash_data();
    void readFlash();
    void proposedDumpNameNotFollowed();
    void readFlashShortReplyStops_data();
    void readFlashShortReplyStops();
    void writeFlash_data();
    void writeFlash();
    void writeFlashPresetPattern();
    void ramAndBroadcasts();
    void discovery();
    void discoveryCancel();
};

void TestTools::hexText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<quint32>("value");
    const quint32 fb = 0xDEADBEEF; // fallback
    QTest::newRow("plain") << "10" << 0x10u;
    QTest::newRow("letters are hex") << "abc" << 0xABCu;
    QTest::newRow("0x prefix") << "0x8000000" << 0x08000000u;
    QTest::newRow("0X prefix, upper case") << "0X1F" << 0x1Fu;
    QTest::newRow("blanks around") << " 0x200 " << 0x200u;
    QTest::newRow("preset zeros") << "0x0000000" << 0u;
    QTest::newRow("largest") << "FFFFFFFF" << 0xFFFFFFFFu;
    QTest::newRow("empty") << "" << fb;
    QTest::newRow("unreadable") << "xyz" << fb;
    QTest::newRow("prefix only") << "0x" << fb;
    QTest::newRow("too large") << "100000000" << fb;
    QTest::newRow("negative") << "-1" << fb;
    QTest::newRow("inner blank") << "12 34" << fb;
    QTest::newRow("prefix twice") << "0x0x5" << fb;
}

void TestTools::hexText()
{
    QFETCH(QString, text);
    QFETCH(quint32, value);
    QCOMPARE(parseHexText(text, 0xDEADBEEF), value);
}

// Which button starts which command: the first dialogs are cancelled, the first frame (if any) identified.
void TestTools::buttons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QList<int>>("cancelled");
    QTest::addColumn<int>("firstCommand");
    const int none = -1;
    QTest::newRow("Run") << "pushButtonRun" << QList<int>{} << int(CMD_RUN);
    QTest::newRow("Send") << "pushButtonSend" << QList<int>{} << int(CMD_READ_MEMORY);
    QTest::newRow("Load Bin") << "pushButton_LoadBin" << QList<int>{int(Kind::OpenFile)} << none;
    QTest::newRow("I2C Read") << "pushButtonI2CRead" << QList<int>{int(Kind::SaveFile)} << int(CMD_I2C_READ);
    QTest::newRow("I2C Write") << "pushButtonI2CWrite" << QList<int>{int(Kind::OpenFile), int(Kind::Text)} << none;
    QTest::newRow("Read Flash") << "pushButtonRead" << QList<int>{int(Kind::Text)} << none;
    QTest::newRow("Write Flash") << "pushButtonWrite"
                                 << QList<int>{int(Kind::Text), int(Kind::OpenFile), int(Kind::Int)} << none;
    // Not connected: reached by name only.
    QTest::newRow("Mute") << "pushButtonMute" << QList<int>{} << none;
    QTest::newRow("Unmute") << "pushButtonUnmute" << QList<int>{} << none;
    QTest::newRow("Discovery") << "pushButtonDiscovery" << QList<int>{} << none;
}

void TestTools::buttons()
{
    QFETCH(QString, button);
    QFETCH(QList<int>, cancelled);
    QFETCH(int, firstCommand);
    SimWindow sw;
    sw.bus.addDevice(zr501());
    QVERIFY(sw.openCable());
    for (int kind : cancelled) {
        if (Kind(kind) == Kind::OpenFile)
            sw.prompts.openFile(QString());
        else if (Kind(kind) == Kind::SaveFile)
            sw.prompts.saveFile(QString());
        else
            sw.prompts.cancel(Kind(kind));
    }
    sw.window.findChild<QPushButton *>(button)->click();
    QVERIFY(sw.prompts.allAnswered());
    QCOMPARE(sw.prompts.shown.size(), cancelled.size());
    QCOMPARE(sw.prompts.progresses.size(), 0);
    const QList<QByteArray> sent = sw.bus.requests();
    QCOMPARE(sent.isEmpty() ? -1 : int(readU16(sent.first(), 2)), firstCommand);
}

void TestTools::runQuietUnlessShowAll_data()
{
    QTest::addColumn<bool>("showAll");
    QTest::addColumn<bool>("deviceAnswers");
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("quiet, silent bus") << false << false << QStringList();
    QTest::newRow("quiet, device runs") << false << true << QStringList();
    QTest::newRow("show all, silent bus") << true << false << QStringList{kCrcErr};
    QTest::newRow("show all, device runs") << true << true << QStringList();
}

void TestTools::runQuietUnlessShowAll()
{
    QFETCH(bool, showAll);
    QFETCH(bool, deviceAnswers);
    QFETCH(QStringList, messages);
    SimWindow sw;
    SimDevice *dev = sw.bus.addDevice(zr501());
    dev->setSilent(!deviceAnswers);
    QVERIFY(sw.openCable());
    sw.window.slotShowAllMsg(showAll ? 2 : 0);
    sw.window.slotRun();
    QCOMPARE(sw.messages(), messages);
    QCOMPARE(dev->runCount(), 1);
    const QList<QByteArray> run = sw.requests(CMD_RUN);
    QCOMPARE(run.size(), 1);
    QCOMPARE(readU32(run.first(), 4), BROADCAST_ID); // no connect yet: the start-up target address
    QVERIFY(sw.bus.calls().contains("FT_SetTimeouts(100,100)"));
}

// Without a cable, every command that opens it first says so; Run stays quiet.
void TestTools::noCable()
{
    SimWindow sw;
    sw.bus.setCables({});
    using Slot = void (Flasher::*)();
    const QList<QPair<Slot, QStringList>> cases = {
        {&Flasher::slotRun, {}},
        {&Flasher::slotRunRAM, {kNoCable}},
        {&Flasher::slotSend, {kNoCable}},
        {&Flasher::slotLoadBin, {kNoCable}},
        {&Flasher::slotI2CRead, {kNoCable}},
        {&Flasher::slotI2CWrite, {kNoCable}},
        {&Flasher::slotTest1, {kNoCable}},
        {&Flasher::slotWriteRAM, {kNoCable}},
        {&Flasher::slotMute, {kNoCable}},
        {&Flasher::slotUnmute, {kNoCable}},
        {&Flasher::slotDiscovery, {kNoCable}},
        {&Flasher::slotRead, {kNoCable}},
        {&Flasher::slotWrite, {kNoCable}},
    };
    for (const auto &c : cases) {
        sw.window.slotClearMessageBox();
        sw.prompts.critical(Prompts::Ok);
        (sw.window.*c.first)();
        QVERIFY(sw.prompts.allAnswered());
        QCOMPARE(sw.messages(), c.second);
    }
    QCOMPARE(sw.prompts.shownOf(Kind::Critical).size(), cases.size());
    QCOMPARE(sw.prompts.shown.size(), cases.size()); // no other dialog
    QVERIFY(sw.bus.requests().isEmpty());
}

void TestTools::loadBin()
{
    QTemporaryDir dir;
    const QByteArray file = testBytes(2500);
    SimWindow sw;
    SimDevice *dev = sw.bus.addDevice(fastWriter());
    dev->setFlashAt(0x08008000, QByteArray(3 * 1024, '\0'));
    QVERIFY(sw.openCable());
    sw.prompts.openFile(writeFile(dir.path(), "app.bin", file));
    sw.window.slotLoadBin();
    QVERIFY(sw.prompts.allAnswered());

    const auto dialog = sw.prompts.shown.first();
    QCOMPARE(dialog.title, QStringLiteral("Open File"));
    QCOMPARE(dialog.filter, QStringLiteral("Bin (*.bin)"));
    QVERIFY(namesWorkingDirFile(dialog.dir, "."));

    const QList<QByteArray> writes = sw.requests(CMD_WRITE_MEMORY);
    QCOMPARE(writes.size(), 3);
    const QByteArray expected = file + QByteArray(572, char(0xFF));
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(readU32(writes[i], 12), 0x08008000u + quint32(i) * 1024);
        QCOMPARE(frameData(writes[i]), expected.mid(i * 1024, 1024));
    }
    QCOMPARE(dev->flashAt(0x08008000, 3 * 1024), expected);
    QVERIFY(sw.bus.calls().contains("FT_SetTimeouts(80,0)"));
    QCOMPARE(sw.messages(), QStringList());
}

void TestTools::loadBinEmptyFile()
{
    QTemporaryDir dir;
    SimWindow sw;
    sw.bus.addDevice(fastWriter());
    QVERIFY(sw.openCable());
    sw.prompts.openFile(writeFile(dir.path(), "empty.bin", QByteArray()));
    sw.window.slotLoadBin();
    sw.prompts.openFile(dir.path() + "/missing.bin");
    sw.window.slotLoadBin();
    QVERIFY(sw.prompts.allAnswered());
    QVERIFY(sw.bus.requests().isEmpty());
    QCOMPARE(sw.messages(), QStringList());
}

void TestTools::test1()
{
    {
        SimWindow sw;
        QVERIFY(sw.openCable());
        sw.window.slotTest1();
        QCOMPARE(sw.messages(), QStringList(QVector<QString>(32, kCrcErr).toList()));
        QCOMPARE(sw.requests(CMD_WRITE_MEMORY).size(), 32);
    }
    SimWindow sw;
    SimDevice *dev = sw.bus.addDevice(fastWriter());
    QVERIFY(sw.openCable());
    sw.window.slotTest1();
    QCOMPARE(sw.messages(), QStringList());
    for (int i = 0; i < 32; ++i)
        QCOMPARE(dev->flashAt(0x08008000 + quint32(i) * 1024, 1024), QByteArray(1024, char(0x80 + i)));
}

void TestTools::send()
{
    SimWindow sw;
    sw.bus.addDevice(zr501());
    QVERIFY(sw.openCable());
    int reads = 0;
    // The device misses the 10th and the 40th block: each is one "CRC err", the loop goes on.
    sw.bus.onRequest = [&](const QByteArray &) {
        ++reads;
        if (reads == 10 || reads == 40)
            sw.bus.dropReplies(1);
    };
    sw.window.slotSend();
    const QList<QByteArray> sent = sw.requests(CMD_READ_MEMORY);
    QCOMPARE(sent.size(), 64);
    for (int i = 0; i < 64; ++i) {
        QCOMPARE(readU32(sent[i], 12), 0x08000000u + quint32(i) * 1024);
        QCOMPARE(readU32(sent[i], 16), 1024u);
    }
    QCOMPARE(sw.messages(), QStringList({kCrcErr, kCrcErr}));
    QVERIFY(sw.bus.calls().contains("FT_SetTimeouts(70,0)"));
}

void TestTools::i2cWritePattern_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("length");
    QTest::addColumn<int>("pattern");
    QTest::addColumn<quint32>("address");
    QTest::addColumn<int>("count");
    QTest::newRow("unreadable length gives 512") << "10" << "xyz" << 7 << 0x10u << 512;
    QTest::newRow("abc is hex: cut to 1024") << "10" << "abc" << 7 << 0x10u << 1024;
    QTest::newRow("presets") << "0x0000000" << "0x200" << 0x5A << 0u << 512;
    QTest::newRow("empty texts") << "" << "" << 255 << 0u << 512;
    QTest::newRow("short") << "0x7F0" << "0x10" << 1 << 0x7F0u << 16;
    QTest::newRow("huge length") << "0" << "FFFFFFFF" << 3 << 0u << 1024;
}

void TestTools::i2cWritePattern()
{
    QFETCH(QString, start);
    QFETCH(QString, length);
    QFETCH(int, pattern);
    QFETCH(quint32, address);
    QFETCH(int, count);
    SimWindow sw;
    SimDevice *dev = sw.bus.addDevice(zr501());
    QVERIFY(sw.openCable());
    sw.prompts.openFile(QString()).text(start).text(length).integer(pattern);
    sw.window.slotI2CWrite();
    QVERIFY(sw.prompts.allAnswered());

    const auto shown = sw.prompts.shown;
    QCOMPARE(shown[0].title, QStringLiteral("Select file"));
    QVERIFY(namesWorkingDirFile(shown[0].dir, "."));
    QCOMPARE(shown[1].text, QStringLiteral("Start addres (hex):"));
    QCOMPARE(shown[1].dir, QStringLiteral("0x0000000"));
    QCOMPARE(shown[2].text, QStringLiteral("Length (hex):"));
    QCOMPARE(shown[2].dir, QStringLiteral("0x200"));
    QCOMPARE(shown[3].text, QStringLiteral("Pattern:"));
    QCOMPARE(shown[3].value, 0);
    for (int i = 1; i < 4; ++i)
        QCOMPARE(shown[i].title, QStringLiteral("QInputDialog::getText()"));

    const QList<QByteArray> writes = sw.requests(CMD_I2C_WRITE);
    QCOMPARE(writes.size(), 1);
    QCOMPARE(readU32(writes[0], 12), address);
    const QByteArray expected(count, char(pattern));
    QCOMPARE(writes[0].mid(20, writes[0].size() - 22), expected); // I2C data travel plain
    QCOMPARE(dev->i2c().mid(int(address), count), expected);
    QCOMPARE(sw.messages(), QStringList());
}

void TestTools::i2cWriteFile()
{
    QTemporaryDir dir;
    const QByteArray file = testBytes(300);
    SimWindow sw;
    SimDevice *dev = sw.bus.addDevice(zr501());
    dev->setI2cAt(0, QByteArray(512, '\0'));
    QVERIFY(sw.openCable());
    sw.prompts.openFile(writeFile(dir.path(), "eeprom.bin", file));
    sw.window.slotI2CWrite();
    QVERIFY(sw.prompts.allAnswered());
    const QByteArray expected = file + QByteArray(212, char(0xFF));
    QCOMPARE(dev->i2c().left(512), expected);
    QCOMPARE(readU32(sw.requests(CMD_I2C_WRITE).value(0), 12), 0u);

    // Cancelling any of the three inputs sends nothing.
    for (Kind k : {Kind::Text, Kind::Int}) {
        sw.bus.clearLog();
        sw.prompts.openFile(QString()).text("10");
        if (k == Kind::Int)
            sw.prompts.text("20");
        sw.prompts.cancel(k);
        sw.window.slotI2CWrite();
        QVERIFY(sw.prompts.allAnswered());
        QVERIFY(sw.bus.requests().isEmpty());
    }
    QCOMPARE(sw.messages(), QStringList());
}

void TestTools::i2cRead()
{
    QTemporaryDir dir;
    const QByteArray memory = testBytes(512, 3);
    SimWindow sw;
    SimDevice *dev = sw.bus.addDevice(zr501());
    dev->setI2cAt(0, memory);
    QVERIFY(sw.openCable());
    const QString target = dir.path() + "/i2c.bin";
    sw.prompts.saveFile(target);
    sw.window.slotI2CRead();
    QVERIFY(sw.prompts.allAnswered());
    QCOMPARE(readAll(target), memory);
    const auto save = sw.prompts.shown.first();
    QCOMPARE(save.title, QStringLiteral("Select file"));
    QCOMPARE(save.filter, QStringLiteral("Bin (*.bin)"));
    QVERIFY2(namesWorkingDirFile(save.dir, "memoryDump"), qPrintable(save.dir));
    QVERIFY(sw.bus.calls().contains("FT_SetTimeouts(200,200)"));

    // A dump that cannot be written is reported, not silently lost.
    const QString nowhere = dir.path() + "/no/such/dir/i2c.bin";
    sw.prompts.saveFile(nowhere);
    sw.window.slotI2CRead();
    QCOMPARE(sw.messages(), QStringList{"Cannot write file " + QDir::toNativeSeparators(nowhere)});
    QVERIFY(!QFile::exists(nowhere));

    // No answer: "CRC err" and no save dialog.
    sw.window.slotClearMessageBox();
    dev->setSilent(true);
    sw.window.slotI2CRead();
    QCOMPARE(sw.messages(), QStringList{kCrcErr});
    QCOMPARE(sw.prompts.shown.size(), 2);
}

void TestTools::readFlash_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("length");
    QTest::addColumn<quint32>("first");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<int>("saved");
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("8 KiB") << "0x08000000" << "0x2000" << 0x08000000u << 8 << 8192 << QStringList();
    QTest::newRow("presets") << "0x8000000" << "0x2000" << 0x08000000u << 8 << 8192 << QStringList();
    QTest::newRow("short length reads a whole block") << "0x08000000" << "0x100" << 0x08000000u << 1 << 1024
                                                      << QStringList();
    QTest::newRow("unreadable texts: flash base, one block") << "zz" << "" << 0x08000000u << 1 << 1024
                                                             << QStringList();
    // The third block lies past the end of the 64 KiB flash: no answer.
    QTest::newRow("third block fails") << "0x0800F800" << "0x2000" << 0x0800F800u << 3 << 2048
                                       << QStringList{kCrcErr};
    QTest::newRow("first block fails: empty dump") << "0x08010000" << "0x400" << 0x08010000u << 1 << 0
                                                   << QStringList{kCrcErr};
}

void TestTools::readFlash()
{
    QFETCH(QString, start);
    QFETCH(QString, length);
    QFETCH(quint32, first);
    QFETCH(int, blocks);
    QFETCH(int, saved);
    QFETCH(QStringList, messages);
    QTemporaryDir dir;
    SimWindow sw;
    SimDevice *dev = sw.bus.addDevice(zr501());
    dev->setFlashAt(0x08000000, testBytes(0x10000, 5));
    QVERIFY(sw.openCable());
    const QString target = dir.path() + "/dump.bin";
    sw.prompts.text(start).text(length).saveFile(target);
    sw.window.slotRead();
    QVERIFY(sw.prompts.allAnswered());

    const auto shown = sw.prompts.shown;
    QCOMPARE(shown[0].text, QStringLiteral("Start addres (hex):"));
    QCOMPARE(shown[0].dir, QStringLiteral("0x8000000"));
    QCOMPARE(shown[1].text, QStringLiteral("Length (hex):"));
    QCOMPARE(shown[1].dir, QStringLiteral("0x2000"));
    QCOMPARE(shown[2].title, QStringLiteral("Select file"));
    QVERIFY2(namesWorkingDirFile(shown[2].dir, "flashDump"), qPrintable(shown[2].dir));

    const QList<QByteArray> reads = sw.requests(CMD_READ_MEMORY);
    QCOMPARE(reads.size(), blocks);
    for (int i = 0; i < blocks; ++i)
        QCOMPARE(readU32(reads[i], 12), first + quint32(i) * 1024);
    QCOMPARE(readAll(target), dev->flashAt(first, saved));
    QCOMPARE(sw.messages(), messages);
    QVERIFY(sw.bus.calls().contains("FT_SetTimeouts(140,0)"));
}

// The proposed ".\flashDump", taken unchanged, is a fixed name in the working directory: a link planted under it is
// not followed, so the file it points to keeps its bytes, and the failed save is said. Any other name chosen is
// written as the user named it.
void TestTools::proposedDumpNameNotFollowed()
{
#ifndef Q_OS_UNIX
    QSKIP("a link planted under a fixed name is a hazard of POSIX symbolic links");
#endif
    QTemporaryDir dir;
    const QString oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    const auto restore = qScopeGuard([&] { QDir::setCurrent(oldCwd); });
    QVERIFY(!writeFile(dir.path(), "victim", "root's own file").isEmpty());
    QVERIFY(QFile::link(dir.filePath("victim"), dir.filePath("flashDump")));
    SimWindow sw;
    sw.bus.addDevice(zr501());
    QVERIFY(sw.openCable());
    sw.prompts.text("0x08000000").text("0x400").saveFile(dir.filePath("flashDump")); // as the dialog returns it
    sw.window.slotRead();
    QVERIFY(sw.prompts.allAnswered());
    QCOMPARE(readAll(dir.filePath("victim")), QByteArray("root's own file"));
    QVERIFY(QFileInfo(dir.filePath("flashDump")).isSymLink());
    QCOMPARE(sw.messages(), QStringList{"Cannot write file " + QDir::toNativeSeparators(dir.filePath("flashDump"))});
}

void TestTools::readFlashShortReplyStops_data()
{
    QTest::addColumn<QByteArray>("reply"); // what answers the second read, its CRC appended
    QByteArray header(kReplyDataOffset, '\0');
    putU16(header, 0, quint16(kReplyDataOffset + kCrcSize));
    putU16(header, 2, CMD_READ_MEMORY);
    putU32(header, 4, HOST_ID);
    putU32(header, 12, 0x08000400);
    QByteArray half = header + QByteArray(512, '\x33');
    putU16(half, 0, quint16(half.size() + kCrcSize));
    putU32(half, 16, 512);
    QTest::newRow("two zero bytes") << QByteArray(); // 0x0000 is the CRC of nothing
    QTest::newRow("header without data") << header;
    QTest::newRow("half a block") << half;
}

void TestTools::readFlashShortReplyStops()
{
    QFETCH(QByteArray, reply);
    QTemporaryDir dir;
    SimWindow sw;
    SimDevice *dev = sw.bus.addDevice(zr501());
    dev->setFlashAt(0x08000000, testBytes(0x10000, 5));
    QVERIFY(sw.openCable());
    int reads = 0;
    sw.bus.onRequest = [&](const QByteArray &frame) {
        const bool hit = readU16(frame, 2) == CMD_READ_MEMORY && ++reads == 2;
        dev->setSilent(hit);
        if (hit)
            sw.bus.injectBytes(withCrc(reply));
    };
    const QString target = dir.path() + "/dump.bin";
    sw.prompts.text("0x08000000").text("0x1000").saveFile(target);
    sw.window.slotRead();
    QVERIFY(sw.prompts.allAnswered());
    QCOMPARE(sw.messages(), QStringList{kCrcErr});
    QCOMPARE(sw.requests(CMD_READ_MEMORY).size(), 2);
    // The dump holds the first block only, where it belongs.
    QCOMPARE(readAll(target), dev->flashAt(0x08000000, 1024));
}

void TestTools::writeFlash_data()
{
    QTest::addColumn<int>("fileSize"); // -1: no such file
    QTest::addColumn<int>("used");
    QTest::newRow("whole block") << 1500 << 1024;
    QTest::newRow("short file, rest erased") << 100 << 100;
    QTest::newRow("empty file") << 0 << 0;
    QTest::newRow("unreadable file") << -1 << 0;
}

void TestTools::writeFlash()
{
    QFETCH(int, fileSize);
    QFETCH(int, used);
    QTemporaryDir dir;
    const QByteArray file = testBytes(qMax(fileSize, 0), 7);
    const QString path = fileSize < 0 ? dir.path() + "/missing.bin" : writeFile(dir.path(), "block.bin", file);
    SimWindow sw;
    SimDevice *dev = sw.bus.addDevice(zr501());
    dev->setFlashAt(0x08004000, QByteArray(1024, '\0'));
    QVERIFY(sw.openCable());
    sw.prompts.text("0x08004000").openFile(path);
    sw.window.slotWrite();
    QVERIFY(sw.prompts.allAnswered());
    QCOMPARE(sw.prompts.shown[1].title, QStringLiteral("Select file"));
    QVERIFY(namesWorkingDirFile(sw.prompts.shown[1].dir, "."));
    QCOMPARE(sw.requests(CMD_WRITE_MEMORY).size(), 1);
    QCOMPARE(dev->flashAt(0x08004000, 1024), file.left(used) + QByteArray(1024 - used, char(0xFF)));
    QCOMPARE(sw.messages(), QStringList());
}

void TestTools::writeFlashPresetPattern()
{
    SimWindow sw;
    sw.bus.addDevice(zr501());
    QVERIFY(sw.openCable());
    // A cancelled start address still writes, at the flash base (the bootloader's area: the device refuses).
    sw.prompts.cancel(Kind::Text).openFile(QString()).integer(0xAA);
    sw.window.slotWrite();
    QVERIFY(sw.prompts.allAnswered());
    const auto pattern = sw.prompts.shownOf(Kind::Int).value(0);
    QCOMPARE(pattern.text, QStringLiteral("Pattern  (hex):"));
    QCOMPARE(pattern.value, 170);
    QCOMPARE(pattern.max, 255);
    const QList<QByteArray> writes = sw.requests(CMD_WRITE_MEMORY);
    QCOMPARE(writes.size(), 1);
    QCOMPARE(readU32(writes[0], 12), 0x08000000u);
    QCOMPARE(frameData(writes[0]), QByteArray(1024, char(0xAA)));
    QCOMPARE(sw.messages(), QStringList{kCrcErr});

    // Cancelling the pattern writes nothing.
    sw.bus.clearLog();
    sw.prompts.text("0x08004000").openFile(QString()).cancel(Kind::Int);
    sw.window.slotWrite();
    QVERIFY(sw.prompts.allAnswered());
    QVERIFY(sw.bus.requests().isEmpty());
}

// No control starts these: they are reached by name.
void TestTools::ramAndBroadcasts()
{
    SimWindow sw;
    SimDevice *dev = sw.bus.addDevice(zr501());
    QVERIFY(sw.openCable());
    QVERIFY(QMetaObject::invokeMethod(&sw.window, "slotWriteRAM"));
    QByteArray counting(512, '\0');
    for (int k = 0; k < 512; ++k)
        counting[k] = char(k);
    QCOMPARE(dev->ram().mid(0x1000, 512), counting);
    QCOMPARE(sw.messages(), QStringList());

    // Broadcasts are never answered: "CRC err" every time.
    QVERIFY(QMetaObject::invokeMethod(&sw.window, "slotMute"));
    QVERIFY(dev->muted());
    QVERIFY(QMetaObject::invokeMethod(&sw.window, "slotUnmute"));
    QVERIFY(!dev->muted());
    QCOMPARE(sw.messages(), QStringList({kCrcErr, kCrcErr}));
    QCOMPARE(readU32(sw.requests(CMD_MUTE).value(0), 4), BROADCAST_ID);
    QCOMPARE(readU32(sw.requests(CMD_UNMUTE).value(0), 4), BROADCAST_ID);
    QVERIFY(sw.bus.calls().contains("FT_SetTimeouts(10,0)"));

    QVERIFY(QMetaObject::invokeMethod(&sw.window, "slotRunRAM"));
    QCOMPARE(dev->runRamCount(), 1);
    QCOMPARE(sw.messages().size(), 2);
}

void TestTools::discovery()
{
    SimWindow sw;
    SimDevice *dev = sw.bus.addDevice(zr501());
    QVERIFY(sw.openCable());
    sw.window.slotDiscovery();
    QCOMPARE(sw.requests(CMD_DISCOVERY).size(), DeviceCommands::kDiscoveryExchanges);
    QCOMPARE(sw.messages(), QStringList(QVector<QString>(100, "Device ID: 0x0379c02a").toList()));
    QCOMPARE(sw.prompts.progresses.size(), 1);
    QCOMPARE(sw.prompts.progresses[0].cancelText, QStringLiteral("Cancel"));
    QVERIFY(sw.prompts.progresses[0].closed);

    // A muted device stays silent: one "CRC err" per exchange.
    sw.window.slotMute();
    QVERIFY(dev->muted());
    sw.window.slotClearMessageBox();
    sw.bus.clearLog();
    sw.window.slotDiscovery();
    QCOMPARE(sw.messages(), QStringList(QVector<QString>(100, kCrcErr).toList()));
    QVERIFY(sw.bus.calls().contains("FT_SetTimeouts(20,0)"));
}

void TestTools::discoveryCancel()
{
    SimWindow sw;
    sw.bus.addDevice(zr501());
    QVERIFY(sw.openCable());
    sw.prompts.cancelProgressAfter(4);
    sw.window.slotDiscovery();
    QCOMPARE(sw.requests(CMD_DISCOVERY).size(), 3);
    QCOMPARE(sw.messages().size(), 3);
    QVERIFY(sw.prompts.progresses[0].closed);
}

QTEST_MAIN(TestTools)
#include "test_tools.moc"
