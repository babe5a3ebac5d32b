// The model catalogue behind the boot-image menus and "Create Upgrade": menus, per-model slots and the calls
// they make (seen in the builders' debug traces, with the first dialog cancelled).
#include <QtTest>
#include <QAction>
#include <QMenu>

#include "app/flasher.h"
#include "boot/upgradefamily.h"
#include "tests/support/scriptedprompts.h"

namespace {

QStringList g_traces;
QtMessageHandler g_previous = nullptr;

void captureTraces(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg && (message.startsWith("slotCreate") || message.startsWith("slotAddParamsToFile")))
        g_traces << message;
    else if (g_previous)
        g_previous(type, context, message);
}

// The builder or writer name of a trace and its arguments.
struct Call
{
    QString function;
    QStringList args;
};

Call parse(const QString &trace)
{
    const int open = trace.indexOf('(');
    return {trace.left(open), trace.mid(open + 1, trace.size() - open - 2).split(", ")};
}

QStringList labels(const QList<QAction *> &actions)
{
    QStringList out;
    for (QAction *a : actions)
        out << a->text().section('\t', 0, 0);
    return out;
}

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The builders' traces are off unless their category is turned on, as --verbose does.
        QLoggingCategory::setFilterRules(QStringLiteral("zr.build.debug=true"));
        g_previous = qInstallMessageHandler(captureTraces);
    }
    void cleanupTestCase() { qInstallMessageHandler(g_previous); }
    void init() { g_traces.clear(); }

    // The README's table of families says what the program's lists say: models, region written, block size.
    void readmeNamesEachModelsFamily()
    {
        QFile readme(QStringLiteral(ZR_SOURCE_DIR "/README.md"));
        QVERIFY(readme.open(QIODevice::ReadOnly | QIODevice::Text));
        const QString text = QString::fromUtf8(readme.readAll());
        int at = text.indexOf(QStringLiteral("<!-- family table"));
        QVERIFY(at > 0);
        int rows = 0;
        for (const UpgradeFamily &family : upgradeFamilies()) {
            const QString name = QLatin1String(family.name);
            const QRegularExpression row(QStringLiteral("\\n\\| %1 \\| 0x([0-9A-F]{8})\\.\\.0x([0-9A-F]{8}) \\((\\d) KiB\\)"
                                                        "[^|]*\\| ([^|\\n]+) \\|")
                                                .arg(name));
            const QRegularExpressionMatch m = row.match(text, at);
            QVERIFY2(m.hasMatch(), qPrintable(name));
            QCOMPARE(m.captured(1).toUInt(nullptr, 16), family.firstBlock);
            QCOMPARE(m.captured(2).toUInt(nullptr, 16), family.end - 1);
            QCOMPARE(m.captured(3).toUInt() * 1024, family.blockSize);
            QCOMPARE(m.captured(4).split(QStringLiteral(", ")), familyModels(family.id));
            ++rows;
        }
        QCOMPARE(rows, 8);
    }

    void menus();
    void bootEntries();
    void upgradeEntries();
    void slotsByName_data();
    void slotsByName();
    void generatedSlots();
};

static QMenu *menu(Flasher &w, const char *name)
{
    return w.findChild<QMenu *>(name);
}

static QList<QAction *> bootActions(Flasher &w)
{
    QList<QAction *> actions;
    for (const char *name : {"menuCreate_Boot_Bin_0_299", "menuCreate_Boot_Bin_300_799", "menuCreate_Boot_Bin_800_999",
                             "menuCreate_Boot_Bin_900"})
        actions += menu(w, name)->actions();
    return actions;
}

void TestCatalogue::menus()
{
    ScriptedPrompts p;
    Flasher w(&p);
    QCOMPARE(menu(w, "menuCreate_Boot_Bin_0_299")->actions().size(), 19);
    QCOMPARE(menu(w, "menuCreate_Boot_Bin_300_799")->actions().size(), 52);
    QCOMPARE(menu(w, "menuCreate_Boot_Bin_800_999")->actions().size(), 22);
    QCOMPARE(menu(w, "menuCreate_Boot_Bin_900")->actions().size(), 1);
    const QList<QAction *> upgrade = menu(w, "menuCreate_Upgrade")->actions();
    QCOMPARE(upgrade.size(), 93);

    const QList<QAction *> boot = bootActions(w);
    for (QAction *a : boot + upgrade) {
        QCOMPARE(a->parent(), &w);
        const QStringList parts = a->text().split('\t');
        QCOMPARE(parts.size(), 2);
        QVERIFY2(!parts[1].trimmed().isEmpty(), qPrintable(a->text()));
    }
    const QStringList bootLabels = labels(boot);
    QCOMPARE(bootLabels.mid(0, 2), (QStringList{"Zr489", "Zr529"}));
    QCOMPARE(bootLabels.mid(18, 3), (QStringList{"Zr597", "Zr449", "Zr686"}));
    QCOMPARE(bootLabels.at(19 + 10), QStringLiteral("Zr507_DIN (ZR626_BOX)"));
    QCOMPARE(bootLabels.at(19 + 31), QStringLiteral("Zr430\\Zr546\\Zr571\\Zr514"));
    QCOMPARE(bootLabels.mid(19 + 51, 2), (QStringList{"Zr522", "Zr525"}));
    QCOMPARE(bootLabels.last(), QStringLiteral("Zr646m02"));

    // "Create Upgrade": the same entries in the same order, without Zr659.
    QStringList withoutZr659;
    for (QAction *a : boot)
        if (!a->text().startsWith("Zr659\t"))
            withoutZr659 << a->text();
    QStringList upgradeTexts;
    for (QAction *a : upgrade)
        upgradeTexts << a->text();
    QCOMPARE(upgradeTexts, withoutZr659);
}

void TestCatalogue::bootEntries()
{
    ScriptedPrompts p;
    Flasher w(&p);
    const QList<QAction *> actions = bootActions(w);
    QMap<QString, int> byBuilder, byTag;
    for (QAction *a : actions) {
        p.openFile(QString()); // every builder starts with a file dialog
        g_traces.clear();
        a->trigger();
        QCOMPARE(g_traces.size(), 1);
        const Call call = parse(g_traces.first());
        ++byBuilder[call.function];
        // The model code is the label's first name: "Zr430\Zr546..." and "Zr647 (ZR530)" hand over one code.
        QString code = a->text().section('\t', 0, 0).section('\\', 0, 0).section(' ', 0, 0);
        if (code == "Zr507_DIN")
            code = "Zr507";
        QCOMPARE(call.args.first(), code);
        QCOMPARE(call.args.at(call.args.size() - 2), QStringLiteral("1.0"));
        if (call.args.size() == 4)
            ++byTag[call.args.at(1)];
        // The first dialog looks in the model's directory (the family builders: beside the program).
        QVERIFY2(p.shown.last().dir.endsWith(code), qPrintable(p.shown.last().dir));
    }
    QVERIFY(p.allAnswered());
    QCOMPARE(byBuilder, (QMap<QString, int>{{"slotCreateBootBinZr", 80},
                                            {"slotCreateBootBinZrSTM32G4", 7},
                                            {"slotCreateBootBinZr536_", 2},
                                            {"slotCreateBootBinSTM32F4xx_family", 2},
                                            {"slotCreateBootBinZr_103RC", 1},
                                            {"slotCreateBootBinSTM32F070F6_family", 1},
                                            {"slotAddParamsToFile", 1}}));
    QCOMPARE(byTag, (QMap<QString, int>{{"a1", 77}, {"d1", 14}}));
}

void TestCatalogue::upgradeEntries()
{
    ScriptedPrompts p;
    Flasher w(&p);
    QStringList bootCodes;
    for (QAction *a : bootActions(w)) {
        p.openFile(QString());
        a->trigger();
    }
    for (const QString &t : qAsConst(g_traces))
        if (!t.startsWith("slotAddParamsToFile"))
            bootCodes << parse(t).args.first();
    g_traces.clear();

    QMap<QString, int> byWriter;
    QStringList upgradeCodes;
    for (QAction *a : menu(w, "menuCreate_Upgrade")->actions()) {
        p.openFile(QString());
        a->trigger();
        const Call call = parse(g_traces.last());
        ++byWriter[call.function];
        upgradeCodes << call.args.first();
        QCOMPARE(call.args.last(), QStringLiteral("01"));
    }
    QVERIFY(p.allAnswered());
    QCOMPARE(g_traces.size(), 93);
    QCOMPARE(upgradeCodes, bootCodes); // each entry writes for the model of its boot-image row
    QCOMPARE(byWriter, (QMap<QString, int>{{"slotCreateUpgSTM32F100C8_family", 79},
                                           {"slotCreateUpgSTM32G474CB_family", 7},
                                           {"slotCreateUpgSTM32F405RG_family", 4},
                                           {"slotCreateUpgSTM32F103RC_family", 2},
                                           {"slotCreateUpgSTM32F070F6_family", 1}}));
}

void TestCatalogue::slotsByName_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QString>("call");
    const char *const rows[][2] = {
        {"slotCreateBootBinZr489", "slotCreateBootBinSTM32F4xx_family(Zr489, 1.0, 52)"},
        {"slotCreateBootBinZr672", "slotCreateBootBinZr(Zr672, a1, 1.0, 0)"},
        {"slotCreateBootBinZr672_L0", "slotCreateBootBinZr(Zr672_L0, a1, 1.0, 100)"},
        {"slotCreateBootBinZr403", "slotCreateBootBinZr536_(Zr403, a1, 1.0, 0)"},
        {"slotCreateBootBinZr628", "slotCreateBootBinZrSTM32G4(Zr628, a1, 1.0, 40)"},
        {"slotCreateBootBinZr507", "slotCreateBootBinZr(Zr507, d1, 1.0, 0)"},
        {"slotCreateBootBinZr647_MONO", "slotCreateBootBinZr(Zr647_MONO, d1, 1.0, 48)"},
        {"slotCreateBootBinZr650", "slotCreateBootBinZr_103RC(Zr650, a1, 1.0, 67)"},
        {"slotCreateBootBinZr430_L0", "slotCreateBootBinZr(Zr430_L0, a1, 1.0, 64)"},
        {"slotCreateBootBinZr659", "slotAddParamsToFile(Zr659, a1, 1.0, 0)"},
        {"slotCreateBootBinZr440", "slotCreateBootBinSTM32F070F6_family(Zr440, 1.0, 0)"},
        {"slotCreateBootBinZr556", "slotCreateBootBinZr(Zr556, a1, 1.0, 82)"},
        {"slotCreateBootBinZr556_L0", "slotCreateBootBinZr(Zr556_L0, a1, 1.0, 98)"},
        {"slotCreateBootBinZr584", "slotCreateBootBinZrSTM32G4(Zr584, a1, 1.0, 108)"},
        {"slotCreateBootBinZr581_L0", "slotCreateBootBinZr(Zr581, a1, 1.0, 102)"},
        {"slotCreateBootBinZr646m02", "slotCreateBootBinZr(Zr646m02, a1, 1.0, 0)"},
        {"slotCreateUpgZr501", "slotCreateUpgSTM32F100C8_family(Zr501, 01)"},
        {"slotCreateUpgZr627", "slotCreateUpgSTM32F103RC_family(Zr627, 01)"},
        {"slotCreateUpgZr650", "slotCreateUpgSTM32F103RC_family(Zr650, 01)"},
        {"slotCreateUpgZr403", "slotCreateUpgSTM32F405RG_family(Zr403, 01)"},
        {"slotCreateUpgZr553", "slotCreateUpgSTM32F405RG_family(Zr553, 01)"},
        {"slotCreateUpgZr540", "slotCreateUpgSTM32G474CB_family(Zr540, 01)"},
        {"slotCreateUpgZr440", "slotCreateUpgSTM32F070F6_family(Zr440, 01)"},
        {"slotCreateUpgZr581_L0", "slotCreateUpgSTM32F100C8_family(Zr581, 01)"},
        {"slotCreateUpgZr680", "slotCreateUpgSTM32F100C6_family(Zr680, 01)"},
        {"slotCreateUpgZr643_RGB", "slotCreateUpgSTM32F100C6_family(Zr643_RGB, 01)"},
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QByteArray(row[0]) << QString::fromLatin1(row[1]);
}

void TestCatalogue::slotsByName()
{
    QFETCH(QByteArray, slot);
    QFETCH(QString, call);
    ScriptedPrompts p;
    Flasher w(&p);
    p.openFile(QString());
    QVERIFY(QMetaObject::invokeMethod(&w, slot.constData()));
    QVERIFY(p.allAnswered());
    QCOMPARE(g_traces, QStringList{call});
}

void TestCatalogue::generatedSlots()
{
    ScriptedPrompts p;
    Flasher w(&p);
    const QMetaObject *mo = w.metaObject();
    int boot = 0, upgrade = 0;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        if (m.methodType() != QMetaMethod::Slot || m.parameterCount() != 0)
            continue;
        boot += m.name().startsWith("slotCreateBootBin");
        upgrade += m.name().startsWith("slotCreateUpg");
    }
    QCOMPARE(boot, 94);
    QCOMPARE(upgrade, 99);
    QCOMPARE(mo->indexOfSlot("slotCreateUpgZr659()"), -1);
    QCOMPARE(mo->indexOfSlot("slotCreateBootBinZr581()"), -1);
}

QTEST_MAIN(TestCatalogue)
#include "test_catalogue.moc"
