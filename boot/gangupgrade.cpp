// The gang's workers: each owns its driver, cable, device state and option prompts, so that nothing of one cable's
// upgrade is touched by another thread; only queued signals cross to the thread that started the gang.
#include "boot/gangupgrade.h"

#include <QEventLoop>
#include <QThread>

#include "boot/upgradefamily.h"
#include "core/optionprompts.h"
#include "link/ftdidriver.h"
#include "link/rs485cable.h"

namespace {
int registerTypes()
{
    qRegisterMetaType<UpgradeOutcome>("UpgradeOutcome");
    qRegisterMetaType<UpgradeReport>("UpgradeReport");
    qRegisterMetaType<GangUpgrade::Step>("GangUpgrade::Step");
    return 0;
}
} // namespace

GangUpgrade::GangUpgrade(CableDriverFactory factory, QObject *parent)
    : QObject(parent)
    , m_factory(std::move(factory))
{
    static const int registered = registerTypes();
    Q_UNUSED(registered)
}

void GangUpgrade::post(std::function<void()> news)
{
    // Every signal of the gang is emitted on this object's thread, whatever its receivers' connections are.
    {
        const std::lock_guard<std::mutex> locked(m_newsLock);
        m_news.push_back(std::move(news));
    }
    QMetaObject::invokeMethod(this, "deliverNews", Qt::QueuedConnection);
}

void GangUpgrade::deliverNews()
{
    for (;;) {
        std::function<void()> next;
        {
            const std::lock_guard<std::mutex> locked(m_newsLock);
            if (m_news.empty())
                return;
            next = std::move(m_news.front());
            m_news.pop_front();
        }
        next();
    }
}

GangUpgrade::~GangUpgrade()
{
    stop();
    for (QThread *thread : qAsConst(m_threads)) {
        thread->wait();
        delete thread;
    }
}

bool GangUpgrade::stopRequested() const
{
    return m_stop.load() || (m_extraStop && m_extraStop());
}

void GangUpgrade::stop()
{
    m_stop.store(true);
}

bool GangUpgrade::start(const QList<GangCable> &cables, const GangSettings &settings)
{
    if (m_running > 0)
        return false;
    for (QThread *thread : qAsConst(m_threads)) {
        thread->wait();
        delete thread;
    }
    m_threads.clear();
    m_cables = cables;
    m_settings = settings;
    m_outcomes.clear();
    for (int i = 0; i < cables.size(); ++i)
        m_outcomes << UpgradeOutcome();
    m_stop.store(false);
    m_running = cables.size();
    ++m_generation;
    // What the workers read (the cables, the settings) is written here, before any of them runs, and never while
    // they run.
    for (int i = 0; i < cables.size(); ++i)
        m_threads << QThread::create([this, i] { runWorker(i); });
    for (QThread *thread : qAsConst(m_threads))
        thread->start();
    if (cables.isEmpty())
        announceFinished();
    return true;
}

void GangUpgrade::waitForAll()
{
    if (m_running == 0)
        return;
    QEventLoop loop;
    connect(this, &GangUpgrade::finished, &loop, &QEventLoop::quit);
    loop.exec();
}

void GangUpgrade::onCableFinished(int cable, const UpgradeOutcome &outcome)
{
    m_threads.at(cable)->wait(); // it has nothing left to do but return
    m_outcomes[cable] = outcome;
    emit cableFinished(cable, outcome);
    if (--m_running == 0)
        announceFinished();
}

void GangUpgrade::announceFinished()
{
    // After every other receiver of the last cable's result, and only for the gang it belongs to.
    const int generation = m_generation;
    QMetaObject::invokeMethod(
            this,
            [this, generation] {
                if (generation == m_generation && m_running == 0)
                    emit finished();
            },
            Qt::QueuedConnection);
}

void GangUpgrade::announceStep(int cable, Step step)
{
    post([=] { emit stepChanged(cable, step); });
}

void GangUpgrade::runWorker(int index)
{
    // Read-only while the workers run: start() wrote them before the first thread started.
    const GangCable &cable = m_cables.at(index);
    const GangSettings &settings = m_settings;

    OptionPrompts prompts; // answers from the settings; processes no events
    AppState state;
    const auto stopNow = [this] { return stopRequested(); };
    state.interrupted = stopNow;
    prompts.stopRequested = stopNow;
    prompts.attemptLimit = settings.attemptLimit;
    state.log = [this, index](const QString &line) { post([=] { emit logLine(index, line); }); };
    state.upgradeFinished = [this, index](const UpgradeReport &report) {
        post([=] { emit upgradeReported(index, report); });
    };
    Step step = Step::Waiting;
    quint32 blockSize = 1024;
    int totalBlocks = 0;
    prompts.onProgress = [&](const QString &, int value, int min, int max) {
        if (min == 0) { // the connect attempts
            if (step != Step::Connecting)
                announceStep(index, step = Step::Connecting);
            return;
        }
        if (step != Step::Writing) {
            const UpgradeFamily *family = settings.request.family.isEmpty()
                                                  ? dispatchFamily(state.connectedDeviceName, connectDispatchOrder())
                                                  : familyByName(settings.request.family);
            if (family && family->blockSize > 0)
                blockSize = family->blockSize;
            const quint32 id = state.connectedDeviceId;
            const QByteArray model = state.connectedDeviceName;
            post([=] { emit deviceFound(index, id, model); });
            announceStep(index, step = Step::Writing);
        }
        totalBlocks = int(quint32(max - min) / blockSize);
        const int done = int(quint32(value - min) / blockSize), total = totalBlocks;
        post([=] { emit blocksDone(index, done, total); });
    };

    UpgradeOutcome outcome;
    std::unique_ptr<FtdiDriver> driver = m_factory(cable.identity);
    if (!driver) {
        outcome.result = UpgradeOutcome::Result::NoCable;
        outcome.step = QStringLiteral("no driver for %1").arg(cable.identity.label());
    } else {
        RS485Cable rs485(nullptr, 250000, 8, 2, 0, driver.get(), &prompts);
        rs485.setIdentity(cable.identity.openName, cable.identity.serial);
        rs485.setFastReplies(settings.fastReplies);
        UpgradeRequest request = settings.request;
        request.hasTarget = cable.hasTarget;
        request.target = cable.target;
        announceStep(index, step = Step::Connecting);
        outcome = upgradeDevice(state, prompts, rs485, request);
        if (outcome.result == UpgradeOutcome::Result::NoCable && !driver->problem().isEmpty())
            outcome.step = driver->problem();
        // The progress reports each block as it starts; a verified upgrade has written them all.
        if (outcome.result == UpgradeOutcome::Result::Done && totalBlocks > 0) {
            const int total = totalBlocks;
            post([=] { emit blocksDone(index, total, total); });
        }
    }
    announceStep(index, Step::Finished);
    post([=] { onCableFinished(index, outcome); });
}
