// zrtool's gang upgrade: a worker per cable (GangUpgrade), one line per cable updated in place on a terminal and a
// plain line per event elsewhere, a summary table or one JSON array at the end.
#include "zrtool/gang.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <csignal>
#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include "boot/deviceid.h"
#include "link/cabledrivers.h"
#include "registry/recorder.h"
#include "zrtool/cli.h"

namespace {
void printErr(const QString &text)
{
    fputs(text.toLocal8Bit().constData(), stderr);
    fflush(stderr);
}

// Whether stderr is a terminal that moves its cursor on request (a Windows console once asked to).
bool cursorTerminal()
{
    if (!stderrIsTerminal())
        return false;
#ifdef Q_OS_WIN
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode)
           && SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    return true;
#endif
}

// Whether the device holds a partly written application after this outcome.
bool partlyWritten(UpgradeOutcome::Result result)
{
    return result == UpgradeOutcome::Result::Failed || result == UpgradeOutcome::Result::Interrupted;
}

// "done in 3.4 s", "no device: no device answered the connect frames", "interrupted before the block at ...".
QString resultText(const UpgradeOutcome &o)
{
    if (o.result == UpgradeOutcome::Result::Done)
        return QStringLiteral("done in %1 s").arg(o.durationMs / 1000.0, 0, 'f', 1);
    const QString word = resultWord(o.result);
    return o.step.startsWith(word) ? o.step : word + QStringLiteral(": ") + o.step;
}

// The gang's lines on stderr: on a terminal one line per cable, redrawn in place; elsewhere a line per event.
class GangLines
{
public:
    GangLines(const QList<GangCable> &cables, bool terminal)
        : m_terminal(terminal)
    {
        for (const GangCable &c : cables) {
            Row row;
            row.cable = QString::fromLatin1(c.identity.serial);
            m_width = qMax(m_width, row.cable.size());
            m_rows << row;
        }
        m_clock.start();
    }

    void step(int cable, GangUpgrade::Step step)
    {
        Row &row = m_rows[cable];
        if (step == GangUpgrade::Step::Connecting && row.state.isEmpty()) {
            row.state = QStringLiteral("connecting (power-cycle the device now)");
            event(cable, QStringLiteral("connecting"));
        }
    }
    void found(int cable, quint32 deviceId, const QByteArray &model)
    {
        Row &row = m_rows[cable];
        row.device = deviceIdText(deviceId);
        row.model = QString::fromLatin1(model);
        row.state = QStringLiteral("writing");
        event(cable, QStringLiteral("%1 %2 found, writing").arg(row.device, row.model));
    }
    void blocks(int cable, int done, int total)
    {
        m_rows[cable].done = done;
        m_rows[cable].total = total;
        if (m_terminal && m_clock.elapsed() - m_drawnMs >= 100)
            draw();
    }
    void finished(int cable, const UpgradeOutcome &outcome)
    {
        Row &row = m_rows[cable];
        row.state = resultText(outcome);
        event(cable, row.state);
    }
    // The last picture of every line, before the summary.
    void end()
    {
        if (m_terminal)
            draw();
    }

private:
    struct Row
    {
        QString cable, device, model, state;
        int done = 0, total = 0;
    };

    void event(int cable, const QString &what)
    {
        if (m_terminal)
            draw();
        else
            printErr(QStringLiteral("%1: %2\n").arg(m_rows.at(cable).cable, what));
    }

    void draw()
    {
        QString text;
        if (m_drawn)
            text += QStringLiteral("\x1b[%1A").arg(m_rows.size());
        for (const Row &row : qAsConst(m_rows)) {
            const QString blocks = row.total > 0 ? QStringLiteral("%1/%2").arg(row.done).arg(row.total) : QString();
            QString line = QStringLiteral("%1  %2 %3 %4 %5")
                                   .arg(row.cable, -m_width)
                                   .arg(row.device.isEmpty() ? QStringLiteral("-") : row.device, -12)
                                   .arg(row.model, -6)
                                   .arg(blocks, 9)
                                   .arg(row.state.isEmpty() ? QStringLiteral("waiting") : row.state);
            text += QStringLiteral("\r\x1b[K") + line.left(160) + QLatin1Char('\n');
        }
        printErr(text);
        m_drawn = true;
        m_drawnMs = m_clock.elapsed();
    }

    bool m_terminal;
    QList<Row> m_rows;
    int m_width = 5;
    bool m_drawn = false;
    qint64 m_drawnMs = 0;
    QElapsedTimer m_clock;
};

QString signalName(int signal)
{
    return signal == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM");
}
} // namespace

int runGangUpgrade(const GangRun &run)
{
    const QString backend = run.backend;
    GangUpgrade gang([backend](const CableIdentity &cable) { return systemCableDriver(cable, backend); });
    gang.setExtraStop([&run] { return run.stopSignal && run.stopSignal() != 0; });
    GangLines lines(run.cables, cursorTerminal());
    QElapsedTimer clock;
    clock.start();
    QList<qint64> startMs;
    for (int i = 0; i < run.cables.size(); ++i)
        startMs << -1;
    QObject::connect(&gang, &GangUpgrade::stepChanged, &gang, [&](int cable, GangUpgrade::Step step) {
        if (step == GangUpgrade::Step::Connecting && startMs.at(cable) < 0)
            startMs[cable] = clock.elapsed();
        lines.step(cable, step);
    });
    QObject::connect(&gang, &GangUpgrade::deviceFound, &gang, [&](int cable, quint32 id, const QByteArray &model) {
        lines.found(cable, id, model);
    });
    QObject::connect(&gang, &GangUpgrade::blocksDone, &gang,
                     [&](int cable, int done, int total) { lines.blocks(cable, done, total); });
    QObject::connect(&gang, &GangUpgrade::cableFinished, &gang,
                     [&](int cable, const UpgradeOutcome &outcome) { lines.finished(cable, outcome); });
    // One recorder, on this thread: every worker's record arrives here once, in turn.
    if (run.recorder)
        QObject::connect(&gang, &GangUpgrade::upgradeReported, &gang,
                         [&run](int, const UpgradeReport &report) { run.recorder->recordUpgrade(report); });
    gang.start(run.cables, run.settings);
    gang.waitForAll();
    lines.end();

    if (run.recorder) {
        const QString notice = run.recorder->takeNotice();
        if (!notice.isEmpty())
            printErr(QStringLiteral("zrtool upgrade: ")
                     + notice.split(QLatin1Char('\n')).join(QStringLiteral("\nzrtool upgrade: ")) + QLatin1Char('\n'));
    }

    const QList<UpgradeOutcome> &outcomes = gang.outcomes();
    const QString path = run.settings.request.file;
    if (run.json) {
        QJsonArray array;
        for (int i = 0; i < outcomes.size(); ++i) {
            QJsonObject object = outcomeJson(outcomes.at(i), path);
            object.insert(QStringLiteral("cable"), QString::fromLatin1(run.cables.at(i).identity.serial));
            object.insert(QStringLiteral("startMs"), double(startMs.at(i)));
            array.append(object);
        }
        fputs(QJsonDocument(array).toJson(QJsonDocument::Indented).constData(), stdout);
    } else {
        int width = 5;
        for (const GangCable &c : run.cables)
            width = qMax(width, c.identity.serial.size());
        printLine(QStringLiteral("%1  %2 %3 %4").arg(QStringLiteral("CABLE"), -width).arg(QStringLiteral("DEVICE"), -12)
                          .arg(QStringLiteral("MODEL"), -6).arg(QStringLiteral("RESULT")));
        for (int i = 0; i < outcomes.size(); ++i) {
            const UpgradeOutcome &o = outcomes.at(i);
            QString result = resultText(o);
            if (partlyWritten(o.result))
                result += QStringLiteral(" (partly written: upgrade it again)");
            printLine(QStringLiteral("%1  %2 %3 %4")
                              .arg(QString::fromLatin1(run.cables.at(i).identity.serial), -width)
                              .arg(o.deviceId || !o.model.isEmpty() ? deviceIdText(o.deviceId) : QStringLiteral("-"), -12)
                              .arg(o.model.isEmpty() ? QStringLiteral("-") : QString::fromLatin1(o.model), -6)
                              .arg(result));
        }
    }

    // A stop signal: which devices hold a partly written application.
    const int signal = run.stopSignal ? run.stopSignal() : 0;
    if (signal) {
        QStringList partly;
        for (int i = 0; i < outcomes.size(); ++i)
            if (partlyWritten(outcomes.at(i).result))
                partly << QStringLiteral("%1 on %2").arg(deviceIdText(outcomes.at(i).deviceId),
                                                         QString::fromLatin1(run.cables.at(i).identity.serial));
        printErr(QStringLiteral("zrtool upgrade: interrupted (%1): %2\n")
                         .arg(signalName(signal),
                              partly.isEmpty() ? QStringLiteral("nothing written")
                                               : QStringLiteral("partly written: %1; run this zrtool upgrade again "
                                                                "to finish them").arg(partly.join(QStringLiteral(", ")))));
        return 128 + signal;
    }
    int failed = 0, noCable = 0, noDevice = 0;
    for (const UpgradeOutcome &o : outcomes) {
        failed += o.result == UpgradeOutcome::Result::Failed || o.result == UpgradeOutcome::Result::Refused
                  || o.result == UpgradeOutcome::Result::Interrupted;
        noCable += o.result == UpgradeOutcome::Result::NoCable;
        noDevice += o.result == UpgradeOutcome::Result::NoDevice;
    }
    const int total = outcomes.size();
    const int done = total - failed - noCable - noDevice;
    if (done < total)
        printErr(QStringLiteral("zrtool upgrade: %1 of %2 devices upgraded; the others are not (see above): each "
                                "cable's device is as its line says, whatever the other cables did\n")
                         .arg(done)
                         .arg(total));
    return failed ? kExitDeviceFailed : noCable ? kExitNoCable : noDevice ? kExitNoDevice : kExitOk;
}
