// The process-wide state the actions share: target address, connected device, options, last directories.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <functional>

#include "link/codec.h"

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
};
