// The main window's shell: title, size, what the reduced window shows, the option and About slots.
#include <QtTest>
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QTranslator>

#include "app/flasher.h"
#include "app/information.h"
#include "app/qtprompts.h"
#include "app/screenfit.h"
#include "tests/support/scriptedprompts.h"
#include "core/version.h"

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void titleAndSize();
    void reducedWindow();
    void showAllOptions();
    void showAllMessagesFlag();
    void clearMessageBox();
    void aboutBox();
    void fitFrameIntoScreen_data();
    void fitFrameIntoScreen();
    void productionWindowStaysOnScreen();
    void progressDialogTitle();
    void printsWithoutDisplay_data();
    void printsWithoutDisplay();
};

static QStringList visibleMenuTitles(Flasher &w)
{
    QStringList titles;
    for (QAction *a : w.menuBar()->actions())
        if (a->isVisible())
            titles << a->text();
    return titles;
}

void TestWindow::titleAndSize()
{
    ScriptedPrompts prompts;
    Flasher w(&prompts);
    startMainWindow(&w);
    QCOMPARE(w.windowTitle(), QStringLiteral("ZrFlasher 2.97"));
    // 400 x 250 is asked for; the window never gets smaller than its layout allows (font-dependent: Wine's
    // fonts need a little more width).
    QCOMPARE(w.width(), qMax(400, w.minimumSizeHint().width()));
    QVERIFY(w.width() <= 460);
    QCOMPARE(w.height(), qMax(250, w.minimumSizeHint().height()));
    QVERIFY(w.height() <= 270);
}

void TestWindow::reducedWindow()
{
    ScriptedPrompts prompts;
    Flasher w(&prompts);
    startMainWindow(&w);
    QCOMPARE(visibleMenuTitles(w), QStringList({"File", "Utilities"}));

    auto *utilities = w.findChild<QMenu *>("menuUtilities");
    QVERIFY(utilities);
    QStringList entries;
    for (QAction *a : utilities->actions())
        if (a->isVisible())
            entries << a->text();
    QCOMPARE(entries, QStringList({"DMX", "Disconnect RS Cable", "Fast replies"}));
    QVERIFY(!w.findChild<QAction *>("actionAbout")->isEnabled());
    QVERIFY(!w.findChild<QAction *>("actionConnectStream")->isEnabled());
    QVERIFY(!w.findChild<QAction *>("actionUpgradeStream")->isEnabled());

    const QStringList shown = {"PushButtonConnect", "pushButtonUpgradeSTM32F100CB", "pushButtonRun", "pushButtonClose",
                               "pushButtonClear"};
    const QStringList hidden = {"pushButtonRead",     "pushButtonWrite", "pushButtonI2CRead", "pushButtonI2CWrite",
                                "pushButtonSend",     "pushButton_LoadBin", "pushButtonMute", "pushButtonUnmute",
                                "pushButtonDiscovery"};
    for (const QString &name : shown)
        QVERIFY2(w.findChild<QPushButton *>(name)->isVisible(), qPrintable(name));
    for (const QString &name : hidden)
        QVERIFY2(!w.findChild<QPushButton *>(name)->isVisible(), qPrintable(name));
    for (const char *name : {"showAllMsg", "OldSerialSystem", "showAllOptions"})
        QVERIFY2(!w.findChild<QCheckBox *>(name)->isVisible(), name);
    QVERIFY(!w.findChild<QCheckBox *>("showAllOptions")->isEnabled());
    QVERIFY(w.findChild<QPlainTextEdit *>("plainTextEdit")->isVisible());
    QVERIFY(!w.findChild<QPushButton *>("PushButtonConnect")->icon().isNull());
    QCOMPARE(w.findChild<QPlainTextEdit *>("plainTextEdit")->font().family(), QStringLiteral("Courier New"));
}

void TestWindow::showAllOptions()
{
    ScriptedPrompts prompts;
    Flasher w(&prompts);
    startMainWindow(&w);
    const QStringList six = {"pushButtonDiscovery", "pushButtonMute", "pushButtonUnmute", "pushButtonSend",
                             "pushButton_LoadBin", "line_3"};
    const QStringList untouched = {"pushButtonRead", "pushButtonWrite", "pushButtonI2CRead", "pushButtonI2CWrite"};
    w.slotShowAllOptions(2);
    for (const QString &name : six)
        QVERIFY2(w.findChild<QWidget *>(name)->isVisible(), qPrintable(name));
    for (const QString &name : untouched)
        QVERIFY2(!w.findChild<QWidget *>(name)->isVisible(), qPrintable(name));
    w.slotShowAllOptions(0);
    for (const QString &name : six)
        QVERIFY2(!w.findChild<QWidget *>(name)->isVisible(), qPrintable(name));
}

void TestWindow::showAllMessagesFlag()
{
    ScriptedPrompts prompts;
    Flasher w(&prompts);
    QVERIFY(!w.state().showAllMessages);
    w.findChild<QCheckBox *>("showAllMsg")->setChecked(true);
    QVERIFY(w.state().showAllMessages);
    w.slotShowAllMsg(0);
    QVERIFY(!w.state().showAllMessages);
}

void TestWindow::clearMessageBox()
{
    ScriptedPrompts prompts;
    Flasher w(&prompts);
    auto *box = w.findChild<QPlainTextEdit *>("plainTextEdit");
    w.log("first");
    w.log("second");
    QCOMPARE(box->toPlainText(), QStringLiteral("first\nsecond"));
    QTest::mouseClick(w.findChild<QPushButton *>("pushButtonClear"), Qt::LeftButton);
    QVERIFY(box->toPlainText().isEmpty());
    w.log("fresh");
    QCOMPARE(box->toPlainText(), QStringLiteral("fresh"));
}

// Translates " ver. " of the About box only.
class VersionTranslator : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        return qstrcmp(context, "Information") == 0 && qstrcmp(source, " ver. ") == 0 ? QStringLiteral(" wersja ")
                                                                                        : QString();
    }
};

void TestWindow::aboutBox()
{
    Information about;
    QCOMPARE(about.windowTitle(), QStringLiteral("About"));
    QCOMPARE(about.labelVersion->text(), QStringLiteral("ZrFlasher ver. 2.97"));
    {
        VersionTranslator polish;
        QCoreApplication::installTranslator(&polish);
        const QString translated = Information().labelVersion->text();
        QCoreApplication::removeTranslator(&polish);
        QCOMPARE(translated, QStringLiteral("ZrFlasher wersja 2.97"));
    }
    QVERIFY(about.label->text().contains(QLatin1String("TEVANO update software")));
    QVERIFY(about.label->text().contains(QLatin1String(":/img/img/lumora5.png")));
    QVERIFY(!QPixmap(QStringLiteral(":/img/img/lumora5.png")).isNull());

    // The real dialog closes on Escape.
    ScriptedPrompts prompts;
    Flasher w(&prompts);
    w.show();
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto *dlg = dynamic_cast<Information *>(QApplication::activeModalWidget());
        seen = dlg != nullptr;
        if (dlg)
            QTest::keyClick(dlg, Qt::Key_Escape);
    });
    w.slotAbout();
    QVERIFY(seen);
}

void TestWindow::fitFrameIntoScreen_data()
{
    QTest::addColumn<QRect>("frame");
    QTest::addColumn<QRect>("fitted");
    const QRect screen(0, 0, 1024, 768);
    QTest::newRow("inside stays") << QRect(100, 100, 500, 300) << QRect(100, 100, 500, 300);
    QTest::newRow("past the right edge moves left") << QRect(700, 100, 500, 300) << QRect(524, 100, 500, 300);
    QTest::newRow("past the bottom moves up") << QRect(100, 600, 500, 300) << QRect(100, 468, 500, 300);
    QTest::newRow("above and left of it moves in") << QRect(-50, -20, 500, 300) << QRect(0, 0, 500, 300);
    QTest::newRow("wider than the screen: left edge on it") << QRect(300, 100, 1100, 300)
                                                           << QRect(0, 100, 1100, 300);
    QTest::newRow("taller than the screen: top edge on it") << QRect(100, 50, 500, 900) << QRect(100, 0, 500, 900);
}

void TestWindow::fitFrameIntoScreen()
{
    QFETCH(QRect, frame);
    QFETCH(QRect, fitted);
    QCOMPARE(::fitFrameIntoScreen(frame, QRect(0, 0, 1024, 768)), fitted);
    // A screen that does not start at the origin (a second monitor, a panel on the left).
    QCOMPARE(::fitFrameIntoScreen(frame.translated(1280, 40), QRect(1280, 40, 1024, 768)), fitted.translated(1280, 40));
}

void TestWindow::productionWindowStaysOnScreen()
{
    ScriptedPrompts prompts;
    Flasher w(&prompts);
    startMainWindow(&w);
    const QRect available = w.screen()->availableGeometry();
    // The 400-pixel window near the right edge: the production menus widen it past that edge.
    w.move(available.right() - w.frameGeometry().width() - 10, available.top() + 20);
    QVERIFY(available.contains(w.frameGeometry()));
    const int narrow = w.width();
    w.showProductionControls();
    QVERIFY(w.width() > narrow);
    // Inside the screen when it fits (every menu title in one row comes first); else from its left edge.
    const QRect frame = w.frameGeometry();
    if (frame.width() <= available.width())
        QVERIFY(available.contains(frame));
    else
        QCOMPARE(frame.left(), available.left());
    QCOMPARE(w.frameGeometry().top(), available.top() + 20);
}

void TestWindow::progressDialogTitle()
{
    QWidget window;
    QtPrompts prompts(&window);
    const auto progress = prompts.progress(QStringLiteral("Writing firmware ... "), QStringLiteral("Cancel"), 0, 10);
    const auto dialogs = window.findChildren<QProgressDialog *>();
    QCOMPARE(dialogs.size(), 1);
    QCOMPARE(dialogs.first()->windowTitle(), QStringLiteral("ZrFlasher"));
    QCOMPARE(dialogs.first()->labelText(), QStringLiteral("Writing firmware ... "));
    progress->close();
}

// --help and --version answer on a machine without a display (a server, a build job, ssh).
void TestWindow::printsWithoutDisplay_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QStringList>("printed");
    QTest::newRow("--help") << "--help" << QStringList({"--fast-replies", "--production", "--simulate"});
    QTest::newRow("-h") << "-h" << QStringList({"--fast-replies"});
    QTest::newRow("--version") << "--version" << QStringList({"zrflasher " + kProgramVersion});
}

void TestWindow::printsWithoutDisplay()
{
    QFETCH(QString, option);
    QFETCH(QStringList, printed);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(ZRFLASHER_PATH), {option});
    QVERIFY(p.waitForFinished(20000));
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QVERIFY2(p.exitCode() == 0, qPrintable(p.readAllStandardError()));
    for (const QString &text : printed)
        QVERIFY2(out.contains(text), qPrintable(out));
}

QTEST_MAIN(TestWindow)
#include "test_window.moc"
