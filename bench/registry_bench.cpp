// Benchmark of the production registry: issuing rate on SQLite and PostgreSQL, SHA-256 speed, and what recording
// adds to a 1000-image zrtool boot series (whole-process CPU time, median of alternating pairs into fresh folders).
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QCryptographicHash>
#include <algorithm>
#include <cstdio>
#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

#include "registry/issueseries.h"
#include "registry/recorder.h"
#include "tests/support/hexfile.h"

namespace {

constexpr int kIds = 10000;
constexpr int kSeries = 100;

// Seconds for issuing kIds IDs in series of kSeries (reserve, one image each, confirm); negative on failure.
double issueRate(const QString &url, const QString &spool)
{
    Recorder recorder(url, QStringLiteral("bench"), spool);
    if (!recorder.registry()) {
        fprintf(stderr, "%s\n", qPrintable(recorder.takeNotice()));
        return -1;
    }
    BootInputs in;
    in.model = QStringLiteral("Zr501");
    in.rdmId = 3;
    const QByteArray image(8192, '\x5A');
    QElapsedTimer clock;
    clock.start();
    for (int done = 0; done < kIds; done += kSeries) {
        ProductionRun run;
        run.year = 26;
        run.period = 1 + done / 8000; // a week holds 8192 serial numbers
        run.firstSerial = done % 8000;
        run.count = kSeries;
        IssueSeries series(recorder, in, run);
        if (series.reserve(false) != IssueSeries::Check::Reserved) {
            fprintf(stderr, "series at %d not reserved\n", done);
            return -1;
        }
        for (int serial = run.firstSerial; serial < run.firstSerial + kSeries; ++serial)
            series.imageWritten(serial, QStringLiteral("Zr501/%1.bin").arg(serial), image, true);
        series.finish();
    }
    return clock.elapsed() / 1000.0;
}

// CPU seconds (user + system) of the processes this one has waited for.
double childCpu()
{
#ifndef Q_OS_UNIX
    return QDateTime::currentMSecsSinceEpoch() / 1000.0; // no child CPU time there: wall time instead
#else
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#endif
}

// Whole-process CPU seconds of one zrtool run (the full program it hands over to included: the same process).
double runCpu(const QString &zrtool, const QStringList &arguments, const QString &dir, const QString &spool)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZR_REGISTRY_SPOOL"), spool);
    p.setProcessEnvironment(env);
    const double before = childCpu();
    p.start(zrtool, arguments);
    if (!p.waitForFinished(600000) || p.exitCode() != 0) {
        fprintf(stderr, "zrtool %s failed: %s\n", qPrintable(arguments.join(' ')),
                p.readAllStandardError().constData());
        return -1;
    }
    return childCpu() - before;
}

// MB/s of a hash over 8 KiB images.
template <typename Hash>
double hashRate(Hash hash)
{
    const QByteArray image(8192, '\x5A');
    QElapsedTimer clock;
    clock.start();
    int rounds = 0;
    while (clock.elapsed() < 500) {
        for (int i = 0; i < 100; ++i)
            hash(image);
        rounds += 100;
    }
    return rounds * 8192.0 / (clock.nsecsElapsed() / 1e9) / 1e6;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int pgAt = args.indexOf(QStringLiteral("--postgres"));
    const QString postgres = pgAt > 0 && pgAt + 1 < args.size() ? args.at(pgAt + 1)
                                                                : qEnvironmentVariable("ZR_BENCH_POSTGRES_URL");
    const int toolAt = args.indexOf(QStringLiteral("--zrtool"));
    const QString zrtool = toolAt > 0 && toolAt + 1 < args.size()
                               ? QFileInfo(args.at(toolAt + 1)).absoluteFilePath()
                               : QCoreApplication::applicationDirPath() + QStringLiteral("/../zrtool/zrtool");
    // --dir DIR: where the series are written (default: the system's temporary folder).
    const int dirAt = args.indexOf(QStringLiteral("--dir"));
    QTemporaryDir dir(dirAt > 0 && dirAt + 1 < args.size() ? args.at(dirAt + 1) + QStringLiteral("/zrbench-XXXXXX")
                                                           : QString());

    printf("Issuing %d device IDs in series of %d (reserve, record each image, confirm)\n", kIds, kSeries);
    printf("%-12s %10s %10s\n", "backend", "seconds", "IDs/s");
    const double sqlite = issueRate(dir.filePath(QStringLiteral("issue.sqlite")), dir.filePath("spool"));
    printf("%-12s %10.2f %10.0f\n", "sqlite", sqlite, sqlite > 0 ? kIds / sqlite : 0.0);
    if (postgres.isEmpty()) {
        printf("%-12s %s\n", "postgresql", "skipped: give --postgres URL (bench/registry_bench.sh starts a server)");
    } else {
        const double pg = issueRate(postgres, dir.filePath("spool"));
        printf("%-12s %10.2f %10.0f\n", "postgresql", pg, pg > 0 ? kIds / pg : 0.0);
    }
    fflush(stdout);

    printf("\nSHA-256 of 8 KiB images: %.0f MB/s as recorded (sha256Hex), %.0f MB/s through QCryptographicHash\n",
           hashRate([](const QByteArray &b) { return sha256Hex(b); }),
           hashRate([](const QByteArray &b) { return QCryptographicHash::hash(b, QCryptographicHash::Sha256); }));
    fflush(stdout);

    // zrtool boot of 1000 images, with the registry (SQLite, --next 1000: a fresh series) and with --no-registry,
    // as pairs run in turn (which goes first alternates), each run into a folder of its own.
    QFile hex(dir.filePath(QStringLiteral("boot.hex")));
    if (!hex.open(QIODevice::WriteOnly))
        return 1;
    hex.write(hexText({{0x08000000, QByteArray(0x1F00, '\x42')}}));
    hex.close();
    const int pairsAt = args.indexOf(QStringLiteral("--pairs"));
    const int pairs = pairsAt > 0 && pairsAt + 1 < args.size() ? args.at(pairsAt + 1).toInt() : 15;
    const QStringList common = {"boot", "--model", "Zr501", "--bootloader", "boot.hex", "--year", "26"};
    QVector<double> without, with, ratios;
    for (int pair = 0; pair < pairs; ++pair) {
        const QString week = QString::number(1 + pair % 50);
        const QStringList plain = common + QStringList{"--week", week, "--first", "0", "--count", "1000",
                                                       "--no-registry", "--out", QStringLiteral("plain%1").arg(pair)};
        const QStringList recorded = common + QStringList{"--week", week, "--next", "1000", "--registry",
                                                          dir.filePath(QStringLiteral("boot.sqlite")), "--out",
                                                          QStringLiteral("recorded%1").arg(pair)};
        const QString spool = dir.filePath(QStringLiteral("boot-spool.jsonl"));
        double a = 0, b = 0;
        if (pair % 2 == 0) {
            a = runCpu(zrtool, plain, dir.path(), spool);
            b = runCpu(zrtool, recorded, dir.path(), spool);
        } else {
            b = runCpu(zrtool, recorded, dir.path(), spool);
            a = runCpu(zrtool, plain, dir.path(), spool);
        }
        if (a <= 0 || b <= 0)
            return 1;
        without << a;
        with << b;
        ratios << b / a;
    }
    printf("\nzrtool boot, 1000 Zr501 images of 8 KiB into %s, whole-process CPU time (user + system), %d "
           "alternating pairs\n",
           qPrintable(dir.path()), pairs);
    printf("%-36s %10s\n", "", "ms");
    printf("%-36s %10.1f\n", "--no-registry, median", 1000 * median(without));
    printf("%-36s %10.1f\n", "recorded (SQLite, --next), median", 1000 * median(with));
    printf("%-36s %10.3f\n", "recorded / --no-registry, median pair", median(ratios));
    return 0;
}
