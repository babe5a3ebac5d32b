// The eight family upgrades on the simulated bus: blocks and flash, refusals, failures, F100C6 retries, logging.
#include <QtTest>

#include "boot/upgradeengine.h"
#include "boot/upgradefamily.h"
#include "tests/support/upgradefixture.h"

Q_DECLARE_METATYPE(FamilyId)

namespace {
constexpr quint32 kFlashBase = UpgradeLayout::kFlashBase;

// The family slot of the main window, by the family's name ("STM32F100C8" -> slotUpgradeSTM32F100C8_family).
QByteArray slotOf(const UpgradeFamily &family)
{
    return "slotUpgrade" + QByteArray(family.name) + "_family";
}

QByteArray appImage(const UpgradeFamily &family, quint32 seed = 1)
{
    return testImage(family.imageSize, family.firstBlock - kFlashBase, seed);
}

QList<quint32> addressesOf(const QList<QByteArray> &frames)
{
    QList<quint32> out;
    for (const QByteArray &f : frames)
        out << readU32(f, 12);
    return out;
}

// A window whose last connect found `model` (target address 0), with the cable chosen.
struct Rig
{
    SimWindow sim;
    SimDevice *device;
    const UpgradeFamily &family;
    QTemporaryDir dir;

    Rig(FamilyId id, const QByteArray &model) : family(upgradeFamily(id))
    {
        device = addDevice(sim, model, QString::fromLatin1(family.name));
        sim.openCable();
        sim.window.state().targetAddress = 0;
        sim.window.state().connectedDeviceName = model;
    }
    QString file(const QString &headerModel, const QByteArray &image, const QString &version = "01")
    {
        return writeTestUpgradeFile(dir.filePath("fw.upg"), headerModel, image, version);
    }
    bool run() { return invoke(sim, slotOf(family).constData()); }
    int count(const QString &line) const { return sim.messages().count(line); }
};
} // namespace

class TestUpgrade : public QObject
{
    Q_OBJECT

private slots:
    // The frame traces would bury the results.
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }
    void endToEnd_data();
    void endToEnd();
    void refusals_data();
    void refusals();
    void acceptedAsBefore_data();
    void acceptedAsBefore();
    void lastDirectoryPerFamily();
    void droppedWriteReply();
    void readBackDifference_data();
    void readBackDifference();
    void f100c6Retries_data();
    void f100c6Retries();
    void plantedLinksNotFollowed();
    void pageLines_data();
    void pageLines();
};

void TestUpgrade::endToEnd_data()
{
    QTest::addColumn<FamilyId>("id");
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<QString>("headerModel"); // families without a header check take any header
    QTest::addColumn<bool>("run");
    QTest::addColumn<QString>("layout"); // the upgrade-file writer's layout that makes this family's files
    QTest::newRow("F030F4") << FamilyId::F030F4 << QByteArray("Zr440") << "Zr000" << true << "STM32F070F6";
    QTest::newRow("F100C6") << FamilyId::F100C6 << QByteArray("Zr436") << "Zr436" << false << "STM32F100C6";
    QTest::newRow("F100C8") << FamilyId::F100C8 << QByteArray("Zr501") << "Zr501" << true << "STM32F100C8";
    QTest::newRow("L051C8") << FamilyId::L051C8 << QByteArray("Zr601_L0") << "Zr601" << false << "STM32F100C8";
    QTest::newRow("F103RC_64KB") << FamilyId::F103RC_64KB << QByteArray("Zr480") << "Zr000" << true << "STM32F100C8";
    QTest::newRow("F103RC") << FamilyId::F103RC << QByteArray("Zr650") << "Zr627" << false << "STM32F103RC";
    QTest::newRow("F405RG") << FamilyId::F405RG << QByteArray("Zr553") << "Zr553" << true << "STM32F405RG";
    QTest::newRow("F474RB") << FamilyId::F474RB << QByteArray("Zr639") << "Zr000" << false << "STM32G474CB";
}

void TestUpgrade::endToEnd()
{
    QFETCH(FamilyId, id);
    QFETCH(QByteArray, model);
    QFETCH(QString, headerModel);
    QFETCH(bool, run);
    QFETCH(QString, layout);
    Rig rig(id, model);
    const UpgradeFamily &f = rig.family;
    // The file is made as the writer makes it for this family's models.
    const UpgradeLayout *written = upgradeLayout(layout);
    QVERIFY(written);
    const QByteArray image = testImage(written->imageSize, written->appOffset);
    const QByteArray before = rig.device->flash();
    const QString path = rig.file(headerModel, image);
    rig.sim.prompts.openFile(path).question(run ? Prompts::Yes : Prompts::No);
    const qint64 startUs = rig.sim.bus.elapsedUs();
    QVERIFY(rig.run());
    const qint64 tookUs = rig.sim.bus.elapsedUs() - startUs;
    QVERIFY(rig.sim.prompts.allAnswered());
    qInfo("%s: %d blocks in %.3f s of simulated time", f.name, f.blockCount(), tookUs / 1e6);

    // The file's application area lands exactly over the family's block range; the bootloader and the rest stay
    // as they were.
    const int first = int(written->appOffset);
    const int end = int(written->imageSize);
    const QByteArray after = rig.device->flash();
    QCOMPARE(after.left(first), before.left(first));
    QCOMPARE(after.mid(first, end - first), image.mid(first, end - first));
    QCOMPARE(after.mid(end), before.mid(end));

    QList<quint32> blocks;
    for (quint32 a = f.firstBlock; a != f.end; a += f.blockSize)
        blocks << a;
    const QList<QByteArray> writes = rig.sim.requests(CMD_WRITE_MEMORY);
    QCOMPARE(addressesOf(writes), blocks);
    QCOMPARE(blocks.size(), f.blockCount());
    for (const QByteArray &w : writes)
        QCOMPARE(readU32(w, 16), f.blockSize);
    QCOMPARE(addressesOf(rig.sim.requests(CMD_READ_MEMORY)), blocks);
    // Every write and read waits the family's reply window.
    QCOMPARE(rig.sim.bus.calls().count(QStringLiteral("FT_SetTimeouts(%1,0)").arg(f.readLimitMs)), 2 * blocks.size());

    const QList<QByteArray> erases = rig.sim.requests(CMD_ERASE);
    QCOMPARE(erases.size(), f.eraseSector ? 1 : 0);
    if (f.eraseSector) {
        QCOMPARE(rig.sim.bus.requests().first(), erases.first());
        QCOMPARE(quint8(erases.first().at(12)), quint8(5));
    }

    // With "Show all messages" off only F405RG logs its page lines.
    QStringList log = {path};
    if (f.eraseSector)
        log << "Erasing firmware ... ";
    log << "Writing firmware ... ";
    if (f.pageLog == PageLog::BeforeWriteAndAfterReadIfShowAll)
        for (quint32 a : blocks)
            log << QStringLiteral("Page address 0x%1 OK").arg(a, 8, 16, QLatin1Char('0'));
    log << "Upgrade succesfull!";
    QCOMPARE(rig.sim.messages(), log);

    const ScriptedPrompts::Progress &p = rig.sim.prompts.progresses.first();
    QCOMPARE(p.label, QStringLiteral("Writing firmware ... "));
    QCOMPARE(p.cancelText, QStringLiteral("Cancel"));
    QCOMPARE(p.min, int(f.firstBlock));
    QCOMPARE(p.max, int(f.end));
    QCOMPARE(p.values.size(), blocks.size());
    QCOMPARE(quint32(p.values.last()), blocks.last());
    QVERIFY(p.closed);

    const ScriptedPrompts::Shown open = rig.sim.prompts.shownOf(ScriptedPrompts::Kind::OpenFile).first();
    QCOMPARE(open.title, QStringLiteral("Open File"));
    QCOMPARE(open.dir, QStringLiteral("."));
    QCOMPARE(open.filter, QStringLiteral("Upg (*.upg)"));
    const ScriptedPrompts::Shown q = rig.sim.prompts.shownOf(ScriptedPrompts::Kind::Question).first();
    QCOMPARE(q.title, QStringLiteral("Upgrade succesfull!"));
    QCOMPARE(q.text, QStringLiteral("Do you want run firmware?"));
    QCOMPARE(q.buttons, int(Prompts::Yes | Prompts::No));
    QCOMPARE(q.defaultButton, Prompts::NoButton);
    QCOMPARE(rig.device->runCount(), run ? 1 : 0);
    QCOMPARE(rig.sim.requests(CMD_RUN).size(), run ? 1 : 0);
}

void TestUpgrade::refusals_data()
{
    QTest::addColumn<FamilyId>("id");
    QTest::addColumn<QByteArray>("device");
    QTest::addColumn<QString>("headerModel");
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("missingBytes"); // bytes short of the family's image size; -1: no file at all
    QTest::addColumn<QStringList>("log");  // after the path
    const auto F100C8 = FamilyId::F100C8, F405RG = FamilyId::F405RG, F100C6 = FamilyId::F100C6;
    QTest::newRow("Zr501, Zr498 header") << F100C8 << QByteArray("Zr501") << "Zr498" << "01" << 0
                                         << QStringList({"Wrong file header"});
    QTest::newRow("Zr498, Zr501 header") << F100C8 << QByteArray("Zr498") << "Zr501" << "01" << 0
                                         << QStringList({"Wrong file header"});
    QTest::newRow("L051C8 Zr501 rule") << FamilyId::L051C8 << QByteArray("Zr501") << "Zr529" << "01" << 0
                                       << QStringList({"Wrong file header"});
    QTest::newRow("version 1") << F100C8 << QByteArray("Zr529") << "Zr529" << "1" << 0
                               << QStringList({"Wrong file version", "1"});
    QTest::newRow("version 01 space") << F100C8 << QByteArray("Zr529") << "Zr529" << "01 " << 0
                                      << QStringList({"Wrong file version", "01 "});
    QTest::newRow("version of 21 characters") << F100C8 << QByteArray("Zr529") << "Zr529" << "01.23.4567-rc1+build7"
                                              << 0 << QStringList({"Wrong file version", "01.23.4567-rc1+build7"});
    QTest::newRow("no such file") << F100C8 << QByteArray("Zr529") << "Zr529" << "01" << -1
                                  << QStringList({"Wrong file version", ""});
    QTest::newRow("F405RG, Zr627 before version") << F405RG << QByteArray("Zr627") << "Zr627" << "1" << 0
                                                  << QStringList({"Wrong upgrade procedure, choose STM32F103RC"});
    QTest::newRow("F405RG, Zr680") << F405RG << QByteArray("Zr680") << "Zr680" << "01" << 0
                                   << QStringList({"Wrong upgrade procedure, choose STM32F100C6"});
    QTest::newRow("F405RG, Zr501 header") << F405RG << QByteArray("Zr501") << "Zr498" << "01" << 0
                                          << QStringList({"Wrong file header"});
    QTest::newRow("F100C6, F100C8 device") << F100C6 << QByteArray("Zr501") << "Zr501" << "01" << 0
                                           << QStringList({"Wrong upgrade procedure, choose STM32F100C8"});
    QTest::newRow("F100C6, F103RC device") << F100C6 << QByteArray("Zr650") << "Zr650" << "01" << 0
                                           << QStringList({"Wrong upgrade procedure, choose STM32F103RC"});
    QTest::newRow("F100C6, other model's header") << F100C6 << QByteArray("Zr436") << "Zr643" << "01" << 0
                                                  << QStringList({"Wrong file header"});
    QTest::newRow("F100C6, version") << F100C6 << QByteArray("Zr436") << "Zr436" << "02" << 0
                                     << QStringList({"Wrong file version", "02"});
    QTest::newRow("short image") << F100C8 << QByteArray("Zr501") << "Zr501" << "01" << 2
                                 << QStringList({"Wrong file size"});
    QTest::newRow("short image, no erase") << F405RG << QByteArray("Zr553") << "Zr553" << "01" << 0x400
                                           << QStringList({"Wrong file size"});
}

void TestUpgrade::refusals()
{
    QFETCH(FamilyId, id);
    QFETCH(QByteArray, device);
    QFETCH(QString, headerModel);
    QFETCH(QString, version);
    QFETCH(int, missingBytes);
    QFETCH(QStringList, log);
    Rig rig(id, device);
    const QByteArray before = rig.device->flash();
    const QString path = missingBytes < 0
            ? rig.dir.filePath("missing.upg")
            : rig.file(headerModel, appImage(rig.family).left(int(rig.family.imageSize) - missingBytes), version);
    rig.sim.prompts.openFile(path);
    QVERIFY(rig.run());
    QVERIFY(rig.sim.prompts.allAnswered());
    QCOMPARE(rig.sim.messages(), QStringList({path}) + log);
    QVERIFY(rig.sim.bus.requests().isEmpty());
    QVERIFY(rig.sim.prompts.progresses.isEmpty());
    QCOMPARE(rig.device->flash(), before);
}

// Files the procedures have always taken: bytes after the image are ignored, a device without a header rule takes
// a header of any length, and an image longer than the family's size gives its first S bytes.
void TestUpgrade::acceptedAsBefore_data()
{
    QTest::addColumn<QString>("headerModel");
    QTest::addColumn<int>("extraImageBytes");
    QTest::addColumn<int>("trailingBytes");
    QTest::newRow("bytes after the image") << "Zr529" << 0 << 0x40000; // more than any upgrade file of ours
    QTest::newRow("header of 100 characters") << QString(81, 'Z') << 0 << 0;
    QTest::newRow("longer image") << "Zr529" << 0x400 << 0;
}

void TestUpgrade::acceptedAsBefore()
{
    QFETCH(QString, headerModel);
    QFETCH(int, extraImageBytes);
    QFETCH(int, trailingBytes);
    Rig rig(FamilyId::F100C8, "Zr529");
    const QByteArray image = appImage(rig.family);
    const QString path = rig.file(headerModel, image + QByteArray(extraImageBytes, '\x33'));
    QFile f(path);
    QVERIFY(f.open(QIODevice::Append));
    f.write(QByteArray(trailingBytes, '\x44'));
    f.close();
    rig.sim.prompts.openFile(path).question(Prompts::No);
    QVERIFY(rig.run());
    QVERIFY(rig.sim.prompts.allAnswered());
    QCOMPARE(rig.sim.messages(), QStringList({path, "Writing firmware ... ", "Upgrade succesfull!"}));
    const int first = int(rig.family.firstBlock - kFlashBase);
    QCOMPARE(rig.device->flash().mid(first, int(rig.family.imageSize) - first), image.mid(first));
}

void TestUpgrade::lastDirectoryPerFamily()
{
    Rig rig(FamilyId::F100C8, "Zr529");
    const QString path = rig.file("Zr529", QByteArray(), "00");
    rig.sim.prompts.openFile(path).openFile(QString()).openFile(QString());
    QVERIFY(rig.run());
    QVERIFY(rig.run());
    QVERIFY(invoke(rig.sim, "slotUpgradeSTM32F103RC_family"));
    QVERIFY(rig.sim.prompts.allAnswered());
    const QList<ScriptedPrompts::Shown> dialogs = rig.sim.prompts.shownOf(ScriptedPrompts::Kind::OpenFile);
    QCOMPARE(dialogs.at(0).dir, QStringLiteral("."));
    QCOMPARE(dialogs.at(1).dir, path);
    QCOMPARE(dialogs.at(2).dir, QStringLiteral("."));
    QCOMPARE(rig.sim.messages().mid(3), QStringList({"No upgrade file selected", "No upgrade file selected"}));
    QVERIFY(rig.sim.bus.requests().isEmpty());
}

void TestUpgrade::droppedWriteReply()
{
    Rig rig(FamilyId::F100C8, "Zr501");
    const QByteArray before = rig.device->flash();
    const QByteArray image = appImage(rig.family);
    rig.sim.prompts.openFile(rig.file("Zr501", image));
    int writes = 0;
    rig.sim.bus.onRequest = [&](const QByteArray &frame) {
        if (readU16(frame, 2) == CMD_WRITE_MEMORY && ++writes == 3)
            rig.sim.bus.dropReplies(1);
    };
    QVERIFY(rig.run());
    QVERIFY(rig.sim.prompts.allAnswered());
    QCOMPARE(rig.sim.messages().last(), QStringLiteral("CRC err"));
    QCOMPARE(rig.count("Upgrade succesfull!"), 0);
    QCOMPARE(rig.sim.requests(CMD_WRITE_MEMORY).size(), 3);
    QCOMPARE(rig.sim.requests(CMD_READ_MEMORY).size(), 2);
    QVERIFY(rig.sim.prompts.progresses.first().closed);
    // Blocks before the failure are written; after it the application region keeps what it held.
    QCOMPARE(rig.device->flashAt(0x08002000, 0x800), image.mid(0x2000, 0x800));
    QCOMPARE(rig.device->flashAt(0x08002C00, 0xD400), before.mid(0x2C00, 0xD400));
}

void TestUpgrade::readBackDifference_data()
{
    QTest::addColumn<FamilyId>("id");
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<int>("errorLines");
    QTest::newRow("F030F4") << FamilyId::F030F4 << QByteArray("Zr440") << 1;
    QTest::newRow("F100C8") << FamilyId::F100C8 << QByteArray("Zr501") << 2;
    QTest::newRow("L051C8") << FamilyId::L051C8 << QByteArray("Zr581") << 2;
    QTest::newRow("F103RC_64KB") << FamilyId::F103RC_64KB << QByteArray("Zr507") << 1;
    QTest::newRow("F103RC") << FamilyId::F103RC << QByteArray("Zr627") << 1;
    QTest::newRow("F405RG compares too") << FamilyId::F405RG << QByteArray("Zr489") << 2;
    QTest::newRow("F474RB") << FamilyId::F474RB << QByteArray("Zr447") << 2;
}

void TestUpgrade::readBackDifference()
{
    QFETCH(FamilyId, id);
    QFETCH(QByteArray, model);
    QFETCH(int, errorLines);
    Rig rig(id, model);
    const quint32 bad = rig.family.firstBlock + rig.family.blockSize;
    rig.device->corruptReadBack(bad);
    rig.sim.prompts.openFile(rig.file(QString::fromLatin1(model), appImage(rig.family)));
    QVERIFY(rig.run());
    QVERIFY(rig.sim.prompts.allAnswered());
    const QStringList log = rig.sim.messages();
    QCOMPARE(log.mid(log.size() - errorLines), QStringList(QVector<QString>(errorLines, "Memory compare Error").toList()));
    QCOMPARE(rig.count("Memory compare Error"), errorLines);
    QCOMPARE(rig.count("Upgrade succesfull!"), 0);
    QCOMPARE(addressesOf(rig.sim.requests(CMD_WRITE_MEMORY)), QList<quint32>({rig.family.firstBlock, bad}));
    QVERIFY(rig.sim.prompts.progresses.first().closed);
    QCOMPARE(rig.device->runCount(), 0);
}

void TestUpgrade::f100c6Retries_data()
{
    QTest::addColumn<int>("badBlocks");     // blocks from 0x08002400 on whose read-back is corrupted
    QTest::addColumn<int>("corruptions");   // times each of them reads back wrong (-1: always)
    QTest::addColumn<int>("yes");           // warnings answered Yes before the one answered No (or the end)
    QTest::addColumn<bool>("finalNo");
    QTest::addColumn<int>("lastBadWrites"); // writes of the last bad block
    QTest::addColumn<bool>("completes");
    QTest::newRow("No at the third warning") << 1 << -1 << 2 << true << 1 + 31 + 2 << false;
    QTest::newRow("every retry used") << 1 << -1 << 70 << false << 1 + 31 + 69 << false;
    // The counter starts again at every good block: each block gets its own 31 silent retries.
    QTest::newRow("recovers, counter per block") << 2 << 40 << 2 * 9 << false << 41 << true;
}

void TestUpgrade::f100c6Retries()
{
    QFETCH(int, badBlocks);
    QFETCH(int, corruptions);
    QFETCH(int, yes);
    QFETCH(bool, finalNo);
    QFETCH(int, lastBadWrites);
    QFETCH(bool, completes);
    Rig rig(FamilyId::F100C6, "Zr643");
    const QString oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(rig.dir.path()));
    const auto restore = qScopeGuard([&] { QDir::setCurrent(oldCwd); });

    QList<quint32> bad;
    for (int i = 0; i < badBlocks; ++i) {
        bad << 0x08002400 + 0x400 * quint32(i);
        rig.device->corruptReadBack(bad.last(), corruptions);
    }
    const QByteArray image = appImage(rig.family);
    rig.sim.prompts.openFile(rig.file("Zr643", image));
    for (int i = 0; i < yes; ++i)
        rig.sim.prompts.warning(Prompts::Yes);
    if (finalNo)
        rig.sim.prompts.warning(Prompts::No);
    if (completes)
        rig.sim.prompts.question(Prompts::No);
    QVERIFY(rig.run());
    QVERIFY(rig.sim.prompts.allAnswered());

    const quint32 last = bad.last();
    const QString adr = QString::number(last, 16).rightJustified(8, QLatin1Char('0'));
    QCOMPARE(addressesOf(rig.sim.requests(CMD_WRITE_MEMORY)).count(last), lastBadWrites);
    QCOMPARE(rig.count("Memory compare Error @ adr= 0x" + adr), lastBadWrites - (completes ? 1 : 0));
    QCOMPARE(rig.count("Upgrade succesfull!"), completes ? 1 : 0);
    const QList<ScriptedPrompts::Shown> warnings = rig.sim.prompts.shownOf(ScriptedPrompts::Kind::Warning);
    QCOMPARE(warnings.size(), yes + (finalNo ? 1 : 0));
    QCOMPARE(warnings.last().title, QStringLiteral("Error"));
    QCOMPARE(warnings.last().text, "Memory compare Error @ adr= 0x" + adr + "\nContinue?");
    QCOMPARE(warnings.last().buttons, int(Prompts::Yes | Prompts::No));
    QCOMPARE(warnings.last().defaultButton, Prompts::NoButton);

    // The dumps hold the last difference: the expected block and what came back.
    QFile written(UpgradeEngine::kWrittenDumpName), read(UpgradeEngine::kReadDumpName);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(read.open(QIODevice::ReadOnly));
    const QByteArray expected = image.mid(int(last - kFlashBase), 0x400);
    const QByteArray readBack = read.readAll();
    QCOMPARE(written.readAll(), expected);
    QCOMPARE(readBack.size(), expected.size());
    QVERIFY(readBack != expected);
    if (completes)
        QCOMPARE(rig.device->flashAt(0x08002000, 0x6000), image.mid(0x2000, 0x6000));
}

// Links planted under the dump names in the working directory are neither followed nor replaced: the file they
// point to keeps its bytes, and nothing is created where a dangling one points. The upgrade goes on as before.
void TestUpgrade::plantedLinksNotFollowed()
{
#ifndef Q_OS_UNIX
    QSKIP("a link planted under a fixed name is a hazard of POSIX symbolic links");
#endif
    Rig rig(FamilyId::F100C6, "Zr643");
    const QString oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(rig.dir.path()));
    const auto restore = qScopeGuard([&] { QDir::setCurrent(oldCwd); });
    QFile victim("victim");
    QVERIFY(victim.open(QIODevice::WriteOnly) && victim.write("root's own file") > 0);
    victim.close();
    QVERIFY(QFile::link("victim", UpgradeEngine::kWrittenDumpName));
    QVERIFY(QFile::link("created", UpgradeEngine::kReadDumpName));

    rig.device->corruptReadBack(0x08002400, 1);
    const QByteArray image = appImage(rig.family);
    rig.sim.prompts.openFile(rig.file("Zr643", image)).question(Prompts::No);
    QVERIFY(rig.run());
    QVERIFY(rig.sim.prompts.allAnswered());
    QCOMPARE(rig.count("Memory compare Error @ adr= 0x08002400"), 1);
    QCOMPARE(rig.count("Upgrade succesfull!"), 1);
    QVERIFY(victim.open(QIODevice::ReadOnly));
    QCOMPARE(victim.readAll(), QByteArray("root's own file"));
    QVERIFY(!QFileInfo::exists("created"));
    QVERIFY(QFileInfo(UpgradeEngine::kWrittenDumpName).isSymLink());
    QVERIFY(QFileInfo(UpgradeEngine::kReadDumpName).isSymLink());
}

void TestUpgrade::pageLines_data()
{
    QTest::addColumn<FamilyId>("id");
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<bool>("showAll");
    QTest::addColumn<int>("perBlock"); // "Page address" lines per block
    QTest::newRow("F100C8 quiet") << FamilyId::F100C8 << QByteArray("Zr501") << false << 0;
    QTest::newRow("F100C8 show all") << FamilyId::F100C8 << QByteArray("Zr501") << true << 1;
    QTest::newRow("F474RB show all") << FamilyId::F474RB << QByteArray("Zr628") << true << 1;
    QTest::newRow("F405RG quiet") << FamilyId::F405RG << QByteArray("Zr403") << false << 1;
    QTest::newRow("F405RG show all") << FamilyId::F405RG << QByteArray("Zr403") << true << 2;
    QTest::newRow("F103RC show all") << FamilyId::F103RC << QByteArray("Zr627") << true << 0;
    QTest::newRow("F100C6 show all") << FamilyId::F100C6 << QByteArray("Zr680") << true << 0;
}

void TestUpgrade::pageLines()
{
    QFETCH(FamilyId, id);
    QFETCH(QByteArray, model);
    QFETCH(bool, showAll);
    QFETCH(int, perBlock);
    Rig rig(id, model);
    rig.sim.window.state().showAllMessages = showAll;
    rig.sim.prompts.openFile(rig.file(QString::fromLatin1(model), appImage(rig.family))).question(Prompts::No);
    QVERIFY(rig.run());
    QVERIFY(rig.sim.prompts.allAnswered());
    const QStringList log = rig.sim.messages();
    for (quint32 a = rig.family.firstBlock; a != rig.family.end; a += rig.family.blockSize)
        QCOMPARE(log.count(QStringLiteral("Page address 0x%1 OK").arg(a, 8, 16, QLatin1Char('0'))), perBlock);
    QCOMPARE(log.filter("Page address").size(), perBlock * rig.family.blockCount());
    QCOMPARE(log.last(), QStringLiteral("Upgrade succesfull!"));
}

QTEST_MAIN(TestUpgrade)
#include "test_upgrade.moc"
