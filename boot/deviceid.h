// The device ID a bootloader reports at connect, and its displayed form (the ID text) in both serial layouts.
#pragma once

#include <QString>
#include <QtGlobal>

// The fields packed into a device ID. Two layouts share the low 24 bits:
//   old (low 24 bits below 0x180000): bits 23..16 BCD year, 15..12 month, 11..0 serial;
//   new (from 0x180000 on):           bits 23..19 year - 11, 18..13 week, 12..0 serial.
struct DeviceIdFields
{
    quint8 rdmId = 0;    // bits 31..24: the model's RDM identifier
    bool weekLayout = false;
    int year = 0;        // two-digit year
    int monthOrWeek = 0; // month in the old layout, week in the new one
    int serial = 0;
};

DeviceIdFields splitDeviceId(quint32 deviceId);

// RDM identifier in hex, a space, year, month or week (2 digits), serial (4 digits): 0x2A123456 -> "2a 12031110".
QString deviceIdText(quint32 deviceId);
