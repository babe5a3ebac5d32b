// The device ID a bootloader reports at connect, and its displayed form (the ID text) in both serial layouts.
#include "boot/deviceid.h"

namespace {
// Low 24 bits from here on are of the new (week) layout.
constexpr quint32 kWeekLayoutStart = 0x180000;
// The new layout stores the year less this.
constexpr int kWeekLayoutYearBase = 11;
} // namespace

DeviceIdFields splitDeviceId(quint32 deviceId)
{
    DeviceIdFields f;
    f.rdmId = quint8(deviceId >> 24);
    const quint32 low = deviceId & 0xFFFFFF;
    f.weekLayout = low >= kWeekLayoutStart;
    if (!f.weekLayout) {
        f.year = 10 * int((low >> 20) & 0xF) + int((low >> 16) & 0xF);
        f.monthOrWeek = int((low >> 12) & 0xF);
        f.serial = int(low & 0xFFF);
    } else {
        f.year = int((low >> 19) & 0x1F) + kWeekLayoutYearBase;
        f.monthOrWeek = int((low >> 13) & 0x3F);
        f.serial = int(low & 0x1FFF);
    }
    return f;
}

QString deviceIdText(quint32 deviceId)
{
    const DeviceIdFields f = splitDeviceId(deviceId);
    return QStringLiteral("%1 %2%3%4")
            .arg(QString::number(f.rdmId, 16))
            .arg(f.year)
            .arg(f.monthOrWeek, 2, 10, QLatin1Char('0'))
            .arg(f.serial, 4, 10, QLatin1Char('0'));
}
