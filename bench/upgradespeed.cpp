// Upgrade time of each family on the simulator's virtual clock: full reply windows against fast replies, beside
// the time the wire and the flash programming need.
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTextStream>
#include <cstdio>

#include "core/appstate.h"
#include "core/optionprompts.h"
#include "boot/deviceupgrade.h"
#include "boot/upgradefamily.h"
#include "builders/upgradefile.h"
#include "link/rs485cable.h"
#include "sim/simulatedbus.h"

namespace {
struct Run
{
    bool done = false;
    qint64 durationMs = 0;
    qint64 busyMs = 0;
};

Run upgradeOnce(const UpgradeFamily &family, const QString &file, const QByteArray &model, bool fast)
{
    SimulatedBus bus(SimulatedBus::Clock::Virtual);
    SimDeviceConfig config;
    config.modelCode = model;
    config.family = QString::fromLatin1(family.name);
    bus.addDevice(config);
    OptionPrompts prompts;
    AppState state;
    RS485Cable cable(nullptr, 250000, 8, 2, 0, &bus, &prompts);
    cable.setFastReplies(fast);
    if (cable.open(250000, 8, 2, 0) != 0)
        return {};
    const qint64 busyBefore = bus.busyUs();
    UpgradeRequest request;
    request.file = file;
    const UpgradeOutcome outcome = upgradeDevice(state, prompts, cable, request);
    return {outcome.result == UpgradeOutcome::Result::Done, outcome.durationMs, (bus.busyUs() - busyBefore) / 1000};
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    QTemporaryDir dir;
    QTextStream out(stdout);
    out << QStringLiteral("%1 %2 %3 %4 %5\n")
                   .arg(QStringLiteral("family"), -18)
                   .arg(QStringLiteral("specified s"), 12)
                   .arg(QStringLiteral("fast s"), 8)
                   .arg(QStringLiteral("bound s"), 8)
                   .arg(QStringLiteral("fast/bound"), 11);
    int failures = 0;
    for (const UpgradeFamily &family : upgradeFamilies()) {
        const QByteArray model = familyModels(family.id).first().toLatin1();
        // The bootloader's area is left blank, the application area holds a pattern.
        QByteArray image(int(family.imageSize), '\0');
        for (quint32 i = family.firstBlock - FLASH_BASE; i < family.imageSize; ++i)
            image[int(i)] = char((i * 7 + (i >> 8)) & 0xFF);
        const QString path = dir.filePath(QString::fromLatin1(family.name) + QStringLiteral(".upg"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || !writeUpgradeFile(&file, QString::fromLatin1(model), kUpgradeFileVersion, image))
            return 3;
        file.close();

        const Run specified = upgradeOnce(family, path, model, false);
        const Run fast = upgradeOnce(family, path, model, true);
        const bool ok = specified.done && fast.done;
        failures += ok ? 0 : 1;
        // Both runs put the same frames and replies on the wire: the fast run's busy time is the bound.
        out << QStringLiteral("%1 %2 %3 %4 %5%6\n")
                       .arg(QString::fromLatin1(family.name), -18)
                       .arg(specified.durationMs / 1000.0, 12, 'f', 2)
                       .arg(fast.durationMs / 1000.0, 8, 'f', 2)
                       .arg(fast.busyMs / 1000.0, 8, 'f', 2)
                       .arg(double(fast.durationMs) / double(qMax<qint64>(fast.busyMs, 1)), 11, 'f', 3)
                       .arg(ok ? QString() : QStringLiteral("  (upgrade failed)"));
        out.flush();
    }
    return failures == 0 ? 0 : 1;
}
