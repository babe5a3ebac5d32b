// The production registry: a database of issued device IDs and device upgrades, SQLite or PostgreSQL.
#pragma once

#include <QSet>
#include <QString>
#include <QVector>
#include <functional>

#include "registry/records.h"

class QSqlDatabase;
class QSqlQuery;

class Registry
{
public:
    static constexpr int kSchemaVersion = 2;
    // A reservation or a reissue younger than this is a bench writing at this moment; an older one was left by a
    // program that died.
    static constexpr int kClaimSeconds = 15 * 60;

    // ZR_REGISTRY, else the SQLite file registry.sqlite in the user's data directory (zrtool's default).
    static QString defaultUrl();
    // ZR_REGISTRY, else empty: the window records only into a registry the user named.
    static QString configuredUrl();
    static QString defaultDirectory();
    // The bench name recorded with every row: the host name.
    static QString hostBench();

    Registry();
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    // postgresql://... (libpq's URI; a password missing there comes from PGPASSWORD, ~/.pgpass or the service
    // file), sqlite:PATH, or a plain SQLite file path (see registryurl.h). Creates the schema on first use (an
    // SQLite file readable by its owner only) and migrates an older one. False with errorText() set.
    bool open(const QString &url);
    bool isOpen() const { return m_open; }
    QString url() const { return m_url; }
    // The URL without its password: what the spool files records under and messages show.
    QString shownUrl() const { return m_shownUrl; }
    QString errorText() const { return m_error; }
    bool isPostgres() const { return m_postgres; }
    int schemaVersion();

    // --- issued IDs ---
    enum class Reserve { Reserved, Collision, Busy, PastEnd, Error };
    // Reserves every ID of the series in one transaction. Collision when any is issued already (also when another
    // bench reserves it at the same moment): nothing is reserved and *collisions holds the rows in the way.
    // With `reissue` the issued ones are taken again and the reissue is recorded; Busy (nothing reserved) when
    // another bench is writing any of them at this moment (*collisions holds those).
    Reserve reserve(const QVector<IssuedId> &ids, bool reissue, QVector<IssuedId> *collisions);
    // Reserves the series after the highest ID issued in [low, high] (the ID range of one model's week or month):
    // idsFrom(first) gives the series starting at serial `first` (empty when it runs past the last serial:
    // PastEnd). The highest ID is read inside the reserving transaction; when another bench takes it first the
    // attempt is made again, up to a bound (then Collision).
    Reserve reserveNext(quint32 low, quint32 high, const std::function<QVector<IssuedId>(int first)> &idsFrom,
                        QVector<IssuedId> *ids);
    // After the images: the written ones get file, SHA-256 and time; the reservations of the others are dropped
    // (a reissued row keeps its earlier image), so a failed write never burns an ID.
    bool confirm(const QVector<IssuedId> &written, const QVector<IssuedId> &failed);
    // Rows that hold any of these IDs.
    QVector<IssuedId> issuedAmong(const QVector<IssuedId> &ids);
    // The serial after the highest issued one of the model, scheme, year and week (month); 0 when none.
    int nextSerial(const QString &model, const QString &scheme, int year, int period);
    // Adds the rows in one transaction, except those whose ID is issued already or came earlier in `rows`: their
    // indexes go to *refused. False (nothing added) with errorText() on a database error.
    bool insertNew(const QVector<IssuedId> &rows, QVector<int> *refused);
    // A spooled image: issued, or recorded as a reissue when its ID was issued meanwhile (*earlier then holds the
    // issue it replaced; its deviceId stays 0 otherwise). A record already in the registry (same recordId) is
    // not written again.
    bool recordLateIssue(const IssuedId &id, IssuedId *earlier = nullptr);

    bool find(quint32 deviceId, IssuedId *id);
    // The IDs whose serial text (the label's "26140042") is `serialText`, in ID order.
    QVector<IssuedId> findSerialText(const QString &serialText);
    // The earlier images of a reissued ID, oldest first.
    QVector<ReissueRecord> reissueHistory(quint32 deviceId);
    // Issued IDs by model (all when empty), from `since` on (all when invalid), in ID order.
    QVector<IssuedId> list(const QString &model, const QDateTime &since);
    // Per model, scheme, year and week (month): written, reserved, highest serial, newest issue.
    QVector<SeriesSummary> summary();

    // --- upgrades ---
    // A record whose recordId is in the registry already is not written again (and counts as recorded).
    bool recordUpgrade(const UpgradeRecord &record);
    QVector<UpgradeRecord> upgrades(quint32 deviceId);

private:
    bool fail(const QSqlQuery &query);
    bool fail(const QString &text);
    bool begin();
    bool commit();
    void rollback();
    bool migrate();
    bool useWal();
    bool exec(const QString &sql);
    bool hasRecord(const char *table, const QString &recordId);
    // Runs `q` (prepared and bound by the caller) and reads each row with `read`; what was read up to a failure,
    // which is recorded as any other.
    template <typename Read>
    auto readRows(QSqlQuery &q, Read read) -> QVector<decltype(read(q))>;
    // Runs head + `count` copies of `row` ("(?, ?)") separated by commas + tail, many rows per statement (a
    // statement costs far more than a row); bindRow binds the values of row i. Adds the rows changed to *affected.
    bool execRows(const QString &head, const QString &row, const QString &tail, int count,
                  const std::function<void(QSqlQuery &, int)> &bindRow, int *affected = nullptr);
    // Inserts the IDs as reservations (written = 0), except those in `skip`.
    bool insertReserved(const QVector<IssuedId> &ids, const QSet<quint32> &skip = {});
    QSqlDatabase db() const;

    QString m_connection;
    QString m_url;
    QString m_shownUrl;
    QString m_password; // scrubbed from every error text
    QString m_error;
    bool m_open = false;
    bool m_postgres = false;
};
