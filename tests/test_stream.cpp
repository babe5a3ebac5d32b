// The stream upgrade against the simulated bus: connect frames, three passes of block frames, cancel, refusals.
#include <QAction>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include "boot/streamupgrade.h"
#include "builders/upgradefile.h"
#include "tests/support/simwindow.h"

using Kind = ScriptedPrompts::Kind;

namespace {
const QString kConnectLabel = QStringLiteral("1. Connect USB-RS Cable\n2.Reset Power Supply of device");
const QString kFinished = QStringLiteral("Upgrade Stream finished!");

SimDeviceConfig device(const QByteArray &model, quint32 id, int silentConnects)
{
    SimDeviceConfig c;
    c.modelCode = model;
    c.deviceId = id;
    c.silentConnects = silentConnects;
    return c;
}

// An upgrade file as the writer makes it; the plain image is returned in *plain.
QString makeUpgradeFile(const QString &dir, const QString &model, quint32 imageSize, QByteArray *plain = nullptr)
{
    QByteArray image = testBytes(int(imageSize), 11);
    const QString path = dir + QStringLiteral("/") + model + QStringLiteral(".upg");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || !writeUpgradeFile(&f, model, kUpgradeFileVersion, image))
        return QString();
    if (plain)
        *plain = image;
    return path;
}
} // namespace

class TestStream : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }
    void connectFrameName_data();
    void connectFrameName();
    void procedureUpgradesHeldDevices();
    void cancelDuringStream();
    void refused_data();
    void refused();
    void noCable();
    void menuActions();
};

void TestStream::connectFrameName_data()
{
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("area");
    const QByteArray zeros(48, '\0');
    auto padded = [&](const QByteArray &b) { return b + zeros.left(48 - b.size()); };
    QTest::newRow("preset") << false << "Zr556" << padded("Zr556");
    QTest::newRow("16 characters") << false << "ABCDEFGHIJKLMNOP" << padded("ABCDEFGHIJKLMNOP");
    QTest::newRow("above U+00FF becomes 0") << false << QString::fromUtf8("\xC5\x81" "d\xC3\xB3") // Ł d ó
                                            << padded(QByteArray("\x00" "d\xF3", 3));
    QTest::newRow("empty") << false << "" << zeros;
    QTest::newRow("cancelled dialog") << true << "" << zeros;
    const QString longName = QString(30, QLatin1Char('a')) + QString(30, QLatin1Char('b'));
    QTest::newRow("cut to 48") << false << longName << QByteArray(30, 'a') + QByteArray(18, 'b');
}

void TestStream::connectFrameName()
{
    QFETCH(bool, cancelled);
    QFETCH(QString, name);
    QFETCH(QByteArray, area);
    SimWindow sw;
    QVERIFY(sw.openCable());
    if (cancelled)
        sw.prompts.cancel(Kind::Text);
    else
        sw.prompts.text(name);
    sw.prompts.cancelProgressAfter(3);
    sw.window.slotStreamConnect();
    QVERIFY(sw.prompts.allAnswered());

    const auto ask = sw.prompts.shown.first();
    QCOMPARE(ask.title, QStringLiteral("Device"));
    QCOMPARE(ask.text, QStringLiteral("Device"));
    QCOMPARE(ask.dir, QStringLiteral("Zr556"));
    const QList<QByteArray> frames = sw.requests(CMD_STREAM_CONNECT);
    QCOMPARE(frames.size(), 2);
    const QByteArray f = frames.first();
    QCOMPARE(f.size(), 64);
    QCOMPARE(readU16(f, 0), quint16(14));
    QCOMPARE(readU32(f, 4), 0u);
    QCOMPARE(f.mid(12, 48), area);
    QCOMPARE(readU16(f, 60), quint16(0));
    QCOMPARE(sw.window.state().targetAddress, 0u);
    QCOMPARE(sw.messages(), QStringList()); // no closing message, no dumps without "Show all messages"

    // With "Show all messages" every attempt logs its reply (none here: the bus is empty).
    sw.window.slotShowAllMsg(2);
    sw.prompts.text(name).cancelProgressAfter(3);
    sw.window.slotStreamConnect();
    QCOMPARE(sw.messages().filter("src address").size(), 2);
}

// Three Zr556 devices switched on one after another during the connect loop are held and upgraded together;
// a Zr501 on the same bus starts its application and is left alone.
void TestStream::procedureUpgradesHeldDevices()
{
    QTemporaryDir dir;
    QByteArray plain;
    const QString path = makeUpgradeFile(dir.path(), "Zr556", 0x10000, &plain);
    QVERIFY(!path.isEmpty());
    const QByteArray stored = readUpgradeFile(path).image;

    SimWindow sw;
    QList<SimDevice *> targets = {sw.bus.addDevice(device("Zr556", 0x2C79C001, 3)),
                                  sw.bus.addDevice(device("Zr556", 0x2C79C002, 10)),
                                  sw.bus.addDevice(device("Zr556", 0x2C79C003, 400))};
    SimDevice *other = sw.bus.addDevice(device("Zr501", 0x0379C02A, 5));
    QVERIFY(sw.openCable());
    sw.prompts.text("Zr556").openFile(path);
    sw.window.slotStreamUpgradeProcedure();
    QVERIFY(sw.prompts.allAnswered());

    QCOMPARE(sw.requests(CMD_STREAM_CONNECT).size(), StreamUpgrade::kConnectAttempts);
    const QList<QByteArray> blocks = sw.requests(CMD_STREAM_WRITE);
    QCOMPARE(blocks.size(), 168);
    for (int i = 0; i < blocks.size(); ++i) {
        const quint32 address = 0x08002000u + quint32(i % 56) * 1024;
        QCOMPARE(readU32(blocks[i], 4), 0u);
        QCOMPARE(readU32(blocks[i], 12), address);
        QCOMPARE(readU16(blocks[i], 0), quint16(0x0416));
        // On the wire each block is the file's own bytes at its offset.
        QCOMPARE(blocks[i].mid(20, 1024), stored.mid(int(address - 0x08000000), 1024));
    }
    for (SimDevice *d : targets)
        QCOMPARE(d->flashAt(0x08002000, 0xE000), plain.mid(0x2000));
    QCOMPARE(other->flashAt(0x08002000, 0xE000), QByteArray(0xE000, char(0xFF)));

    QCOMPARE(sw.messages(), QStringList({path, "Writing firmware ... ", kFinished}));
    QCOMPARE(sw.prompts.progresses.size(), 2);
    const auto connect = sw.prompts.progresses[0];
    QCOMPARE(connect.label, kConnectLabel);
    QCOMPARE(connect.cancelText, QStringLiteral("Cancel"));
    QCOMPARE(connect.max, 1000);
    const auto stream = sw.prompts.progresses[1];
    QCOMPARE(stream.label, QStringLiteral("Writing firmware ... "));
    QCOMPARE(stream.min, 0x08002000);
    QCOMPARE(stream.max, 0x08010000);
    QCOMPARE(stream.values.size(), 168);
    QCOMPARE(sw.prompts.processEventsCalls, 168);

    // The next stream upgrade starts where this one chose its file.
    const auto first = sw.prompts.shownOf(Kind::OpenFile).first();
    QCOMPARE(first.dir, QStringLiteral("."));
    QCOMPARE(first.filter, QStringLiteral("Upg (*.upg)"));
    sw.prompts.openFile(QString());
    sw.window.slotStreamUpgrade();
    QCOMPARE(sw.prompts.shownOf(Kind::OpenFile).last().dir, path);
    QCOMPARE(sw.messages().last(), QStringLiteral("No upgrade file selected"));
}

void TestStream::cancelDuringStream()
{
    QTemporaryDir dir;
    const QString path = makeUpgradeFile(dir.path(), "Zr556", 0x10000);
    SimWindow sw;
    sw.bus.addDevice(device("Zr556", 0x2C79C001, 0));
    QVERIFY(sw.openCable());
    sw.prompts.openFile(path).cancelProgressAfter(5);
    sw.window.slotStreamUpgrade();
    QCOMPARE(sw.requests(CMD_STREAM_WRITE).size(), 5);
    QCOMPARE(sw.messages(), QStringList({path, "Writing firmware ... ", "Upgrade Stream Canceled!", kFinished}));
    QVERIFY(sw.prompts.progresses[0].closed);
}

void TestStream::refused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("line");
    QTest::newRow("image of a 32 KiB layout") << "short" << "Wrong file size";
    QTest::newRow("not an upgrade file") << "garbage" << "Wrong file header";
    QTest::newRow("missing file") << "missing" << "Wrong file header";
    // One model's firmware must not reach a bus of another, nor a model of another layout.
    QTest::newRow("model of another layout") << "zr440" << "Wrong file header";
    QTest::newRow("model of another family list") << "zr628" << "Wrong file header";
    QTest::newRow("another model than the stream connect called") << "zr529" << "Wrong file header";
}

// Nothing is sent for a file whose image does not cover the 64 KiB layout, or that is not the called model's.
void TestStream::refused()
{
    QFETCH(QString, kind);
    QFETCH(QString, line);
    QTemporaryDir dir;
    QString path = dir.path() + "/missing.upg";
    if (kind == "short")
        path = makeUpgradeFile(dir.path(), "Zr556", 0x8000);
    else if (kind == "garbage")
        path = writeFile(dir.path(), "garbage.upg", testBytes(100));
    else if (kind == "zr440")
        path = makeUpgradeFile(dir.path(), "Zr440", 0x10000);
    else if (kind == "zr628")
        path = makeUpgradeFile(dir.path(), "Zr628", 0x10000);
    else if (kind == "zr529")
        path = makeUpgradeFile(dir.path(), "Zr529", 0x10000);
    SimWindow sw;
    QVERIFY(sw.openCable());
    if (kind == "zr529") {
        // A Stream Connect of this run called the Zr501s.
        sw.prompts.text("Zr501");
        sw.prompts.cancelProgressAfter(1);
        sw.window.slotStreamConnect();
        sw.bus.clearLog();
        sw.prompts.progresses.clear();
    }
    sw.prompts.openFile(path);
    sw.window.slotStreamUpgrade();
    QCOMPARE(sw.messages(), QStringList({path, line}));
    QVERIFY(sw.bus.requests().isEmpty());
    QVERIFY(sw.prompts.progresses.isEmpty());
}

void TestStream::noCable()
{
    SimWindow sw;
    sw.bus.setCables({});
    sw.prompts.critical().critical();
    sw.window.slotStreamUpgradeProcedure(); // the upgrade runs although the connect found no cable
    QVERIFY(sw.prompts.allAnswered());
    QCOMPARE(sw.messages(), QStringList({"Connect USB Cable !!!", "Connect USB Cable !!!"}));
    QCOMPARE(sw.window.state().targetAddress, 0u);
}

void TestStream::menuActions()
{
    SimWindow sw;
    QVERIFY(sw.openCable());
    // The window builds the two single-step entries disabled; enabled, they reach their slots.
    for (const char *name : {"actionConnectStream", "actionUpgradeStream"})
        sw.window.findChild<QAction *>(name)->setEnabled(true);
    sw.prompts.cancel(Kind::Text).cancelProgressAfter(1);
    sw.window.findChild<QAction *>("actionConnectStream")->trigger();
    sw.prompts.openFile(QString());
    sw.window.findChild<QAction *>("actionUpgradeStream")->trigger();
    sw.prompts.cancel(Kind::Text).cancelProgressAfter(1).openFile(QString());
    sw.window.findChild<QAction *>("actionStartStreamUpgradeProcedure")->trigger();
    QVERIFY(sw.prompts.allAnswered());
    QCOMPARE(sw.prompts.progresses.size(), 2);
    QCOMPARE(sw.messages(), QStringList({"No upgrade file selected", "No upgrade file selected"}));
}

QTEST_MAIN(TestStream)
#include "test_stream.moc"
