// End to end through the operating system's serial I/O: zrsim serves simulated devices on a pseudo-terminal in
// real time, the window connects and upgrades through SerialPortDriver as it would through a USB cable.
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

#include "app/flasher.h"
#include "boot/upgradefamily.h"
#include "link/serialportdriver.h"
#include "tests/support/scriptedprompts.h"
#include "tests/support/upgradefixture.h"
#include "tests/support/zrsimprocess.h"

namespace {
QStringList messages(Flasher &window)
{
    const QString text = window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"))->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}
} // namespace

class TestZrsim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }
    void connectAndUpgrade_data();
    void connectAndUpgrade();
    void zrtoolRetriesOverALossyLine();
    void endsOnSigterm();
    void refusals_data();
    void refusals();
};

void TestZrsim::connectAndUpgrade_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("clean line") << QStringList() << true;
    // Half the replies lost: Connect retries until one gets through, the upgrade stops at its first lost reply.
    QTest::newRow("replies dropped") << QStringList({"--drop-rate", "0.5", "--seed", "7"}) << false;
    QTest::newRow("replies corrupted") << QStringList({"--corrupt-rate", "0.5", "--seed", "3"}) << false;
}

void TestZrsim::connectAndUpgrade()
{
    QFETCH(QStringList, faults);
    QFETCH(bool, succeeds);
    // Zr440: an STM32F030F4, the smallest family (26 blocks of 1 KiB), reached through Connect.
    Zrsim sim(QStringList({"--device", "Zr440"}) + faults);
    QVERIFY2(sim.port.startsWith("/dev/"), qPrintable(sim.process.readAllStandardError()));

    const UpgradeFamily *family = dispatchFamily("Zr440", connectDispatchOrder());
    QVERIFY(family);
    const quint32 appOffset = family->firstBlock - 0x08000000;
    const QByteArray image = testImage(family->imageSize, appOffset);
    QTemporaryDir dir;
    const QString upg = writeTestUpgradeFile(dir.filePath("Zr440.upg"), QStringLiteral("Zr440"), image);
    QVERIFY(!upg.isEmpty());

    SerialPortDriver driver({sim.port});
    ScriptedPrompts prompts;
    Flasher window(&prompts, &driver);
    prompts.item(QStringLiteral("Serial port S/N: ") + sim.port);
    prompts.question(Prompts::Yes).openFile(upg);
    if (succeeds)
        prompts.question(Prompts::No);
    QElapsedTimer took;
    took.start();
    QVERIFY(QMetaObject::invokeMethod(&window, "slotConnect"));
    qInfo("connect and upgrade over the pseudo-terminal: %.1f s", took.elapsed() / 1000.0);
    const QStringList lines = messages(window);
    QVERIFY2(prompts.allAnswered(), qPrintable(lines.join('\n')));
    QVERIFY2(lines.contains(QStringLiteral("Zr440")) || lines.join(' ').contains("Zr440"), qPrintable(lines.join('\n')));
    // A pseudo-terminal has no latency timer: fast replies' quiet check is two byte times, one whole millisecond.
    QCOMPARE(window.cable().quietMs(), 1);
    window.cable().close();
    QVERIFY(sim.stop());
    const QByteArray flash = sim.flash(0);
    QVERIFY(flash.size() >= int(family->end - 0x08000000));
    const int app = int(family->end - family->firstBlock);
    if (succeeds) {
        QCOMPARE(lines.last(), QStringLiteral("Upgrade succesfull!"));
        QCOMPARE(flash.mid(int(appOffset), app), image.mid(int(appOffset), app));
    } else {
        QVERIFY2(!lines.contains(QStringLiteral("Upgrade succesfull!")), qPrintable(lines.join('\n')));
        QCOMPARE(lines.last(), QStringLiteral("CRC err"));
        QVERIFY(flash.mid(int(appOffset), app) != image.mid(int(appOffset), app));
    }
}

// zrtool's upgrade over the real serial path on a line that loses, corrupts and garbles replies (5 % each): it gets through, and what
// it calls done is what the device's flash holds.
void TestZrsim::zrtoolRetriesOverALossyLine()
{
    Zrsim sim({"--device", "Zr440", "--drop-rate", "0.05", "--corrupt-rate", "0.05", "--noise-rate", "0.05", "--seed",
               "11"});
    QVERIFY2(sim.port.startsWith("/dev/"), qPrintable(sim.process.readAllStandardError()));
    const UpgradeFamily *family = dispatchFamily("Zr440", connectDispatchOrder());
    const quint32 appOffset = family->firstBlock - 0x08000000;
    QByteArray image = testImage(family->imageSize, appOffset, 5);
    image.replace(int(0x08001FC0 - 0x08000000), 6, QByteArray("Zr440", 6)); // its layout writes the descriptor
    QTemporaryDir dir;
    const QString upg = writeTestUpgradeFile(dir.filePath("Zr440.upg"), QStringLiteral("Zr440"), image);
    QProcess tool;
    tool.start(QStringLiteral(ZRTOOL_PATH), {"upgrade", "--no-registry", "--cable-backend", "serial", "--cable",
                                             sim.port, upg});
    QVERIFY(tool.waitForFinished(120000));
    const QString err = QString::fromLocal8Bit(tool.readAllStandardError());
    QCOMPARE(tool.exitCode(), 0);
    QVERIFY2(err.isEmpty(), qPrintable(err));
    QVERIFY(sim.stop());
    const int app = int(family->end - family->firstBlock);
    QCOMPARE(sim.flash(0).mid(int(appOffset), app), image.mid(int(appOffset), app));
}

// Never left running: SIGTERM ends it cleanly, as closing its input does.
void TestZrsim::endsOnSigterm()
{
    Zrsim sim({});
    QVERIFY(sim.port.startsWith("/dev/"));
    QVERIFY(QFile::exists(sim.port));
    sim.process.terminate();
    QVERIFY(sim.process.waitForFinished(10000));
    QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process.exitCode(), 0);
    QCOMPARE(sim.flash(0).size(), 0x10000); // the default Zr501 (STM32F100C8), written on the way out
}


// Options that cannot serve are refused at once with one line, before any port is made: a key table that is a FIFO
// (which would block the open), and a device ID given twice.
void TestZrsim::refusals_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("message");
    QTest::newRow("key table FIFO") << QStringList({"--key-table", "fifo"})
                                    << "zrsim: key table fifo: not a regular file (a FIFO) (see --help)\n";
    QTest::newRow("one ID twice") << QStringList({"--device", "Zr501@0x0379C02B", "--device", "Zr529@0x0379c02b"})
                                  << "zrsim: --device Zr529@0x0379c02b: another device has this ID (see --help)\n";
}

void TestZrsim::refusals()
{
    QFETCH(QStringList, options);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600) == 0);
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral(ZRSIM_PATH), options);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 1);
    QCOMPARE(QString::fromLocal8Bit(p.readAllStandardError()), message);
    QCOMPARE(p.readAllStandardOutput(), QByteArray());
}

QTEST_MAIN(TestZrsim)
#include "test_zrsim.moc"
