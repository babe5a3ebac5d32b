// Benchmark of the production registry: issuing rate on SQLite and PostgreSQL, and what recording adds to a
// 1000-image zrtool boot series (median of alternating runs with and without the registry).
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>

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

double runSeconds(const QString &zrtool, const QStringList &arguments, const QString &dir)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    QElapsedTimer clock;
    clock.start();
    p.start(zrtool, arguments);
    if (!p.waitForFinished(600000) || p.exitCode() != 0) {
        fprintf(stderr, "zrtool %s failed: %s\n", qPrintable(arguments.join(' ')),
                p.readAllStandardError().constData());
        return -1;
    }
    return clock.elapsed() / 1000.0;
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
    QTemporaryDir dir;

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

    // zrtool boot --count 1000, alternating without and with the registry (SQLite), each run a fresh series.
    QFile hex(dir.filePath(QStringLiteral("boot.hex")));
    if (!hex.open(QIODevice::WriteOnly))
        return 1;
    hex.write(hexText({{0x08000000, QByteArray(0x1F00, '\x42')}}));
    hex.close();
    const QStringList common = {"boot", "--model", "Zr501", "--bootloader", "boot.hex", "--year", "26"};
    QVector<double> without, with;
    for (int run = 1; run <= 5; ++run) {
        const QString week = QString::number(run);
        const double a = runSeconds(zrtool, common + QStringList{"--week", week, "--first", "0", "--count", "1000",
                                                                 "--no-registry", "--out", "plain"},
                                    dir.path());
        const double b = runSeconds(zrtool, common + QStringList{"--week", week, "--next", "1000", "--registry",
                                                                 dir.filePath("boot.sqlite"), "--out", "recorded"},
                                    dir.path());
        if (a < 0 || b < 0)
            return 1;
        without << a;
        with << b;
    }
    printf("\nzrtool boot --count 1000 (Zr501, 8 KiB images), median of 5 alternating runs\n");
    printf("%-24s %10s\n", "", "seconds");
    printf("%-24s %10.3f\n", "without the registry", median(without));
    printf("%-24s %10.3f\n", "with the registry", median(with));
    printf("%-24s %9.1f%%\n", "added by recording", 100.0 * (median(with) / median(without) - 1.0));
    return 0;
}
