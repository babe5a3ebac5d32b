// zrtool upgrade over several cables at once: the lines while it runs, the summary, the exit status.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <functional>

#include "boot/deviceupgrade.h"
#include "boot/gangupgrade.h"

class Recorder;

// An upgrade's outcome as --json gives it (one object; the gang adds its cable).
QJsonObject outcomeJson(const UpgradeOutcome &outcome, const QString &path);
// "done", "failed", "no device", ...
QString resultWord(UpgradeOutcome::Result result);

struct GangRun
{
    QList<GangCable> cables;
    GangSettings settings;
    QString backend;                // --cable-backend: the backend a cable listed without one opens through
    bool json = false;
    Recorder *recorder = nullptr;   // null: nothing recorded
    std::function<int()> stopSignal; // the signal (SIGINT, SIGTERM) that asked to stop; 0 while none did
};

// Runs the gang and returns the exit status: 0 when every cable's device is done; else 128 + the signal when one
// stopped it, 6 when a device failed or was refused, 4 when a cable could not be opened, 5 when a cable had no
// device.
int runGangUpgrade(const GangRun &run);
