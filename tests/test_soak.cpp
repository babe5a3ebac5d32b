// Soak: hundreds of simulated upgrades through Connect with random faults on the line and in the device, from a
// fixed seed, each followed by a clean Connect that must bring the device back.
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include "core/appstate.h"
#include "boot/connectengine.h"
#include "boot/upgradeengine.h"
#include "boot/upgradefamily.h"
#include "builders/upgradefile.h"
#include "link/rs485cable.h"
#include "sim/simulatedbus.h"
#include "tests/support/hurriedprompts.h"
#include "tests/support/upgradefixture.h"

namespace {
constexpr int kRuns = 240;
constexpr int kMaxFaults = 8;
constexpr quint32 kSeed = 0x5EED1600;
constexpr quint32 kDeviceId = 0x0379C02A;
// The slowest honest run: up to 1000 connect attempts, then every block with its retries.
constexpr qint64 kMaxRunUs = 15LL * 60 * 1000 * 1000;
const QString kSuccess = QStringLiteral("Upgrade succesfull!");

enum class Fault { DropReplies, CorruptReply, LineNoise, PowerCycle, NeverVerifies, BadReadBackOnce };

struct Planned
{
    int frame; // applied as this frame (0-based, counted from the Connect) goes out
    Fault fault;
    int amount;
};

// The image of a family's upgrade file: the model's descriptor where the device keeps it (some families write
// that block), the rest test bytes.
QByteArray familyImage(const UpgradeFamily &family, const QByteArray &model, int seed)
{
    const quint32 appOffset = family.firstBlock - FLASH_BASE;
    QByteArray image = QByteArray(int(appOffset), '\0') + testBytes(int(family.imageSize - appOffset), seed);
    QByteArray descriptor(ConnectEngine::kDescriptorSize, '\0');
    descriptor.replace(0, model.size(), model);
    descriptor.replace(ConnectEngine::kDescriptorNameSize, 7, "BL 1.07");
    image.replace(int(DESCRIPTOR_ADDRESS - FLASH_BASE), descriptor.size(), descriptor);
    return image;
}

// Block by block, the region holds the old flash, the new image or (after an erase) blank bytes: never anything
// else, so no fault writes data the host did not send.
bool regionPlausible(const QByteArray &flash, const QByteArray &old, const QByteArray &image,
                     const UpgradeFamily &family, QString *where)
{
    for (quint32 a = family.firstBlock; a != family.end; a += family.blockSize) {
        const int at = int(a - FLASH_BASE), n = int(family.blockSize);
        const QByteArray block = flash.mid(at, n);
        if (block != old.mid(at, n) && block != image.mid(at, n) && block != QByteArray(n, '\xFF')) {
            *where = QString::number(a, 16);
            return false;
        }
    }
    return true;
}
} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false")); }
    void faultyUpgradesThenCleanConnect();
};

void TestSoak::faultyUpgradesThenCleanConnect()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir::setCurrent(dir.path())); // the F100C6 procedure drops its dumps in the working directory
    QRandomGenerator random(kSeed);
    const QVector<UpgradeFamily> &families = upgradeFamilies();
    int failedRuns = 0, succeededRuns = 0, faultsApplied = 0;

    for (int run = 0; run < kRuns; ++run) {
        const UpgradeFamily &family = families.at(run % families.size());
        const QByteArray model = familyModels(family.id).first().toLatin1();
        const QString context = QStringLiteral("run %1, %2").arg(run).arg(QLatin1String(family.name));

        SimulatedBus bus;
        SimDeviceConfig config;
        config.modelCode = model;
        config.family = QLatin1String(family.name);
        config.deviceId = kDeviceId;
        SimDevice *device = bus.addDevice(config);
        QVERIFY2(device, qPrintable(context));
        // Old firmware in the application area, the descriptor where it belongs.
        const QByteArray oldImage = familyImage(family, model, 1000 + run);
        device->setFlashAt(family.firstBlock,
                           oldImage.mid(int(family.firstBlock - FLASH_BASE), int(family.end - family.firstBlock)));
        const QByteArray image = familyImage(family, model, run);
        const QString upg = writeTestUpgradeFile(dir.filePath(QStringLiteral("run.upg")), QString::fromLatin1(model),
                                                 image);
        QVERIFY(!upg.isEmpty());

        HurriedPrompts prompts;
        AppState state;
        QStringList log;
        state.log = [&log](const QString &line) { log << line; };
        state.lastPaths[UpgradeEngine::lastPathKey(family)] = upg;
        RS485Cable cable(nullptr, 250000, 8, 2, 0, &bus, &prompts);

        // Up to eight faults at random frames of the run; some hit the Connect, most the blocks.
        QList<Planned> plan;
        const int frames = 4 + 2 * family.blockCount();
        for (int i = random.bounded(kMaxFaults + 1); i > 0; --i)
            plan << Planned{random.bounded(frames), Fault(random.bounded(6)), 1 + random.bounded(40)};
        int frame = 0;
        bus.onRequest = [&](const QByteArray &) {
            for (const Planned &p : plan) {
                if (p.frame != frame)
                    continue;
                ++faultsApplied;
                const quint32 block = family.firstBlock + quint32(p.amount % family.blockCount()) * family.blockSize;
                switch (p.fault) {
                case Fault::DropReplies: bus.dropReplies(1 + p.amount % 3); break;
                case Fault::CorruptReply: bus.corruptReplies(1); break;
                case Fault::LineNoise: bus.injectBytes(testBytes(p.amount, run * 100 + p.frame)); break;
                case Fault::PowerCycle: device->powerCycle(); break;
                case Fault::NeverVerifies: device->corruptReadBack(block, -1); break;
                case Fault::BadReadBackOnce: device->corruptReadBack(block, 1); break;
                }
            }
            ++frame;
        };
        // A user gives up on a Connect that finds nothing after a while.
        prompts.onProgressValue = [&](int value) {
            if (value > 50 && !state.identifiedNames.contains(kDeviceId))
                prompts.canceled = [] { return true; };
        };

        const QByteArray before = device->flash();
        const qint64 start = bus.elapsedUs();
        ConnectEngine(state, prompts, cable).connectAndOffer();
        QVERIFY2(bus.elapsedUs() - start < kMaxRunUs, qPrintable(context));

        const QByteArray after = device->flash();
        const int first = int(family.firstBlock - FLASH_BASE), end = int(family.end - FLASH_BASE);
        QVERIFY2(after.left(first) == before.left(first) && after.mid(end) == before.mid(end),
                 qPrintable(context + QStringLiteral(": flash changed outside the upgraded region")));
        QString where;
        QVERIFY2(regionPlausible(after, before, image, family, &where),
                 qPrintable(context + QStringLiteral(": block %1 holds bytes nobody sent").arg(where)));
        const bool success = log.contains(kSuccess);
        if (success)
            QVERIFY2(after.mid(first, end - first) == image.mid(first, end - first),
                     qPrintable(context + QStringLiteral(": success reported over a wrong application")));
        (success ? succeededRuns : failedRuns) += 1;

        // The faults end (the device power-cycled by its user); a clean Connect upgrades it.
        plan.clear();
        bus.dropReplies(0);
        bus.corruptReplies(0);
        bus.injectBytes(QByteArray());
        device->powerCycle();
        for (quint32 a = family.firstBlock; a != family.end; a += family.blockSize)
            device->corruptReadBack(a, 0);
        prompts.canceled = [] { return false; };
        prompts.onProgressValue = [](int) {};
        log.clear();
        ConnectEngine(state, prompts, cable).connectAndOffer();
        QVERIFY2(log.contains(kSuccess), qPrintable(context + QStringLiteral(": not recovered\n") + log.join('\n')));
        QVERIFY2(device->flash().mid(first, end - first) == image.mid(first, end - first), qPrintable(context));
        QVERIFY2(device->flash().left(first) == before.left(first) && device->flash().mid(end) == before.mid(end),
                 qPrintable(context));
    }
    // The seed gives both outcomes plenty of times; a soak where every run fails (or none) tested nothing.
    qInfo("%d runs failed, %d succeeded under %d faults", failedRuns, succeededRuns, faultsApplied);
    QVERIFY(failedRuns > kRuns / 4 && succeededRuns > kRuns / 10);
}

QTEST_GUILESS_MAIN(TestSoak)
#include "test_soak.moc"
