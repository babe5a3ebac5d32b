// What the rows of a gang upgrade show: the file chosen, the cables that may take part, and each cable's step,
// device and result, as texts (widget-free, so the window's dialog stays a view of them).
#pragma once

#include <QByteArray>
#include <QString>

#include "boot/deviceupgrade.h"
#include "boot/gangupgrade.h"
#include "link/cableidentity.h"

// The upgrade file a gang writes: the model its header names, else why it cannot be used.
struct GangFile
{
    QString model;   // "Zr501"; empty when the file cannot be used
    QString problem; // "not an upgrade file: its header names no model"; empty when usable
};
GangFile checkGangFile(const QString &path);

// Why a listed cable cannot take part (empty: it can): the window itself holds it open (`heldSerial`, empty when
// the window holds none), the library reports it opened by another program, or it is a cable listed before through
// another backend (it would be upgraded twice). Two programs never share a cable.
QString gangCableBusy(const CableIdentity &cable, const QByteArray &heldSerial);

// "connecting…", "writing…" while a cable runs.
QString gangStepText(GangUpgrade::Step step);
// The device a cable caught: its ID as the connect lines show it, then its model ("3 26140042  Zr501").
QString gangDeviceText(quint32 deviceId, const QByteArray &model);
// The result of a cable: "done", "failed: <step>", "no device answered the connect frames", "stopped", ... `stopRequested`: the user stopped
// the gang, so a connect that gave up was stopped rather than unanswered.
QString gangResultText(const UpgradeOutcome &outcome, bool stopRequested);
