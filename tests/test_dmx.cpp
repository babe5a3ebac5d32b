// The DMX test console: packets on the simulated bus, channel count, packet interval, wheel, copy/paste, ramp.
#include <QtTest>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <memory>

#include "app/flasher.h"
#include "dmx/dmxdialog.h"
#include "dmx/mytablewidget.h"
#include "link/rs485cable.h"
#include "sim/simulatedbus.h"
#include "tests/support/scriptedprompts.h"

namespace {

const QString kCableChoice = QStringLiteral("USB-RS485 Cable (simulated bus) S/N: ZRSIM001");

// A console on an open cable to the simulated bus.
struct Console
{
    SimulatedBus bus;
    ScriptedPrompts prompts;
    RS485Cable cable{nullptr, 250000, 8, 2, 0, &bus, &prompts};
    std::unique_ptr<DmxDialog> dialog;

    Console()
    {
        prompts.item(kCableChoice);
        if (!cable.ensureOpen())
            qFatal("the simulated cable did not open");
        open();
    }
    void open() { dialog = std::make_unique<DmxDialog>(nullptr, Qt::WindowFlags(), &cable); }
    MyTableWidget *table() const { return dialog->findChild<MyTableWidget *>(); }
    // The cell of a channel (1..520).
    QTableWidgetItem *cell(int channel) const { return table()->item((channel - 1) / 20, (channel - 1) % 20); }
    int value(int channel) const { return cell(channel)->data(Qt::EditRole).toInt(); }
    void set(int channel, int v) const { cell(channel)->setData(Qt::EditRole, v); }
    // Selects channels first..last (one row).
    void select(int first, int last) const
    {
        table()->clearSelection();
        table()->setRangeSelected(QTableWidgetSelectionRange((first - 1) / 20, (first - 1) % 20, (last - 1) / 20,
                                                             (last - 1) % 20),
                                  true);
    }
    // One tick of the packet timer; returns the packet it sent.
    QByteArray tick()
    {
        bus.clearLog();
        dialog->slotTimeout();
        return bus.dmxPackets().size() == 1 ? bus.dmxPackets().first() : QByteArray();
    }
    void clickAuto() const { QTest::mouseClick(dialog->autoButton, Qt::LeftButton); }
};

} // namespace

class TestDmx : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void openingPacket();
    void packetsFlowFromTheTimer();
    void channelCount_data();
    void channelCount();
    void packetInterval_data();
    void packetInterval();
    void longPacketIntervalFollowsChannels();
    void sentRateShown_data();
    void sentRateShown();
    void sliderTooltips();
    void wheel_data();
    void wheel();
    void copyPasteRepeats();
    void sliderSetsSelectedCells();
    void enterKeepsValues();
    void rampTriangle();
    void clearRestartsRisingRamp();
    void rampFlagOutlivesDialog();
    void windowOpensConsole();
    void windowWithoutCable();
};

// The ramp flag is program-wide; every test starts with it off, whatever an earlier failure left.
void TestDmx::init()
{
    if (DmxDialog::rampRunning())
        DmxDialog(nullptr, Qt::WindowFlags(), nullptr).autoButtonClicked(false);
    QVERIFY(!DmxDialog::rampRunning());
}

void TestDmx::openingPacket()
{
    Console c;
    QCOMPARE(c.dialog->windowTitle(), QStringLiteral("Dmx"));
    QCOMPARE(c.table()->rowCount(), 26);
    QCOMPARE(c.table()->columnCount(), 20);
    QCOMPARE(c.table()->horizontalHeaderItem(0)->text(), QStringLiteral("+01"));
    QCOMPARE(c.table()->horizontalHeaderItem(19)->text(), QStringLiteral("+20"));
    QCOMPARE(c.table()->verticalHeaderItem(0)->text(), QStringLiteral("00"));
    QCOMPARE(c.table()->verticalHeaderItem(25)->text(), QStringLiteral("500"));
    QCOMPARE(c.dialog->spinBoxDmxChannels->value(), 24);
    QCOMPARE(c.dialog->spinBoxDMXPacketsPerSec->value(), 100);
    QCOMPARE(c.table()->currentItem(), c.cell(1));

    c.set(1, 11);
    c.set(24, 240);
    c.set(25, 99); // beyond the channel count
    QByteArray expected(25, '\0');
    expected[1] = char(11);
    expected[24] = char(240);
    QCOMPARE(c.tick(), expected);
    QCOMPARE(c.bus.calls(), QStringList({"FT_ClrRts", "FT_Purge(3)", "FT_SetBreakOn", "FT_SetBreakOff",
                                         "FT_Write(25)"}));
}

void TestDmx::packetsFlowFromTheTimer()
{
    Console c;
    c.set(2, 77);
    QVERIFY(c.dialog->packetTimer().isActive());
    QCOMPARE(c.dialog->packetTimer().timerType(), Qt::PreciseTimer);
    QTRY_VERIFY(c.bus.dmxPackets().size() >= 2);
    QCOMPARE(c.bus.dmxPackets().last().size(), 25);
    QCOMPARE(int(quint8(c.bus.dmxPackets().last().at(2))), 77);

    c.dialog.reset(); // closing the console ends the output
    const int sent = c.bus.dmxPackets().size();
    QTest::qWait(30);
    QCOMPARE(c.bus.dmxPackets().size(), sent);
}

void TestDmx::channelCount_data()
{
    QTest::addColumn<int>("asked");
    QTest::addColumn<bool>("throughSpinBox");
    QTest::addColumn<int>("channels");

    QTest::newRow("512") << 512 << true << 512;
    QTest::newRow("1") << 1 << true << 1;
    QTest::newRow("37") << 37 << true << 37;
    QTest::newRow("600 clamped") << 600 << false << 512;
    QTest::newRow("0 clamped") << 0 << false << 1;
}

// Exactly the first `channels` cells are enabled and sent; the 8 cells after channel 512 never are.
void TestDmx::channelCount()
{
    QFETCH(int, asked);
    QFETCH(bool, throughSpinBox);
    QFETCH(int, channels);

    Console c;
    for (int ch = 1; ch <= 520; ++ch)
        c.set(ch, ch % 251 + 1);
    if (throughSpinBox)
        c.dialog->spinBoxDmxChannels->setValue(asked);
    else
        c.dialog->setDmxChannels(asked);

    QCOMPARE(c.dialog->spinBoxDmxChannels->value(), channels);
    for (int ch = 1; ch <= 520; ++ch)
        QVERIFY2(bool(c.cell(ch)->flags() & Qt::ItemIsEnabled) == (ch <= channels), qPrintable(QString::number(ch)));
    const QByteArray packet = c.tick();
    QCOMPARE(packet.size(), channels + 1);
    QCOMPARE(packet.at(0), '\0');
    for (int ch = 1; ch <= channels; ++ch)
        QCOMPARE(int(quint8(packet.at(ch))), ch % 251 + 1);
}

void TestDmx::packetInterval_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("interval");

    QTest::newRow("100") << 100 << 10;
    QTest::newRow("7") << 7 << 142;
    QTest::newRow("3") << 3 << 333;
    QTest::newRow("1") << 1 << 1000;
    QTest::newRow("250 clamped") << 250 << 10;
}

void TestDmx::packetInterval()
{
    QFETCH(int, rate);
    QFETCH(int, interval);

    Console c;
    if (rate <= 100)
        c.dialog->spinBoxDMXPacketsPerSec->setValue(rate);
    else
        c.dialog->setPacketsPerSeconds(rate);
    QCOMPARE(c.dialog->packetTimer().interval(), interval);
    QVERIFY(c.dialog->packetTimer().isActive());
}

// 513 slots take 22.6 ms on the wire: at 100 / s the next packet would cut the previous one off.
void TestDmx::longPacketIntervalFollowsChannels()
{
    Console c;
    const qint64 wireUs = 92 /* shortest DMX break */ + 513 * kSimByteUs;
    c.dialog->spinBoxDmxChannels->setValue(512);
    const int interval = c.dialog->packetTimer().interval();
    QVERIFY2(interval * 1000 > wireUs, qPrintable(QString::number(interval)));
    QVERIFY2(interval <= 30, qPrintable(QString::number(interval))); // still as fast as the line allows
    QCOMPARE(c.dialog->spinBoxDMXPacketsPerSec->value(), 100);
    QVERIFY(c.dialog->packetTimer().isActive());

    c.dialog->spinBoxDMXPacketsPerSec->setValue(3); // slow enough: the rate rules again
    QCOMPARE(c.dialog->packetTimer().interval(), 333);
    c.dialog->spinBoxDMXPacketsPerSec->setValue(100);
    c.dialog->spinBoxDmxChannels->setValue(24);
    QCOMPARE(c.dialog->packetTimer().interval(), 10);
}

void TestDmx::sentRateShown_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("interval"); // of the packet timer, ms
    QTest::addColumn<QString>("shown"); // "" = no label
    QTest::newRow("opening: 24 at 100") << 100 << 24 << 10 << "";
    QTest::newRow("512 at 100") << 100 << 512 << 24 << "41.7 packets per second go out: 512 channels every 24 ms";
    QTest::newRow("250 at 100") << 100 << 250 << 13 << "76.9 packets per second go out: 250 channels every 13 ms";
    QTest::newRow("200 at 100: the line just carries it") << 100 << 200 << 10 << "";
    QTest::newRow("512 at 41") << 41 << 512 << 24 << "";
    QTest::newRow("512 at 42") << 42 << 512 << 24 << "41.7 packets per second go out: 512 channels every 24 ms";
}

void TestDmx::sentRateShown()
{
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(int, interval);
    QFETCH(QString, shown);
    Console c;
    c.dialog->show();
    auto *label = c.dialog->findChild<QLabel *>(QStringLiteral("sentRate"));
    QVERIFY(label);
    QVERIFY(!label->isVisible());
    // Either order of setting the two spin boxes ends with the same label.
    for (const bool channelsFirst : {true, false}) {
        c.dialog->spinBoxDMXPacketsPerSec->setValue(100);
        c.dialog->spinBoxDmxChannels->setValue(24);
        if (channelsFirst)
            c.dialog->spinBoxDmxChannels->setValue(channels);
        c.dialog->spinBoxDMXPacketsPerSec->setValue(rate);
        if (!channelsFirst)
            c.dialog->spinBoxDmxChannels->setValue(channels);
        QCOMPARE(label->isVisible(), !shown.isEmpty());
        if (!shown.isEmpty())
            QCOMPARE(label->text(), shown);
        // What is shown is what the timer does.
        QCOMPARE(c.dialog->packetTimer().interval(), interval);
    }
    QCOMPARE(c.dialog->spinBoxDMXPacketsPerSec->value(), rate); // the spin box keeps what was asked for
}

void TestDmx::sliderTooltips()
{
    Console c;
    QCOMPARE(c.dialog->findChild<QSlider *>(QStringLiteral("slider"))->toolTip(),
             QStringLiteral("Value of the selected cells"));
    QCOMPARE(c.dialog->findChild<QSlider *>(QStringLiteral("simSlider"))->toolTip(), QStringLiteral("Speed of Auto"));
}

void TestDmx::wheel_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("delta");
    QTest::addColumn<bool>("control");
    QTest::addColumn<int>("expected");

    QTest::newRow("ctrl up clamps at 255") << 250 << 120 << true << 255;
    QTest::newRow("ctrl down clamps at 0") << 3 << -120 << true << 0;
    QTest::newRow("ctrl up by 10") << 100 << 120 << true << 110;
    QTest::newRow("up by 1") << 7 << 120 << false << 8;
    QTest::newRow("down at 0 stays") << 0 << -120 << false << 0;
}

void TestDmx::wheel()
{
    QFETCH(int, start);
    QFETCH(int, delta);
    QFETCH(bool, control);
    QFETCH(int, expected);

    Console c;
    c.set(5, start);
    c.set(6, start);
    c.set(7, start);
    c.select(5, 6);
    const Qt::KeyboardModifiers mods = control ? Qt::ControlModifier : Qt::NoModifier;
    QWheelEvent event(QPointF(5, 5), QPointF(5, 5), QPoint(), QPoint(0, delta), Qt::NoButton, mods,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(c.table()->viewport(), &event);
    QCOMPARE(c.value(5), expected);
    QCOMPARE(c.value(6), expected);
    QCOMPARE(c.value(7), start); // not selected
}

// Two copied cells repeat over five; the copy list outlives the console.
void TestDmx::copyPasteRepeats()
{
    Console c;
    c.set(1, 17);
    c.set(2, 42);
    c.select(1, 2);
    QTest::keyClick(c.table(), Qt::Key_C, Qt::ControlModifier);
    c.select(5, 9);
    QTest::keyClick(c.table(), Qt::Key_V, Qt::ControlModifier);
    QList<int> pasted;
    for (int ch = 5; ch <= 10; ++ch)
        pasted << c.value(ch);
    QCOMPARE(pasted, QList<int>({17, 42, 17, 42, 17, 0}));

    c.open();
    c.select(3, 5);
    QTest::keyClick(c.table(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(QList<int>({c.value(3), c.value(4), c.value(5)}), QList<int>({17, 42, 17}));
}

void TestDmx::sliderSetsSelectedCells()
{
    Console c;
    c.select(10, 12);
    auto *slider = c.dialog->findChild<QSlider *>("slider");
    QVERIFY(slider && slider->maximum() == 255);
    slider->setValue(128);
    QCOMPARE(QList<int>({c.value(9), c.value(10), c.value(11), c.value(12), c.value(13)}),
             QList<int>({0, 128, 128, 128, 0}));
    QCOMPARE(int(quint8(c.tick().at(11))), 128);

    QTest::mouseClick(c.dialog->clearButton, Qt::LeftButton);
    QCOMPARE(slider->value(), 0);
    for (int ch = 1; ch <= 520; ++ch)
        QVERIFY(c.value(ch) == 0);
}

// Enter after typing a value (in a cell's editor or a spin box) must not press "Clear".
void TestDmx::enterKeepsValues()
{
    Console c;
    c.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(c.dialog.get()));
    c.set(3, 200);
    c.table()->setCurrentCell(0, 0);
    c.table()->editItem(c.cell(1));
    auto *editor = c.table()->viewport()->findChild<QSpinBox *>();
    QVERIFY(editor);
    editor->selectAll();
    QTest::keyClicks(editor, "77");
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_COMPARE(c.value(1), 77);
    QTest::keyClick(c.dialog->spinBoxDmxChannels, Qt::Key_Enter);
    QCOMPARE(c.value(3), 200);
    QCOMPARE(c.value(1), 77);
}

// From a cleared table: up in steps of 5 to 255 after 51 steps, one step held, back to 0 after 103, held again.
void TestDmx::rampTriangle()
{
    Console c;
    QTest::mouseClick(c.dialog->clearButton, Qt::LeftButton);
    c.select(1, 2);
    const QMap<int, int> checkpoints = {{1, 5}, {50, 250}, {51, 255}, {52, 255}, {53, 250},
                                        {102, 5}, {103, 0}, {104, 0}, {105, 5}, {155, 255}};
    for (int step = 1; step <= 155; ++step) {
        c.dialog->slotSimTimeout();
        if (checkpoints.contains(step))
            QVERIFY2(c.value(1) == checkpoints[step] && c.value(2) == checkpoints[step],
                     qPrintable(QStringLiteral("step %1: %2").arg(step).arg(c.value(1))));
        if (step == 51)
            QCOMPARE(int(quint8(c.tick().at(2))), 255); // the ramp reaches the wire
    }
    QCOMPARE(c.value(3), 0);
}

void TestDmx::clearRestartsRisingRamp()
{
    Console c;
    c.select(1, 1);
    c.clickAuto();
    QVERIFY(DmxDialog::rampRunning() && c.dialog->rampTimer().isActive());
    QCOMPARE(c.dialog->rampTimer().interval(), 20);
    for (int step = 0; step < 60; ++step) // falling, at 215
        c.dialog->slotSimTimeout();
    QCOMPARE(c.value(1), 215);

    QTest::mouseClick(c.dialog->clearButton, Qt::LeftButton);
    QCOMPARE(c.value(1), 0);
    QVERIFY(c.dialog->rampTimer().isActive());
    c.dialog->slotSimTimeout();
    QCOMPARE(c.value(1), 5);

    c.dialog->findChild<QSlider *>("simSlider")->setValue(50);
    QCOMPARE(c.dialog->rampTimer().interval(), 50);
    c.clickAuto();
    QVERIFY(!DmxDialog::rampRunning() && !c.dialog->rampTimer().isActive());
}

// Closed while ramping, the next console's first "Auto" click only clears the flag.
void TestDmx::rampFlagOutlivesDialog()
{
    Console c;
    c.clickAuto();
    QVERIFY(DmxDialog::rampRunning());
    c.open();
    QVERIFY(DmxDialog::rampRunning());
    QVERIFY(!c.dialog->rampTimer().isActive());
    c.clickAuto();
    QVERIFY(!DmxDialog::rampRunning() && !c.dialog->rampTimer().isActive());
    c.clickAuto();
    QVERIFY(DmxDialog::rampRunning() && c.dialog->rampTimer().isActive());
    c.clickAuto();
    QVERIFY(!DmxDialog::rampRunning());
}

// "DMX" opens the console modally over the window on the window's cable.
void TestDmx::windowOpensConsole()
{
    SimulatedBus bus;
    ScriptedPrompts prompts;
    prompts.item(kCableChoice);
    Flasher window(&prompts, &bus);

    QString title;
    QByteArray packet;
    bool onWindow = false;
    QTimer::singleShot(0, [&] {
        if (auto *d = qobject_cast<DmxDialog *>(QApplication::activeModalWidget())) {
            title = d->windowTitle();
            onWindow = d->parentWidget() == &window;
            bus.clearLog();
            d->slotTimeout();
            packet = bus.dmxPackets().value(0);
        }
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    });
    window.findChild<QAction *>("actionDMX")->trigger();
    QCOMPARE(title, QStringLiteral("Dmx"));
    QVERIFY(onWindow);
    QCOMPARE(packet, QByteArray(25, '\0'));
    QVERIFY(!window.findChild<DmxDialog *>());
    QVERIFY(prompts.allAnswered());
}

void TestDmx::windowWithoutCable()
{
    SimulatedBus bus;
    bus.setCables({});
    ScriptedPrompts prompts;
    prompts.critical(Prompts::Ok);
    Flasher window(&prompts, &bus);
    window.slotDMX();
    QCOMPARE(window.findChild<QPlainTextEdit *>("plainTextEdit")->toPlainText(),
             QStringLiteral("Connect USB Cable !!!"));
    QCOMPARE(prompts.shownOf(ScriptedPrompts::Kind::Critical).value(0).title, QStringLiteral("Cable Error"));
    QVERIFY(bus.dmxPackets().isEmpty());
    QVERIFY(prompts.allAnswered());
}

QTEST_MAIN(TestDmx)
#include "test_dmx.moc"
