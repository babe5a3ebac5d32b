// A gang upgrade: one device on each of several cables at once, each cable on a worker thread of its own that runs
// the same unattended upgrade as a single upgrade, with its retries and its outcome record.
#pragma once

#include <QList>
#include <QObject>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "boot/deviceupgrade.h"
#include "core/appstate.h"
#include "link/cableidentity.h"

class FtdiDriver;
class QThread;

// What a worker opens its cable through: called on the worker's own thread, once; the driver it returns is used by
// that thread alone and opens the cable by its identity (CableIdentity::openName) without listing the cables.
using CableDriverFactory = std::function<std::unique_ptr<FtdiDriver>(const CableIdentity &cable)>;

struct GangCable
{
    CableIdentity identity;
    bool hasTarget = false; // address this cable's device by ID instead of any device in its bootloader
    quint32 target = 0;
};

struct GangSettings
{
    UpgradeRequest request;  // the file, family, retries, run-after and collision limit every cable shares
    bool fastReplies = true;
    int attemptLimit = -1;   // connect attempts per cable before giving up (-1: the connect dialog's own count)
};

class GangUpgrade : public QObject
{
    Q_OBJECT

public:
    // Where each cable stands, as the rows and lines show it.
    enum class Step { Waiting, Connecting, Writing, Finished };
    Q_ENUM(Step)

    explicit GangUpgrade(CableDriverFactory factory, QObject *parent = nullptr);
    // Stops the workers still running and waits for them.
    ~GangUpgrade() override;

    // Starts one worker per cable; every signal below is emitted on this object's thread (the workers' news is queued
    // to it), which must run an event loop. The key table is read by every worker: set it before. False when a gang is still running.
    bool start(const QList<GangCable> &cables, const GangSettings &settings);
    // Asks every worker to stop: a connect gives up at its next attempt, an upgrade between two blocks (the device
    // then holds a partly written application). Safe from any thread; `extraStop` (a signal flag) is asked as well.
    void stop();
    void setExtraStop(std::function<bool()> extraStop) { m_extraStop = std::move(extraStop); }
    bool stopRequested() const;
    bool isRunning() const { return m_running > 0; }
    // Runs an event loop until every worker has ended (zrtool); at once when none runs.
    void waitForAll();

    const QList<GangCable> &cables() const { return m_cables; }
    // The outcome of each cable, in the order given; meaningful once `finished` was emitted.
    const QList<UpgradeOutcome> &outcomes() const { return m_outcomes; }

signals:
    void stepChanged(int cable, GangUpgrade::Step step);
    // The device the connect caught: before its first block is written.
    void deviceFound(int cable, quint32 deviceId, const QByteArray &model);
    // Blocks written and verified so far of `total`.
    void blocksDone(int cable, int done, int total);
    void logLine(int cable, const QString &line);
    // What the upgrade leaves to be recorded, once per upgrade that ran (for the one recorder of the process).
    void upgradeReported(int cable, const UpgradeReport &report);
    void cableFinished(int cable, const UpgradeOutcome &outcome);
    // Every worker has ended.
    void finished();

private:
    void runWorker(int index);
    // From a worker: runs `news` on this object's thread, in the order posted.
    void post(std::function<void()> news);
    Q_INVOKABLE void deliverNews();
    void announceStep(int cable, Step step);
    void onCableFinished(int cable, const UpgradeOutcome &outcome);
    void announceFinished();

    CableDriverFactory m_factory;
    std::function<bool()> m_extraStop;
    QList<GangCable> m_cables;
    GangSettings m_settings;
    QList<UpgradeOutcome> m_outcomes;
    QList<QThread *> m_threads;
    std::atomic<bool> m_stop{false};
    // What the workers have posted and this thread has not run yet. A standard mutex, not Qt's event queue, hands
    // it over, so that a thread sanitizer sees the hand-over (Qt itself is not instrumented).
    std::mutex m_newsLock;
    std::deque<std::function<void()>> m_news;
    int m_running = 0;
    int m_generation = 0; // counts the gangs started, so that a finished gang's news never ends a newer one
};
