// The process-wide state the actions share: target address, connected device, options, last directories.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <functional>
#include <optional>

#include "link/codec.h"

// What an upgrade that ran leaves to be recorded.
struct UpgradeReport
{
    QString path;              // the upgrade file
    QByteArray image;          // its decoded image (the CRC-16 sits in the last two bytes)
    QString cableSerial;
    quint32 deviceId = 0;
    QByteArray model;
    QByteArray bootVersion;
    bool done = false;         // every block verified
    bool interrupted = false;  // stopped by a signal part-way (zrtool); the device holds a partly written application
    QString cause;             // why it stopped: the block and what went wrong; empty when done
    bool fastReplies = false;  // the cable ended exchanges on complete replies
    QDateTime started;         // UTC, when the first block was sent
    qint64 durationMs = 0;
};

struct AppState
{
    // Destination of the requests: 0xFFFFFFFF at start, 0 after a connect.
    quint32 targetAddress = BROADCAST_ID;
    // Device name from the descriptor of the last identification; null until then.
    QByteArray connectedDeviceName;
    // "Show all messages": hex dumps and per-block lines in the message box.
    bool showAllMessages = false;
    // Every descriptor name read so far, by device ID: names a device's family once its descriptor is damaged.
    QHash<quint32, QByteArray> identifiedNames;
    // Last chosen file per dialog (upgrade families, stream); "." until the first choice.
    QHash<QString, QString> lastPaths;
    QString lastPath(const QString &key) const { return lastPaths.value(key, QStringLiteral(".")); }

    // Appends one line to the message box.
    std::function<void(const QString &)> log = [](const QString &) {};

    // The device of the last identification (ID and bootloader version), for the upgrade records.
    quint32 connectedDeviceId = 0;
    QByteArray connectedBootVersion;
    // zrtool: true once SIGINT or SIGTERM asked to stop; the block loops end at the next block. Unset in the window.
    std::function<bool()> interrupted;
    // The name the last Stream Connect of this run called the devices with; none before the first one.
    std::optional<QString> streamName;

    // Told when an upgrade has run (written through, or stopped on a failure); set by whoever records upgrades.
    std::function<void(const UpgradeReport &)> upgradeFinished;
};
