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
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

    // Started and waited for by hand: only waitpid tells a stop from an end, and the signal of an end.
    QStringList arguments = {QStringLiteral(ZRTOOL_PATH), QStringLiteral("upgrade"), QStringLiteral("--cable-backend"),
                             QStringLiteral("serial"), QStringLiteral("--cable"), port,
                             QStringLiteral("--no-registry"), QStringLiteral("--attempts"), QStringLiteral("50"), upg};
    if (!fast)
        arguments << QStringLiteral("--full-windows");
    QList<QByteArray> argumentBytes;
    std::vector<char *> argv;
    for (const QString &a : qAsConst(arguments))
        argumentBytes << a.toLocal8Bit();
    for (QByteArray &a : argumentBytes)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const QByteArray errorFile = dir.filePath(QStringLiteral("zrtool.err")).toLocal8Bit();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv.front(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return outcome;
    // The beat: run (periodMs - stopMs), stopped stopMs, again and again until zrtool ends.
    int status = 0;
    for (;;) {
        const qint64 runUntil = clock.elapsed() + (periodMs - stopMs);
        pid_t ended = 0;
        while ((ended = waitpid(pid, &status, WNOHANG)) == 0 && clock.elapsed() < runUntil)
            QThread::msleep(5);
        if (ended == pid || ended < 0)
            break;
        ::kill(pid, SIGSTOP);
        ++outcome.stops;
        QThread::msleep(quint64(stopMs));
        ::kill(pid, SIGCONT);
    }
    outcome.seconds = clock.elapsed() / 1000.0;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.done = outcome.exitCode == 0;
    QFile errors(QString::fromLocal8Bit(errorFile));
    QStringList lines;
    if (errors.open(QIODevice::ReadOnly))
        lines = QString::fromLocal8Bit(errors.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (WIFSIGNALED(status))
        outcome.lastError =
                QStringLiteral("killed by signal %1 (%2)").arg(WTERMSIG(status)).arg(strsignal(WTERMSIG(status)));
    else if (!lines.isEmpty())
        outcome.lastError = lines.last();

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
