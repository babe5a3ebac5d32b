// A cable as the user names it: listed once, chosen by its serial number or port, opened by that identity alone.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class FtdiDriver;

struct CableIdentity
{
    QString backend;        // the backend that listed it ("serial", "libftdi", "d2xx"); empty for a driver of its own
    QByteArray serial;      // the serial number the cable list shows (a port name where the port has none)
    QByteArray openName;    // what opens it without listing again: a port path, a USB address, else the serial
    QByteArray description;
    QStringList names;      // every name that selects it exactly: the serial, the port path and name, the USB address
    quint32 flags = 0;      // the library's flags (bit 0: opened by another program)
    bool listedBefore = false; // the same cable as one listed before it, through another backend

    // "USB-RS485 Cable S/N: FT4X9Z", as the cable dialog lists it.
    QString label() const;
};

// Enumerates the driver's cables once.
QList<CableIdentity> listCables(FtdiDriver &driver);

// The cable `wanted` names: a serial number or a port exactly (else the same, the case aside), else the one cable
// whose serial number or port starts with it. -1 with a one-line *problem when none does or
// several do ("'FT4' matches several cables (...); give the whole serial number or port").
int findCable(const QList<CableIdentity> &cables, const QString &wanted, QString *problem);
