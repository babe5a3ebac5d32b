// The production registry on Qt SQL: connection from a URL, versioned schema, and every read and write.
#include "registry/registry.h"

#include <QAtomicInt>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSysInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>
#include <QVariant>

namespace {

// How long a statement on an SQLite registry waits for another bench's transaction.
constexpr int kSqliteBusyMs = 15000;

QAtomicInt connectionCounter;

// The columns of zr_issued in the order rowToIssued reads them.
const char *const kIssuedColumns = "device_id, model, scheme, year, period, serial, serial_text, file, sha256, "
                                   "issued_at, bench, written, reissues";
const char *const kUpgradeColumns = "at, bench, cable, device_id, model, boot_version, file, crc, sha256, mode, "
                                    "result, duration_ms";

// Schema steps: step N takes a database of version N-1 to version N. `%ID%` is the dialect's row-id column.
const QVector<QStringList> &migrations()
{
    static const QVector<QStringList> steps = {
        {
            QStringLiteral("CREATE TABLE zr_issued (device_id BIGINT PRIMARY KEY, model TEXT NOT NULL, "
                           "scheme TEXT NOT NULL, year INTEGER NOT NULL, period INTEGER NOT NULL, "
                           "serial INTEGER NOT NULL, serial_text TEXT NOT NULL, file TEXT NOT NULL, "
                           "sha256 TEXT NOT NULL, issued_at TEXT NOT NULL, bench TEXT NOT NULL, "
                           "written INTEGER NOT NULL, reissues INTEGER NOT NULL DEFAULT 0)"),
            QStringLiteral("CREATE INDEX zr_issued_series ON zr_issued (model, scheme, year, period, serial)"),
            QStringLiteral("CREATE INDEX zr_issued_time ON zr_issued (issued_at)"),
            QStringLiteral("CREATE TABLE zr_reissues (id %ID%, device_id BIGINT NOT NULL, at TEXT NOT NULL, "
                           "bench TEXT NOT NULL, file TEXT NOT NULL, sha256 TEXT NOT NULL, "
                           "previous_file TEXT NOT NULL, previous_sha256 TEXT NOT NULL)"),
            QStringLiteral("CREATE TABLE zr_upgrades (id %ID%, at TEXT NOT NULL, bench TEXT NOT NULL, "
                           "cable TEXT NOT NULL, device_id BIGINT NOT NULL, model TEXT NOT NULL, "
                           "boot_version TEXT NOT NULL, file TEXT NOT NULL, crc INTEGER NOT NULL, "
                           "sha256 TEXT NOT NULL, mode TEXT NOT NULL, result TEXT NOT NULL, "
                           "duration_ms BIGINT NOT NULL)"),
            QStringLiteral("CREATE INDEX zr_upgrades_device ON zr_upgrades (device_id, at)"),
        },
    };
    return steps;
}

// A null QString binds as SQL NULL; every text column is NOT NULL, so an absent text is stored empty.
QString text(const QString &value)
{
    return value.isNull() ? QString(QLatin1String("")) : value;
}

IssuedId rowToIssued(const QSqlQuery &q)
{
    IssuedId id;
    id.deviceId = quint32(q.value(0).toLongLong());
    id.model = q.value(1).toString();
    id.scheme = q.value(2).toString();
    id.year = q.value(3).toInt();
    id.period = q.value(4).toInt();
    id.serial = q.value(5).toInt();
    id.serialText = q.value(6).toString();
    id.file = q.value(7).toString();
    id.sha256 = q.value(8).toString();
    id.time = registryTime(q.value(9).toString());
    id.bench = q.value(10).toString();
    id.written = q.value(11).toInt() != 0;
    id.reissues = q.value(12).toInt();
    return id;
}

void bindIssued(QSqlQuery &q, const IssuedId &id, bool written)
{
    q.addBindValue(qint64(id.deviceId));
    q.addBindValue(text(id.model));
    q.addBindValue(text(id.scheme));
    q.addBindValue(id.year);
    q.addBindValue(id.period);
    q.addBindValue(id.serial);
    q.addBindValue(text(id.serialText));
    q.addBindValue(text(id.file));
    q.addBindValue(text(id.sha256));
    q.addBindValue(registryTime(id.time.isValid() ? id.time : QDateTime::currentDateTimeUtc()));
    q.addBindValue(text(id.bench));
    q.addBindValue(written ? 1 : 0);
    q.addBindValue(id.reissues);
}

QString insertIssuedSql()
{
    return QStringLiteral("INSERT INTO zr_issued (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
        .arg(QLatin1String(kIssuedColumns));
}

} // namespace

QString Registry::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/ZrFlasher");
}

QString Registry::defaultUrl()
{
    const QString fromEnvironment = qEnvironmentVariable("ZR_REGISTRY");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return defaultDirectory() + QStringLiteral("/registry.sqlite");
}

QString Registry::hostBench()
{
    return QSysInfo::machineHostName();
}

Registry::Registry()
    : m_connection(QStringLiteral("zr-registry-%1").arg(connectionCounter.fetchAndAddRelaxed(1)))
{
}

Registry::~Registry()
{
    {
        QSqlDatabase database = QSqlDatabase::database(m_connection, false);
        if (database.isValid())
            database.close();
    }
    if (QSqlDatabase::contains(m_connection))
        QSqlDatabase::removeDatabase(m_connection);
}

QSqlDatabase Registry::db() const
{
    return QSqlDatabase::database(m_connection, false);
}

bool Registry::fail(const QString &text)
{
    m_error = text.simplified(); // the drivers' texts run over several lines

    return false;
}

bool Registry::fail(const QSqlQuery &query)
{
    const QSqlError e = query.lastError();
    return fail(e.databaseText().isEmpty() ? e.text() : e.databaseText().trimmed());
}

bool Registry::exec(const QString &sql)
{
    QSqlQuery q(db());
    return q.exec(sql) || fail(q);
}

bool Registry::useWal()
{
    // SQLite answers this pragma "database is locked" at once, without its busy handler, while another connection
    // opens the same file: two benches starting a series at the same moment would have one of them work from the
    // spool, unchecked. It waits here as long as any other statement would.
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        QSqlQuery q(db());
        if (q.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
            return true;
        if (q.lastError().nativeErrorCode() != QLatin1String("5") || waited.elapsed() > kSqliteBusyMs) // SQLITE_BUSY
            return fail(q);
        QThread::msleep(2);
    }
}

bool Registry::open(const QString &url)
{
    m_url = url;
    m_open = false;
    m_error.clear();
    if (QSqlDatabase::contains(m_connection))
        return fail(QStringLiteral("already opened"));
    m_postgres = url.startsWith(QLatin1String("postgresql://")) || url.startsWith(QLatin1String("postgres://"));
    QSqlDatabase database;
    if (m_postgres) {
        const QUrl u(url);
        if (!u.isValid() || u.host().isEmpty() || u.path().size() < 2)
            return fail(QStringLiteral("not a PostgreSQL URL (postgresql://user@host[:port]/db): %1").arg(url));
        if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
            return fail(QStringLiteral("the Qt PostgreSQL driver (QPSQL) is not installed"));
        database = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connection);
        database.setHostName(u.host());
        database.setPort(u.port(5432));
        database.setDatabaseName(u.path().mid(1));
        database.setUserName(u.userName());
        database.setPassword(u.password());
        // A line server that is down must not hold the bench for long.
        database.setConnectOptions(QStringLiteral("connect_timeout=5"));
    } else {
        QString path = url;
        if (path.startsWith(QLatin1String("sqlite://")))
            path = path.mid(9);
        else if (path.startsWith(QLatin1String("sqlite:")))
            path = path.mid(7);
        if (path.isEmpty())
            return fail(QStringLiteral("no SQLite file named"));
        if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
            return fail(QStringLiteral("the Qt SQLite driver (QSQLITE) is not installed"));
        const QFileInfo info(path);
        if (!QDir().mkpath(info.absolutePath()))
            return fail(QStringLiteral("cannot create the directory %1").arg(info.absolutePath()));
        database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        database.setDatabaseName(path);
        // Two benches (or two processes) on one file wait for each other's short transactions.
        database.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kSqliteBusyMs));
    }
    if (!database.open()) {
        const QSqlError e = database.lastError();
        return fail(e.databaseText().isEmpty() ? e.text() : e.databaseText().trimmed());
    }
    // WAL: readers never block the writer, and a commit costs one append instead of a journal round of syncs;
    // NORMAL keeps the file consistent through a power cut (only the last commits may be lost with it).
    if (!m_postgres && !(useWal() && exec(QStringLiteral("PRAGMA synchronous=NORMAL"))))
        return false;
    // The server's notices ("relation ... already exists, skipping") would land on the user's stderr.
    if (m_postgres && !exec(QStringLiteral("SET client_min_messages TO WARNING")))
        return false;
    if (!migrate())
        return false;
    m_open = true;
    return true;
}

bool Registry::begin()
{
    if (m_postgres)
        return exec(QStringLiteral("BEGIN"));
    // Take the write lock at once: two writers never both read and then both try to upgrade their lock.
    return exec(QStringLiteral("BEGIN IMMEDIATE"));
}

bool Registry::commit()
{
    if (exec(QStringLiteral("COMMIT")))
        return true;
    const QString error = m_error;
    rollback();
    m_error = error;
    return false;
}

void Registry::rollback()
{
    QSqlQuery q(db());
    q.exec(QStringLiteral("ROLLBACK"));
}

int Registry::schemaVersion()
{
    QSqlQuery q(db());
    if (!q.exec(QStringLiteral("SELECT value FROM zr_meta WHERE key = 'schema_version'")) || !q.next())
        return 0;
    return q.value(0).toInt();
}

bool Registry::migrate()
{
    if (!begin())
        return false;
    // Two benches opening a new line database at once: the second waits here, then finds the schema made.
    if (m_postgres && !exec(QStringLiteral("SELECT pg_advisory_xact_lock(4242001)"))) {
        rollback();
        return false;
    }
    if (!exec(QStringLiteral("CREATE TABLE IF NOT EXISTS zr_meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)"))) {
        rollback();
        return false;
    }
    const int version = schemaVersion();
    if (version > kSchemaVersion) {
        rollback();
        return fail(QStringLiteral("the registry has schema version %1, this program knows up to %2")
                        .arg(version)
                        .arg(kSchemaVersion));
    }
    const QString rowId = m_postgres ? QStringLiteral("BIGSERIAL PRIMARY KEY")
                                     : QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT");
    for (int step = version; step < migrations().size(); ++step) {
        for (QString sql : migrations().at(step)) {
            if (!exec(sql.replace(QLatin1String("%ID%"), rowId))) {
                rollback();
                return false;
            }
        }
    }
    if (version < kSchemaVersion) {
        QSqlQuery q(db());
        q.prepare(version == 0 ? QStringLiteral("INSERT INTO zr_meta (key, value) VALUES ('schema_version', ?)")
                               : QStringLiteral("UPDATE zr_meta SET value = ? WHERE key = 'schema_version'"));
        q.addBindValue(QString::number(kSchemaVersion));
        if (!q.exec()) {
            fail(q);
            rollback();
            return false;
        }
    }
    return commit();
}

QVector<IssuedId> Registry::issuedAmong(const QVector<IssuedId> &ids)
{
    QVector<IssuedId> found;
    if (ids.isEmpty())
        return found;
    QSet<quint32> wanted;
    quint32 low = ids.constFirst().deviceId, high = low;
    for (const IssuedId &id : ids) {
        wanted.insert(id.deviceId);
        low = qMin(low, id.deviceId);
        high = qMax(high, id.deviceId);
    }
    // A series is a run of consecutive IDs: one range query, filtered here.
    QSqlQuery q(db());
    q.prepare(QStringLiteral("SELECT %1 FROM zr_issued WHERE device_id BETWEEN ? AND ? ORDER BY device_id")
                  .arg(QLatin1String(kIssuedColumns)));
    q.addBindValue(qint64(low));
    q.addBindValue(qint64(high));
    if (!q.exec()) {
        fail(q);
        return found;
    }
    while (q.next()) {
        const IssuedId row = rowToIssued(q);
        if (wanted.contains(row.deviceId))
            found << row;
    }
    return found;
}

Registry::Reserve Registry::reserve(const QVector<IssuedId> &ids, bool reissue, QVector<IssuedId> *collisions)
{
    collisions->clear();
    if (!begin())
        return Reserve::Error;
    m_error.clear();
    *collisions = issuedAmong(ids);
    if (!m_error.isEmpty()) {
        rollback();
        return Reserve::Error;
    }
    if (!collisions->isEmpty() && !reissue) {
        rollback();
        return Reserve::Collision;
    }
    QSet<quint32> taken;
    for (const IssuedId &id : *collisions)
        taken.insert(id.deviceId);
    QSqlQuery q(db());
    q.prepare(insertIssuedSql());
    for (const IssuedId &id : ids) {
        if (taken.contains(id.deviceId))
            continue; // a reissue: the row changes only once its image is written
        bindIssued(q, id, false);
        if (!q.exec()) {
            fail(q);
            rollback();
            // Another bench reserved some of these IDs between our look and our insert.
            const QString error = m_error;
            *collisions = issuedAmong(ids);
            m_error = error;
            return collisions->isEmpty() ? Reserve::Error : Reserve::Collision;
        }
    }
    if (!commit()) {
        const QString error = m_error;
        *collisions = issuedAmong(ids);
        m_error = error;
        return collisions->isEmpty() ? Reserve::Error : Reserve::Collision;
    }
    return Reserve::Reserved;
}

bool Registry::confirm(const QVector<IssuedId> &written, const QVector<IssuedId> &failed)
{
    if (!begin())
        return false;
    QSqlQuery fresh(db()), before(db()), history(db()), again(db()), drop(db());
    fresh.prepare(QStringLiteral("UPDATE zr_issued SET file = ?, sha256 = ?, issued_at = ?, written = 1 "
                                 "WHERE device_id = ? AND written = 0"));
    before.prepare(QStringLiteral("SELECT file, sha256 FROM zr_issued WHERE device_id = ?"));
    history.prepare(QStringLiteral("INSERT INTO zr_reissues (device_id, at, bench, file, sha256, previous_file, "
                                   "previous_sha256) VALUES (?, ?, ?, ?, ?, ?, ?)"));
    again.prepare(QStringLiteral("UPDATE zr_issued SET file = ?, sha256 = ?, issued_at = ?, bench = ?, "
                                 "reissues = reissues + 1 WHERE device_id = ?"));
    drop.prepare(QStringLiteral("DELETE FROM zr_issued WHERE device_id = ? AND written = 0"));
    const auto failWith = [this](const QSqlQuery &q) {
        fail(q);
        rollback();
        return false;
    };
    for (const IssuedId &id : written) {
        const QString time = registryTime(id.time.isValid() ? id.time : QDateTime::currentDateTimeUtc());
        fresh.addBindValue(text(id.file));
        fresh.addBindValue(text(id.sha256));
        fresh.addBindValue(time);
        fresh.addBindValue(qint64(id.deviceId));
        if (!fresh.exec())
            return failWith(fresh);
        if (fresh.numRowsAffected() == 1)
            continue;
        // Written again on purpose: keep what it replaced.
        before.addBindValue(qint64(id.deviceId));
        if (!before.exec())
            return failWith(before);
        const bool known = before.next();
        history.addBindValue(qint64(id.deviceId));
        history.addBindValue(time);
        history.addBindValue(text(id.bench));
        history.addBindValue(text(id.file));
        history.addBindValue(text(id.sha256));
        history.addBindValue(text(known ? before.value(0).toString() : QString()));
        history.addBindValue(text(known ? before.value(1).toString() : QString()));
        before.finish();
        if (!history.exec())
            return failWith(history);
        if (!known) { // the row vanished meanwhile: issue it anew
            QSqlQuery insert(db());
            insert.prepare(insertIssuedSql());
            bindIssued(insert, id, true);
            if (!insert.exec())
                return failWith(insert);
            continue;
        }
        again.addBindValue(text(id.file));
        again.addBindValue(text(id.sha256));
        again.addBindValue(time);
        again.addBindValue(text(id.bench));
        again.addBindValue(qint64(id.deviceId));
        if (!again.exec())
            return failWith(again);
    }
    for (const IssuedId &id : failed) {
        drop.addBindValue(qint64(id.deviceId));
        if (!drop.exec())
            return failWith(drop);
    }
    return commit();
}

int Registry::nextSerial(const QString &model, const QString &scheme, int year, int period)
{
    QSqlQuery q(db());
    q.prepare(QStringLiteral("SELECT MAX(serial) FROM zr_issued WHERE model = ? AND scheme = ? AND year = ? "
                             "AND period = ?"));
    q.addBindValue(model);
    q.addBindValue(scheme);
    q.addBindValue(year);
    q.addBindValue(period);
    if (!q.exec() || !q.next()) {
        fail(q);
        return -1;
    }
    return q.value(0).isNull() ? 0 : q.value(0).toInt() + 1;
}

bool Registry::insertNew(const QVector<IssuedId> &rows, QVector<int> *refused)
{
    refused->clear();
    if (!begin())
        return false;
    QSet<quint32> seen;
    QSqlQuery exists(db()), insert(db());
    exists.prepare(QStringLiteral("SELECT 1 FROM zr_issued WHERE device_id = ?"));
    insert.prepare(insertIssuedSql());
    for (int i = 0; i < rows.size(); ++i) {
        const IssuedId &row = rows.at(i);
        exists.addBindValue(qint64(row.deviceId));
        if (!exists.exec()) {
            fail(exists);
            rollback();
            return false;
        }
        const bool issued = exists.next();
        exists.finish();
        if (issued || seen.contains(row.deviceId)) {
            refused->append(i);
            continue;
        }
        seen.insert(row.deviceId);
        bindIssued(insert, row, row.written);
        if (!insert.exec()) {
            fail(insert);
            rollback();
            return false;
        }
    }
    return commit();
}

bool Registry::recordLateIssue(const IssuedId &id)
{
    IssuedId existing;
    if (!find(id.deviceId, &existing)) {
        if (!m_error.isEmpty())
            return false;
        QVector<int> refused;
        if (!insertNew({id}, &refused))
            return false;
        if (refused.isEmpty())
            return true;
    }
    return confirm({id}, {});
}

bool Registry::find(quint32 deviceId, IssuedId *id)
{
    m_error.clear();
    QSqlQuery q(db());
    q.prepare(QStringLiteral("SELECT %1 FROM zr_issued WHERE device_id = ?").arg(QLatin1String(kIssuedColumns)));
    q.addBindValue(qint64(deviceId));
    if (!q.exec())
        return fail(q);
    if (!q.next())
        return false;
    *id = rowToIssued(q);
    return true;
}

QVector<IssuedId> Registry::list(const QString &model, const QDateTime &since)
{
    QVector<IssuedId> rows;
    QString sql = QStringLiteral("SELECT %1 FROM zr_issued WHERE 1 = 1").arg(QLatin1String(kIssuedColumns));
    if (!model.isEmpty())
        sql += QStringLiteral(" AND model = ?");
    if (since.isValid())
        sql += QStringLiteral(" AND issued_at >= ?");
    QSqlQuery q(db());
    q.prepare(sql + QStringLiteral(" ORDER BY device_id"));
    if (!model.isEmpty())
        q.addBindValue(model);
    if (since.isValid())
        q.addBindValue(registryTime(since));
    if (!q.exec()) {
        fail(q);
        return rows;
    }
    while (q.next())
        rows << rowToIssued(q);
    return rows;
}

bool Registry::recordUpgrade(const UpgradeRecord &r)
{
    QSqlQuery q(db());
    q.prepare(QStringLiteral("INSERT INTO zr_upgrades (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                  .arg(QLatin1String(kUpgradeColumns)));
    q.addBindValue(registryTime(r.time.isValid() ? r.time : QDateTime::currentDateTimeUtc()));
    q.addBindValue(text(r.bench));
    q.addBindValue(text(r.cableSerial));
    q.addBindValue(qint64(r.deviceId));
    q.addBindValue(text(r.model));
    q.addBindValue(text(r.bootVersion));
    q.addBindValue(text(r.file));
    q.addBindValue(int(r.crc));
    q.addBindValue(text(r.sha256));
    q.addBindValue(r.fast ? QStringLiteral("fast") : QStringLiteral("standard"));
    q.addBindValue(text(r.result));
    q.addBindValue(r.durationMs);
    // A single statement is its own transaction.
    return q.exec() || fail(q);
}

QVector<UpgradeRecord> Registry::upgrades(quint32 deviceId)
{
    QVector<UpgradeRecord> rows;
    QSqlQuery q(db());
    q.prepare(QStringLiteral("SELECT %1 FROM zr_upgrades WHERE device_id = ? ORDER BY at, id")
                  .arg(QLatin1String(kUpgradeColumns)));
    q.addBindValue(qint64(deviceId));
    if (!q.exec()) {
        fail(q);
        return rows;
    }
    while (q.next()) {
        UpgradeRecord r;
        r.time = registryTime(q.value(0).toString());
        r.bench = q.value(1).toString();
        r.cableSerial = q.value(2).toString();
        r.deviceId = quint32(q.value(3).toLongLong());
        r.model = q.value(4).toString();
        r.bootVersion = q.value(5).toString();
        r.file = q.value(6).toString();
        r.crc = quint16(q.value(7).toInt());
        r.sha256 = q.value(8).toString();
        r.fast = q.value(9).toString() == QLatin1String("fast");
        r.result = q.value(10).toString();
        r.durationMs = q.value(11).toLongLong();
        rows << r;
    }
    return rows;
}
