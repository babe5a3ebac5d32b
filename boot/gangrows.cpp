// The gang rows' texts: one place for what the dialog and the message box say about each cable.
#include "boot/gangrows.h"

#include <QCoreApplication>

#include "boot/deviceid.h"
#include "builders/upgradefile.h"

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("GangUpgrade", text);
}
} // namespace

GangFile checkGangFile(const QString &path)
{
    GangFile file;
    const UpgradeFile read = readUpgradeFile(path);
    if (!read.opened) {
        file.problem = read.refused.isEmpty() ? tr("cannot open %1").arg(path) : read.refused;
        return file;
    }
    file.model = upgradeFileModel(read.header);
    if (file.model.isEmpty())
        file.problem = tr("not an upgrade file: its header names no model");
    return file;
}

QString gangCableBusy(const CableIdentity &cable, const QByteArray &heldSerial)
{
    if (!heldSerial.isEmpty() && cable.serial == heldSerial)
        return tr("in use by this window (Disconnect RS Cable frees it)");
    if (cable.flags & 1u)
        return tr("opened by another program");
    if (cable.listedBefore)
        return tr("the cable listed above, through another backend");
    return QString();
}

QString gangStepText(GangUpgrade::Step step)
{
    switch (step) {
    case GangUpgrade::Step::Waiting:
        return tr("waiting");
    case GangUpgrade::Step::Connecting:
        return tr("connecting…");
    case GangUpgrade::Step::Writing:
        return tr("writing…");
    case GangUpgrade::Step::Finished:
        break;
    }
    return QString();
}

QString gangDeviceText(quint32 deviceId, const QByteArray &model)
{
    return deviceIdText(deviceId) + QStringLiteral("  ") + QString::fromLatin1(model);
}

QString gangResultText(const UpgradeOutcome &outcome, bool stopRequested)
{
    using Result = UpgradeOutcome::Result;
    switch (outcome.result) {
    case Result::Done:
        return tr("done");
    case Result::Failed:
        return tr("failed: %1").arg(outcome.step);
    case Result::Interrupted:
        return tr("stopped: %1").arg(outcome.step);
    case Result::Refused:
        return tr("refused: %1").arg(outcome.step);
    case Result::NoCable:
        return tr("no cable: %1").arg(outcome.step);
    case Result::NoDevice:
        break;
    }
    // The connect's own words: "no device answered the connect frames", "several devices answered at once".
    return stopRequested ? tr("stopped") : outcome.step;
}
