// A boot-image series as the registry sees it: the IDs it issues, the check for reuse, and the record afterwards.
#pragma once

#include <QHash>
#include <QString>
#include <QVector>

#include "builders/bootimage.h"
#include "registry/records.h"

class Recorder;

QString schemeName(SerialScheme scheme); // "new" or "old"

class IssueSeries
{
public:
    IssueSeries(Recorder &recorder, const BootInputs &inputs, const ProductionRun &run);

    const QVector<IssuedId> &ids() const { return m_ids; }

    enum class Check {
        Reserved,   // every ID is now reserved for this series
        Reused,     // some are issued already: nothing reserved, see collisions()
        Busy,       // (a reissue) another bench is writing some of them right now: nothing reserved
        PastEnd,    // (next) the series would run past the last serial number
        Unrecorded, // the registry cannot be reached or written (see problem()): nothing reserved; the series may
                    // go on only on purpose (offline), its records then go to the spool
    };
    // With `reissue` the issued IDs are taken again and the reissue is recorded.
    Check reserve(bool reissue);
    // The next `count` free serial numbers of the model's year and week (month), read and reserved in one
    // transaction (tried again while other benches take them first); the series then starts there (firstSerial()).
    Check reserveNext(int count);
    int firstSerial() const { return m_ids.isEmpty() ? 0 : m_ids.constFirst().serial; }
    // Why the registry could not be used.
    QString problem() const;
    const QVector<IssuedId> &collisions() const { return m_collisions; }
    // "Zr525 26140042..26140050" or "Zr525 26140042" (the colliding serial strings, first and last).
    QString collisionRange() const;
    // The days the colliding IDs were issued, "2026-12-07, 2026-12-08".
    QString collisionDates() const;

    // Each image: its bytes once built (their SHA-256 is kept), then whether its file is in place.
    void imageBuilt(int serial, const QByteArray &image);
    void imageDone(int serial, const QString &path, bool written);
    // Both at once.
    void imageWritten(int serial, const QString &path, const QByteArray &image, bool written)
    {
        imageBuilt(serial, image);
        imageDone(serial, path, written);
    }
    // What the boot-series writer reports to.
    SeriesObserver observer();
    // Confirms the written images and frees the IDs of all others (or spools the written ones). False when some
    // record could be kept neither in the registry nor in the spool.
    bool finish();

private:
    void makeIds(int first, int count);

    Recorder &m_recorder;
    BootInputs m_inputs;
    ProductionRun m_run;
    QString m_recordBase; // the record IDs of the series' images: this and the serial text
    QVector<IssuedId> m_ids;
    QHash<int, int> m_indexOfSerial;
    QVector<IssuedId> m_collisions;
    QVector<IssuedId> m_written;
    QHash<int, QString> m_sha256; // by serial number, until the image is in place
    bool m_reserved = false;
};
