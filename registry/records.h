// The rows of the production registry: one issued device ID, one device upgrade.
#pragma once

#include <QDateTime>
#include <QString>

// One device ID as issued to a boot image. `written` is false while the ID is only reserved: the image was
// about to be written when the series stopped (a crash between reservation and confirmation shows this way).
struct IssuedId
{
    quint32 deviceId = 0;
    QString model;
    QString scheme;     // "new" (year, week) or "old" (year, month)
    int year = 0;
    int period = 0;     // week or month
    int serial = 0;
    QString serialText; // "26140042"
    QString file;       // the image written
    QString sha256;     // of the image, lower-case hex
    QDateTime time;     // UTC
    QString bench;
    bool written = false;
    int reissues = 0;   // how often the ID was written again on purpose
    QString recordId;   // the unique ID of the record that wrote it last (a spooled record replays once)
    QDateTime claimedAt; // a reissue in progress since then (invalid when none)
    QString claimedBy;  // the bench writing it again
};

// One earlier image of a reissued device ID: what the reissue at `time` replaced.
struct ReissueRecord
{
    QDateTime time;
    QString bench;
    QString model;
    QString file;
    QString sha256;
    QString previousModel; // empty in records made before the model was kept
    QString previousFile;
    QString previousSha256;
};

// Issued IDs of one model, scheme, year and week (month), as "zrtool registry list" sums them up.
struct SeriesSummary
{
    QString model;
    QString scheme;
    int year = 0;
    int period = 0;
    int written = 0;
    int reserved = 0;
    int lastSerial = -1; // the highest serial issued
    QDateTime lastTime;  // the newest issue
};

// One device upgrade, whatever its result.
struct UpgradeRecord
{
    QDateTime time; // UTC, at the start
    QString bench;
    QString cableSerial;
    quint32 deviceId = 0;
    QString model;
    QString bootVersion;
    QString file;   // the upgrade file's name
    quint16 crc = 0; // CRC-16 stored in the image
    QString sha256; // of the upgrade file
    bool fast = false; // fast replies, or the specified timing
    QString result; // "done", "failed", "interrupted" (a signal stopped zrtool), "not started"; a failure or an
                    // interruption is followed by ": " and its cause ("failed: block 0x08002400: no reply to the
                    // write, 3 tries")
    qint64 durationMs = 0;
    QString recordId; // unique per record: the registry refuses a second copy (a spool replayed twice)
};

// The time format of every stored time: ISO 8601 in UTC with milliseconds, so text order is time order.
inline QString registryTime(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}
inline QDateTime registryTime(const QString &text)
{
    QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    t.setTimeSpec(Qt::UTC);
    return t;
}
