// Upgrades through zrsim on a pseudo-terminal while zrtool is stopped for a while at a steady beat (SIGSTOP,
// SIGCONT), as a busy bench PC deschedules it: full reply windows against fast replies, round by round.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <csignal>

#include "boot/upgradefamily.h"
#include "builders/upgradefile.h"

namespace {
struct Outcome
{
    bool done = false;
    int exitCode = -1;
    double seconds = 0;
    int stops = 0;
    bool flashMatches = false;
    QString lastError; // zrtool's last line on stderr
};

// One upgrade of a fresh simulated device; zrtool is stopped for stopMs of every periodMs while it runs.
Outcome upgradeOnce(const QString &model, const QString &upg, const UpgradeFamily &family, const QByteArray &image,
                    bool fast, int stopMs, int periodMs)
{
    Outcome outcome;
    QTemporaryDir dir;
    QProcess sim;
    sim.start(QStringLiteral(ZRSIM_PATH),
              {QStringLiteral("--device"), model, QStringLiteral("--flash-out"),
               dir.filePath(QStringLiteral("flash"))});
    if (!sim.waitForStarted(10000) || !sim.waitForReadyRead(10000))
        return outcome;
    const QString port = QString::fromLatin1(sim.readLine().trimmed());

    QProcess tool;
    QStringList arguments = {QStringLiteral("upgrade"), QStringLiteral("--cable-backend"), QStringLiteral("serial"),
                             QStringLiteral("--cable"), port, QStringLiteral("--no-registry"),
                             QStringLiteral("--attempts"), QStringLiteral("50"), upg};
    if (!fast)
        arguments << QStringLiteral("--full-windows");
    QElapsedTimer clock;
    clock.start();
    tool.start(QStringLiteral(ZRTOOL_PATH), arguments);
    tool.waitForStarted(10000);
    const qint64 pid = tool.processId();
    // The beat: run (periodMs - stopMs), stopped stopMs, again and again until zrtool ends.
    while (!tool.waitForFinished(periodMs - stopMs)) {
        if (tool.state() != QProcess::Running)
            break;
        ::kill(pid_t(pid), SIGSTOP);
        ++outcome.stops;
        QThread::msleep(quint64(stopMs));
        ::kill(pid_t(pid), SIGCONT);
    }
    outcome.seconds = clock.elapsed() / 1000.0;
    outcome.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    outcome.done = outcome.exitCode == 0;
    const QStringList errors =
            QString::fromLocal8Bit(tool.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    outcome.lastError = errors.isEmpty() ? (outcome.exitCode < 0 ? QStringLiteral("killed by a signal") : QString())
                                         : errors.last();

    sim.closeWriteChannel(); // zrsim writes the flash and ends
    sim.waitForFinished(10000);
    QFile flash(dir.filePath(QStringLiteral("flash0.bin")));
    if (flash.open(QIODevice::ReadOnly)) {
        // Every block written reads back from the device's flash as the file holds it.
        const int first = int(family.firstBlock - FLASH_BASE), size = int(family.end - family.firstBlock);
        outcome.flashMatches = flash.readAll().mid(first, size) == image.mid(first, size);
    }
    return outcome;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Upgrades through zrsim while zrtool is stopped at a beat."));
    parser.addHelpOption();
    const QCommandLineOption rounds(QStringLiteral("rounds"), QStringLiteral("Rounds (default 3)."),
                                    QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption model(QStringLiteral("model"), QStringLiteral("Device model (default Zr501)."),
                                   QStringLiteral("code"), QStringLiteral("Zr501"));
    const QCommandLineOption stop(QStringLiteral("stop-ms"), QStringLiteral("Stopped this long (default 100)."),
                                  QStringLiteral("ms"), QStringLiteral("100"));
    const QCommandLineOption period(QStringLiteral("period-ms"), QStringLiteral("Once every (default 250)."),
                                    QStringLiteral("ms"), QStringLiteral("250"));
    parser.addOptions({rounds, model, stop, period});
    parser.process(app);
    const int roundCount = parser.value(rounds).toInt();
    const int stopMs = parser.value(stop).toInt();
    const int periodMs = parser.value(period).toInt();
    const QString code = parser.value(model);
    const UpgradeFamily *family = dispatchFamily(code.toLatin1(), connectDispatchOrder());
    if (!family || roundCount < 1 || stopMs < 0 || periodMs <= stopMs) {
        fprintf(stderr, "stallbench: bad options (see --help)\n");
        return 1;
    }

    // The bootloader's area stays blank, the application area holds a pattern.
    QTemporaryDir dir;
    QByteArray image(int(family->imageSize), '\0');
    for (quint32 i = family->firstBlock - FLASH_BASE; i < family->imageSize; ++i)
        image[int(i)] = char((i * 7 + (i >> 8)) & 0xFF);
    const QString upg = dir.filePath(code + QStringLiteral(".upg"));
    QFile file(upg);
    if (!file.open(QIODevice::WriteOnly) || !writeUpgradeFile(&file, code, kUpgradeFileVersion, image))
        return 3;
    file.close();

    QTextStream out(stdout);
    out << QStringLiteral("%1 stopped %2 ms every %3 ms\n").arg(code).arg(stopMs).arg(periodMs);
    out << QStringLiteral("%1 %2 %3 %4 %5\n")
                   .arg(QStringLiteral("round"), 5)
                   .arg(QStringLiteral("mode"), -13)
                   .arg(QStringLiteral("result"), -16)
                   .arg(QStringLiteral("s"), 6)
                   .arg(QStringLiteral("stops"), 6);
    out.flush();
    int fullDone = 0, fastDone = 0, fastFailedWhereFullDid = 0;
    for (int round = 1; round <= roundCount; ++round) {
        bool fullOk = false;
        for (const bool fast : {false, true}) {
            const Outcome o = upgradeOnce(code, upg, *family, image, fast, stopMs, periodMs);
            const bool ok = o.done && o.flashMatches;
            (fast ? fastDone : fullDone) += ok ? 1 : 0;
            if (!fast)
                fullOk = ok;
            else if (fullOk && !ok)
                ++fastFailedWhereFullDid;
            const QString result = ok ? QStringLiteral("done")
                                      : QStringLiteral("failed (exit %1%2)")
                                                .arg(o.exitCode)
                                                .arg(o.done ? QStringLiteral(", flash differs") : QString());
            out << QStringLiteral("%1 %2 %3 %4 %5\n")
                           .arg(round, 5)
                           .arg(fast ? QStringLiteral("fast replies") : QStringLiteral("full windows"), -13)
                           .arg(result, -16)
                           .arg(o.seconds, 6, 'f', 1)
                           .arg(o.stops, 6);
            if (!ok && !o.lastError.isEmpty())
                out << QStringLiteral("      zrtool: %1\n").arg(o.lastError);
            out.flush();
        }
    }
    out << QStringLiteral("full windows %1/%2 done, fast replies %3/%2 done, fast failed where full was done: %4\n")
                   .arg(fullDone)
                   .arg(roundCount)
                   .arg(fastDone)
                   .arg(fastFailedWhereFullDid);
    return fastFailedWhereFullDid == 0 ? 0 : 1;
}
