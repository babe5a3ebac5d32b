// Test helpers for connect and upgrade: a device of a model and family on the bus, test images, upgrade files.
#pragma once

#include <QFile>

#include "builders/upgradefile.h"
#include "tests/support/simwindow.h"

// One device on the bus (powered and held in its bootloader unless silentConnects says otherwise).
inline SimDevice *addDevice(SimWindow &sim, const QByteArray &model, const QString &family, int silentConnects = 0,
                            quint32 deviceId = 0x0379C02A)
{
    SimDeviceConfig config;
    config.modelCode = model;
    config.family = family;
    config.silentConnects = silentConnects;
    config.deviceId = deviceId;
    return sim.bus.addDevice(config);
}

inline bool invoke(SimWindow &sim, const char *slot)
{
    return QMetaObject::invokeMethod(&sim.window, slot);
}

// A plain flash image of `size` bytes: zeros below `appOffset` (the bootloader's), test bytes above.
inline QByteArray testImage(quint32 size, quint32 appOffset, int seed = 1)
{
    return QByteArray(int(appOffset), '\0') + testBytes(int(size - appOffset), seed);
}

// Writes an upgrade file whose header names `headerModel`; returns its path (null on failure).
inline QString writeTestUpgradeFile(const QString &path, const QString &headerModel, const QByteArray &plainImage,
                                    const QString &version = QStringLiteral("01"))
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !writeUpgradeFile(&file, headerModel, version, plainImage))
        return QString();
    return path;
}
