// zrsim: the simulated RS-485 bus as its own process, served in real time over a pseudo-terminal, so the program
// reaches it through the operating system's serial I/O like a real cable.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QVector>
#include <algorithm>
#include <QSet>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "boot/upgradefamily.h"
#include "link/codec.h"
#include "link/keytable.h"
#include "sim/simulatedbus.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void onSignal(int)
{
    g_stop = 1;
}

// A frame longer than the largest data frame (2048 data bytes + header + CRC) is not a frame.
constexpr int kMaxFrame = kMemoryHeaderSize + 2048 + kCrcSize;
// The stream connect frame says 14 in its length field but is this long on the wire.
constexpr int kStreamConnectWire = 64;
// A partial frame that stays incomplete this long is noise (a DMX packet, a frame cut by a purge): dropped.
constexpr qint64 kResyncMs = 50;
// Scheduling: a real-time class where allowed, else this nice value.
constexpr int kRealTimePriority = 10;
constexpr int kPriority = -10;
// Bytes on their way to the port are handed over in slices at most this long, and a reply's last byte the moment
// it has arrived.
constexpr qint64 kSliceUs = 1000;
// --timing keeps the lateness of this many replies.
constexpr int kTimedReplies = 1000000;

int usage(const QString &problem)
{
    fprintf(stderr, "zrsim: %s (see --help)\n", qPrintable(problem));
    return 1;
}

// Raw mode on both ends: no echo, no line editing, no CR/LF translation, bytes pass unchanged.
bool makeRaw(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

void writeAll(int fd, const char *bytes, int size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nobody reads the port: the bytes are lost, as on an unterminated bus
        bytes += n;
        size -= int(n);
    }
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Serves simulated Zr devices over a pseudo-terminal in real time. The first line on stdout "
                           "is the port to open (zrflasher --cable PORT). Ends on SIGTERM or Ctrl+C, or when its input pipe closes."));
    parser.addHelpOption();
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("A device of this model on the bus, optionally with its device ID "
                                                   "(Zr501 or Zr501@0x0379C02A; without one, IDs count up from "
                                                   "0x0379C02A past those given). Repeatable; default one Zr501."),
                                    QStringLiteral("model[@id]"));
    const QCommandLineOption dropRate(QStringLiteral("drop-rate"),
                                      QStringLiteral("Lose this share of the replies (0 to 1)."), QStringLiteral("rate"));
    const QCommandLineOption corruptRate(QStringLiteral("corrupt-rate"),
                                         QStringLiteral("Send this share of the replies with a wrong CRC (0 to 1)."),
                                         QStringLiteral("rate"));
    const QCommandLineOption noiseRate(QStringLiteral("noise-rate"),
                                       QStringLiteral("Garble this share of the replies with a burst of line noise "
                                                      "over their first bytes (0 to 1)."),
                                       QStringLiteral("rate"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the fault dice (default 1)."),
                                  QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption silent(QStringLiteral("silent-connects"),
                                    QStringLiteral("Devices start powered off and wake at this connect attempt, as "
                                                   "if power-cycled (default 0: waiting in their bootloaders)."),
                                    QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption zeroWrapped(QStringLiteral("zero-wrapped"),
                                         QStringLiteral("Wrap every reply in a leading and a trailing 0x00."));
    const QCommandLineOption keyTable(QStringLiteral("key-table"),
                                      QStringLiteral("The devices' key table (32 hexadecimal words; default "
                                                     "$ZR_KEY_TABLE, else the built-in table)."),
                                      QStringLiteral("file"));
    const QCommandLineOption timing(QStringLiteral("timing"),
                                    QStringLiteral("On exit, say on stderr how late the replies reached the port "
                                                   "(percentiles of the last byte against its time on the line)."));
    const QCommandLineOption flashOut(QStringLiteral("flash-out"),
                                      QStringLiteral("On exit, write each device's flash to PREFIX0.bin, PREFIX1.bin, "
                                                     "..."),
                                      QStringLiteral("prefix"));
    parser.addOptions(
            {device, dropRate, corruptRate, noiseRate, seed, silent, zeroWrapped, keyTable, timing, flashOut});
    parser.process(app);

    QString problem;
    if (!useKeyTable(parser.value(keyTable), &problem))
        return usage(problem);
    bool ok = true;
    const double drop = parser.isSet(dropRate) ? parser.value(dropRate).toDouble(&ok) : 0.0;
    if (!ok || drop < 0 || drop > 1)
        return usage(QStringLiteral("--drop-rate takes a number from 0 to 1"));
    const double corrupt = parser.isSet(corruptRate) ? parser.value(corruptRate).toDouble(&ok) : 0.0;
    if (!ok || corrupt < 0 || corrupt > 1)
        return usage(QStringLiteral("--corrupt-rate takes a number from 0 to 1"));
    const double noise = parser.isSet(noiseRate) ? parser.value(noiseRate).toDouble(&ok) : 0.0;
    if (!ok || noise < 0 || noise > 1)
        return usage(QStringLiteral("--noise-rate takes a number from 0 to 1"));
    const quint32 seedValue = parser.value(seed).toUInt(&ok);
    if (!ok)
        return usage(QStringLiteral("--seed takes a whole number"));
    const int silentConnects = parser.value(silent).toInt(&ok);
    if (!ok || silentConnects < 0)
        return usage(QStringLiteral("--silent-connects takes a whole number"));

    SimulatedBus bus(SimulatedBus::Clock::Real);
    QStringList devices = parser.values(device);
    if (devices.isEmpty())
        devices << QStringLiteral("Zr501");
    // Default IDs count up from 0x0379C02A past the IDs given with @, so no two devices share one.
    QSet<quint32> given;
    for (const QString &device : devices) {
        const QStringList parts = device.split(QLatin1Char('@'));
        if (parts.size() != 2)
            continue;
        const quint32 id = parts.at(1).toUInt(&ok, 0);
        if (ok && given.contains(id))
            return usage(QStringLiteral("--device %1: another device has this ID").arg(device));
        given.insert(id); // an ID that is not a number is refused below
    }
    quint32 nextId = 0x0379C02A;
    for (const QString &device : devices) {
        SimDeviceConfig config;
        const QStringList parts = device.split(QLatin1Char('@'));
        config.modelCode = parts.at(0).toLatin1();
        ok = true;
        if (parts.size() == 2) {
            config.deviceId = parts.at(1).toUInt(&ok, 0);
        } else {
            while (given.contains(nextId))
                ++nextId;
            config.deviceId = nextId++;
        }
        if (parts.size() > 2 || !ok)
            return usage(QStringLiteral("--device %1: not MODEL or MODEL@ID").arg(device));
        const UpgradeFamily *family = dispatchFamily(config.modelCode, connectDispatchOrder());
        if (!family)
            return usage(QStringLiteral("--device %1: no upgrade family serves this model").arg(device));
        config.family = QString::fromLatin1(family->name);
        config.silentConnects = silentConnects;
        bus.addDevice(config);
    }
    bus.setZeroWrapped(parser.isSet(zeroWrapped));

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return usage(QStringLiteral("no pseudo-terminal: %1").arg(QString::fromLocal8Bit(strerror(errno))));
    const QByteArray path = ptsname(master);
    // Our own hold on the port keeps it alive between the program's opens and closes (no hang-up for the reader).
    const int hold = ::open(path.constData(), O_RDWR | O_NOCTTY);
    if (hold < 0 || !makeRaw(hold) || !makeRaw(master))
        return usage(QStringLiteral("%1: %2").arg(QString::fromLatin1(path), QString::fromLocal8Bit(strerror(errno))));
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // Replies are due within the callers' read windows (140 ms for a 1 KiB block, of which the line takes half):
    // on a busy machine a real-time scheduling class keeps that timing. Without the right to it, a higher priority
    // where allowed, else best effort.
    sched_param realTime{};
    realTime.sched_priority = kRealTimePriority;
    if (sched_setscheduler(0, SCHED_FIFO, &realTime) == 0) {
        fprintf(stderr, "zrsim: real-time scheduling (SCHED_FIFO %d): replies keep their time on a busy machine\n",
                kRealTimePriority);
    } else {
        fprintf(stderr, "zrsim: no real-time scheduling here (%s): replies may come late on a busy machine\n",
                strerror(errno));
        setpriority(PRIO_PROCESS, 0, kPriority);
    }
    // Handlers first: whoever reads the path may stop us at once.
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    printf("%s\n", path.constData());
    fflush(stdout);

    // The bus is an FTDI cable with the devices behind it: opened once, at the line settings they understand.
    quint32 count = 0;
    FtdiDriver::Handle cable = nullptr;
    bus.createDeviceInfoList(&count);
    bus.openBySerialNumber("ZRSIM001", &cable);
    bus.setBaudRate(cable, 250000);
    bus.setDataCharacteristics(cable, 8, 2, 0);
    bus.setTimeouts(cable, 0, 0);

    QRandomGenerator dice(seedValue);
    QByteArray pending;
    qint64 lastByteUs = 0; // when the last byte of `pending` came in (the bus's clock)
    QVector<qint64> lateUs;
    char buffer[4096];
    // A parent that holds our input through a pipe (a test, a script) ends us by closing it. From a terminal, or
    // with input from /dev/null, only a signal does.
    struct stat in{};
    bool stdinOpen = fstat(STDIN_FILENO, &in) == 0 && (S_ISFIFO(in.st_mode) || S_ISSOCK(in.st_mode));
    while (!g_stop) {
        // Sleep on the port until the next moment something is due: a slice of a reply, a reply's last byte, the
        // end of an incomplete frame's grace. Nothing due: until the port or our input stirs.
        qint64 deadlineUs = -1;
        const qint64 nextUs = bus.nextArrivalUs();
        if (nextUs >= 0)
            deadlineUs = qMin(bus.replyEndUs(), nextUs + kSliceUs);
        const qint64 resyncUs = lastByteUs + kResyncMs * 1000;
        if (!pending.isEmpty())
            deadlineUs = deadlineUs < 0 ? resyncUs : qMin(deadlineUs, resyncUs);
        timespec timeout{};
        if (deadlineUs >= 0) {
            const qint64 leftUs = qMax<qint64>(deadlineUs - bus.elapsedUs(), 0);
            timeout.tv_sec = time_t(leftUs / 1000000);
            timeout.tv_nsec = long(leftUs % 1000000) * 1000;
        }
        pollfd fds[2] = {{master, POLLIN, 0}, {STDIN_FILENO, short(stdinOpen ? POLLIN : 0), 0}};
        if (ppoll(fds, 2, deadlineUs >= 0 ? &timeout : nullptr, nullptr) < 0 && errno != EINTR)
            break;
        if (stdinOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0)
                break; // our parent went away or closed our input: stop
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0) {
                pending.append(buffer, int(n));
                lastByteUs = bus.elapsedUs();
            }
        }
        // Whole frames go to the devices the moment their last byte is in.
        while (pending.size() >= 4) {
            const int length = readU16(pending, 2) == CMD_STREAM_CONNECT ? kStreamConnectWire : readU16(pending, 0);
            if (length < kFrameHeaderSize + kCrcSize || length > kMaxFrame) {
                pending.remove(0, 1);
                continue;
            }
            if (pending.size() < length)
                break;
            const QByteArray frame = pending.left(length);
            pending.remove(0, length);
            bus.dropReplies(dice.generateDouble() < drop ? 1 : 0);
            bus.corruptReplies(dice.generateDouble() < corrupt ? 1 : 0);
            // Drawn only when asked for, so the other faults of a seed stay where they were.
            const bool noisy = noise > 0 && dice.generateDouble() < noise;
            bus.setPeriodicFault(noisy ? SimulatedBus::Fault::Noise : SimulatedBus::Fault::None, noisy ? 1 : 0);
            quint32 written = 0;
            bus.write(cable, frame.constData(), quint32(frame.size()), &written);
            bus.dropReplies(0);
            bus.corruptReplies(0);
            bus.setPeriodicFault(SimulatedBus::Fault::None, 0);
        }
        if (!pending.isEmpty() && bus.elapsedUs() - lastByteUs >= kResyncMs * 1000)
            pending.clear();
        quint32 received = 0;
        const qint64 replyEndUs = bus.replyEndUs();
        bus.read(cable, buffer, sizeof buffer, &received);
        if (received > 0)
            writeAll(master, buffer, int(received));
        // A reply whose last byte went out now: how long after its time on the line.
        if (replyEndUs >= 0 && bus.replyEndUs() != replyEndUs && lateUs.size() < kTimedReplies)
            lateUs << bus.elapsedUs() - replyEndUs;
        bus.clearLog();
    }

    if (parser.isSet(timing)) {
        std::sort(lateUs.begin(), lateUs.end());
        auto at = [&](double p) {
            return lateUs.isEmpty() ? 0.0 : lateUs.at(qMin(lateUs.size() - 1, int(p * lateUs.size()))) / 1000.0;
        };
        fprintf(stderr, "zrsim: %d replies late by p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                int(lateUs.size()), at(0.5), at(0.9), at(0.99), at(1.0));
    }
    const QString prefix = parser.value(flashOut);
    const QList<SimDevice *> all = bus.devices();
    for (int i = 0; !prefix.isEmpty() && i < all.size(); ++i) {
        QFile out(prefix + QString::number(i) + QStringLiteral(".bin"));
        if (!out.open(QIODevice::WriteOnly) || out.write(all.at(i)->flash()) != all.at(i)->flash().size())
            fprintf(stderr, "zrsim: %s: %s\n", qPrintable(out.fileName()), qPrintable(out.errorString()));
    }
    ::close(hold);
    ::close(master);
    return 0;
}
