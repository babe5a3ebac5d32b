// The cable backends side by side behind one FtdiDriver: the vendor's D2XX library, libftdi and serial ports, in
// that order, so the cable dialog lists every cable any of them sees and a stock system still finds its cable.
#pragma once

#include <QStringList>
#include <memory>
#include <vector>

#include "link/cableidentity.h"
#include "link/ftdidriver.h"

class CableDrivers : public FtdiDriver
{
public:
    struct Backend
    {
        QString name; // "d2xx", "libftdi", "serial": shown in brackets where two backends see the same cable
        std::unique_ptr<FtdiDriver> driver;
    };
    explicit CableDrivers(std::vector<Backend> backends);
    ~CableDrivers() override;

    QStringList backendNames() const;

    // The devices of every backend in backend order. A cable two backends report with the same serial number is
    // listed by each, its description followed by the backend in brackets; the later ones are named by the
    // backend's other name for it (port name, USB address) so that each entry opens through its own backend.
    Status createDeviceInfoList(quint32 *count) override;
    Status getDeviceInfoDetail(quint32 index, quint32 *flags, quint32 *type, quint32 *id, quint32 *locId,
                               char *serialNumber, char *description, Handle *handle) override;
    // A name from the last enumeration (the one listed, or the backend's direct name for it) opens through the
    // backend that listed it; any other name (a port such as
    // /dev/pts/3) is offered to each backend in turn.
    Status openBySerialNumber(const char *serialNumber, Handle *handle) override;
    Status resetDevice(Handle handle) override;
    Status setBaudRate(Handle handle, quint32 baud) override;
    Status setDataCharacteristics(Handle handle, quint8 wordLength, quint8 stopBits, quint8 parity) override;
    Status setFlowControl(Handle handle, quint16 flowControl, quint8 xon, quint8 xoff) override;
    Status setLatencyTimer(Handle handle, quint8 milliseconds) override;
    Status getLatencyTimer(Handle handle, quint8 *milliseconds) override;
    Status purge(Handle handle, quint32 mask) override;
    Status setTimeouts(Handle handle, quint32 readMs, quint32 writeMs) override;
    Status setRts(Handle handle) override;
    Status clrRts(Handle handle) override;
    Status setBreakOn(Handle handle) override;
    Status setBreakOff(Handle handle) override;
    Status write(Handle handle, const void *buffer, quint32 length, quint32 *written) override;
    Status read(Handle handle, void *buffer, quint32 length, quint32 *received) override;
    Status close(Handle handle) override;
    QStringList otherNames(quint32 index) const override;
    QByteArray directName(quint32 index) const override;
    QString backendOf(quint32 index) const override;
    bool listedBefore(quint32 index) const override;
    // After an enumeration that found nothing: every backend's reason, joined by "; ". After a failed open: the
    // reason of the backend that failed.
    QString problem() const override { return m_problem; }

private:
    struct Entry;
    struct Open;
    Open *find(Handle handle) const;

    std::vector<Backend> m_backends;
    std::vector<Entry> m_entries;
    QList<Open *> m_open;
    QString m_problem;
};

// The backend names in fallback order, as --cable-backend takes them: those this build has.
QStringList cableBackendNames();
// Why this build lacks backends the others have, in one line (empty where it has them all).
QString leftOutCableBackends();

// The backends the program uses: all of them in fallback order when `backend` is empty, else only the one named.
// extraPorts: serial ports to list besides those the system reports (--cable /dev/pts/3). Null with a one-line
// *error for an unknown backend or one this build lacks.
std::unique_ptr<CableDrivers> makeCableDrivers(const QString &backend, const QStringList &extraPorts,
                                               QString *error);

// The cables the backends see, listed once through a fresh instance of them (never through a driver that may hold a
// cable open). Empty with a one-line *problem when none is there or the backend is unknown.
QList<CableIdentity> listSystemCables(const QString &backend, const QStringList &extraPorts, QString *problem);
// A gang worker's own driver for a cable of that list: only the backend that listed it (else `backend`), having
// listed nothing; it opens the cable by its identity alone.
std::unique_ptr<FtdiDriver> systemCableDriver(const CableIdentity &cable, const QString &backend = QString());
