// The diagnostic traces of the window: nothing on stderr for a connect and an upgrade unless --verbose's rule is on.
#include <QtTest>

#include "core/logcategories.h"
#include "boot/upgradefamily.h"
#include "tests/support/upgradefixture.h"

namespace {
// Every message that would reach stderr, as "category: text".
QStringList g_messages;

void capture(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    g_messages << QString::fromLatin1(context.category ? context.category : "?") + QStringLiteral(": ") + message;
}
} // namespace

class TestTraces : public QObject
{
    Q_OBJECT

private slots:
    void connectAndUpgrade_data();
    void connectAndUpgrade();
};

void TestTraces::connectAndUpgrade_data()
{
    QTest::addColumn<bool>("verbose");
    QTest::newRow("default") << false;
    QTest::newRow("--verbose") << true;
}

void TestTraces::connectAndUpgrade()
{
    QFETCH(bool, verbose);
    QTemporaryDir dir;
    SimWindow sim;
    SimDevice *device = addDevice(sim, "Zr501", "STM32F100C8");
    const UpgradeFamily *family = dispatchFamily("Zr501", connectDispatchOrder());
    QVERIFY(family);
    const QByteArray image = testImage(family->imageSize, family->firstBlock - 0x08000000);
    const QString path = writeTestUpgradeFile(dir.filePath("fw.upg"), QStringLiteral("Zr501"), image);

    QLoggingCategory::setFilterRules(QString());
    if (verbose)
        enableAllTraces();
    g_messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(capture);
    sim.openCable();
    sim.prompts.question(Prompts::Yes).openFile(path).question(Prompts::No);
    invoke(sim, "slotConnect");
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());

    QVERIFY(sim.prompts.allAnswered());
    QCOMPARE(sim.messages().last(), QStringLiteral("Upgrade succesfull!"));
    const int app = int(family->end - family->firstBlock);
    QCOMPARE(device->flashAt(family->firstBlock, app), image.mid(int(family->firstBlock - 0x08000000), app));
    if (!verbose) {
        QCOMPARE(g_messages, QStringList());
        return;
    }
    // The cable enumeration, every frame both ways with its CRCs, the encoding, the connect reply, the upgrade.
    for (const char *trace : {"zr.link: Number of devices is 1", "zr.link: >>>>> ", "zr.link: <<<<< ",
                                 "zr.link: crc computed:", "zr.codec: Encoding started @ 0x", "zr.boot: length ",
                                 "zr.boot: Start firmware upgrade"})
        QVERIFY2(!g_messages.filter(QLatin1String(trace)).isEmpty(), trace);
    // Only our own categories speak, and every frame sent is dumped.
    QCOMPARE(g_messages.filter(QRegularExpression("^zr\\.")).size(), g_messages.size());
    QCOMPARE(g_messages.filter("zr.link: >>>>> ").size(), sim.bus.requests().size());
}

int main(int argc, char *argv[])
{
    // The rules under test are the program's own; a developer's rules from the environment would change them.
    qunsetenv("QT_LOGGING_RULES");
    qunsetenv("QT_LOGGING_CONF");
    QApplication app(argc, argv);
    TestTraces test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_traces.moc"
