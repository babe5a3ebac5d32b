// How late zrsim hands its replies to the pseudo-terminal on a busy machine: connect frames and 1 KiB reads, the
// last byte of each reply against the moment the line would have delivered it, with N busy processes beside.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QProcess>
#include <QTextStream>
#include <QVector>
#include <algorithm>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "link/codec.h"

namespace {
// The simulator's timing: 44 µs a byte, 100 µs turnaround, 100 µs to start an answer.
constexpr qint64 kByteUs = 44;
constexpr qint64 kAnswerUs = 200;
constexpr qint64 kReplyTimeoutUs = 500000;

qint64 nowUs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// How late the last byte of the reply to `frame` came, in µs; -1 when it did not come at all.
qint64 exchange(int fd, const QByteArray &frame, int replySize)
{
    tcflush(fd, TCIOFLUSH);
    if (::write(fd, frame.constData(), size_t(frame.size())) != frame.size())
        return -1;
    const qint64 sent = nowUs();
    const qint64 due = sent + qint64(frame.size()) * kByteUs + kAnswerUs + qint64(replySize) * kByteUs;
    int got = 0;
    char buffer[4096];
    while (got < replySize) {
        const qint64 left = sent + kReplyTimeoutUs - nowUs();
        if (left <= 0)
            return -1;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(left / 1000) + 1) <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            got += int(n);
    }
    return qMax<qint64>(nowUs() - due, 0);
}

double percentile(QVector<qint64> values, double p)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values.at(qMin(values.size() - 1, int(p * values.size()))) / 1000.0;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Lateness of zrsim's replies with N busy processes beside it."));
    parser.addHelpOption();
    const QCommandLineOption zrsim(QStringLiteral("zrsim"),
                                   QStringLiteral("The zrsim program (default: the built one)."),
                                   QStringLiteral("path"), QStringLiteral(ZRSIM_PATH));
    const QCommandLineOption load(QStringLiteral("load"), QStringLiteral("Busy processes beside it (default 8)."),
                                  QStringLiteral("n"), QStringLiteral("8"));
    const QCommandLineOption count(QStringLiteral("exchanges"), QStringLiteral("Exchanges of each kind (default 300)."),
                                   QStringLiteral("n"), QStringLiteral("300"));
    parser.addOptions({zrsim, load, count});
    parser.process(app);
    const int loadCount = parser.value(load).toInt();
    const int exchanges = parser.value(count).toInt();

    // This side measures: it must not be the one that comes late.
    sched_param realTime{};
    realTime.sched_priority = 20;
    const bool measuredInRealTime = sched_setscheduler(0, SCHED_FIFO, &realTime) == 0;

    QProcess sim;
    QStringList options = {QStringLiteral("--device"), QStringLiteral("Zr501")};
    if (parser.value(zrsim) == QLatin1String(ZRSIM_PATH))
        options << QStringLiteral("--timing"); // an older zrsim has no account of its own
    sim.start(parser.value(zrsim), options);
    if (!sim.waitForStarted(10000) || !sim.waitForReadyRead(10000)) {
        fprintf(stderr, "simlateness: %s does not start\n", qPrintable(parser.value(zrsim)));
        return 1;
    }
    const QByteArray port = sim.readLine().trimmed();
    const int fd = ::open(port.constData(), O_RDWR | O_NOCTTY);
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0)
        return 1;
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);

    QVector<pid_t> burners;
    for (int i = 0; i < loadCount; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            sched_param normal{};
            sched_setscheduler(0, SCHED_OTHER, &normal);
            for (volatile unsigned long spin = 0;; spin = spin + 1) {
            }
        }
        burners << pid;
    }
    ::usleep(200000); // let the load settle

    const QByteArray connect = withCrc(buildConnectFrame(0));
    const QByteArray read = withCrc(buildMemoryFrame(CMD_READ_MEMORY, 0, 0x08002000, 1024));
    QVector<qint64> connectLate, readLate;
    int lost = 0;
    for (int i = 0; i < exchanges; ++i) {
        const qint64 a = exchange(fd, connect, 14);
        const qint64 b = exchange(fd, read, kReplyDataOffset + 1024 + kCrcSize);
        for (const auto &[late, into] : {qMakePair(a, &connectLate), qMakePair(b, &readLate)}) {
            if (late < 0)
                ++lost;
            else
                *into << late;
        }
    }

    for (const pid_t pid : qAsConst(burners)) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    ::close(fd);
    sim.closeWriteChannel();
    sim.waitForFinished(10000);

    QTextStream out(stdout);
    out << QStringLiteral("%1, %2 busy processes, measured %3\n")
                   .arg(parser.value(zrsim))
                   .arg(loadCount)
                   .arg(measuredInRealTime ? QStringLiteral("in real time") : QStringLiteral("at normal priority"));
    out << QStringLiteral("%1 %2 %3 %4 %5 %6\n")
                   .arg(QStringLiteral("reply"), -14)
                   .arg(QStringLiteral("count"), 6)
                   .arg(QStringLiteral("p50 ms"), 7)
                   .arg(QStringLiteral("p90 ms"), 7)
                   .arg(QStringLiteral("p99 ms"), 7)
                   .arg(QStringLiteral("max ms"), 7);
    for (const auto &row : {qMakePair(QStringLiteral("connect"), connectLate),
                            qMakePair(QStringLiteral("read 1 KiB"), readLate)})
        out << QStringLiteral("%1 %2 %3 %4 %5 %6\n")
                       .arg(row.first, -14)
                       .arg(row.second.size(), 6)
                       .arg(percentile(row.second, 0.5), 7, 'f', 2)
                       .arg(percentile(row.second, 0.9), 7, 'f', 2)
                       .arg(percentile(row.second, 0.99), 7, 'f', 2)
                       .arg(percentile(row.second, 1.0), 7, 'f', 2);
    out << QStringLiteral("lost replies: %1\n").arg(lost);
    // The simulator's own account (a zrsim that has --timing): when it wrote each reply's last byte to the port.
    out << QString::fromLocal8Bit(sim.readAllStandardError());
    return 0;
}
