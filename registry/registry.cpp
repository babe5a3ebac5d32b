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
#include <QRandomGenerator>
#include <QThread>
#include <QUrl>
#include <QVariant>

#include "registry/privatefiles.h"
#include "registry/registryurl.h"

namespace {

// How long a statement on an SQLite registry waits for another bench's transaction.
constexpr int kSqliteBusyMs = 15000;

QAtomicInt connectionCounter;

// The columns of zr_issued in the order rowToIssued reads them.
const char *const kIssuedColumns = "device_id, model, scheme, year, period, serial, serial_text, file, sha256, "
                                   "issued_at, bench, written, reissues, record_id, claimed_at, claimed_by";
const char *const kUpgradeColumns = "at, bench, cable, device_id, model, boot_version, file, crc, sha256, mode, "
                                    "result, duration_ms, record_id";

// How often --next reads the highest ID again after another bench took the numbers it read.
constexpr int kNextAttempts = 200;

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
        // 2: every record carries a unique ID, so a spool replayed twice (or by two programs) is refused by the
        // database; reissues in progress are claimed; the reissue history keeps the models.
        {
            QStringLiteral("ALTER TABLE zr_upgrades ADD COLUMN record_id TEXT"),
            QStringLiteral("CREATE UNIQUE INDEX zr_upgrades_record ON zr_upgrades (record_id)"),
            QStringLiteral("ALTER TABLE zr_issued ADD COLUMN record_id TEXT"),
            QStringLiteral("CREATE UNIQUE INDEX zr_issued_record ON zr_issued (record_id)"),
            QStringLiteral("ALTER TABLE zr_issued ADD COLUMN claimed_at TEXT"),
            QStringLiteral("ALTER TABLE zr_issued ADD COLUMN claimed_by TEXT"),
            QStringLiteral("CREATE INDEX zr_issued_serial_text ON zr_issued (serial_text)"),
            QStringLiteral("ALTER TABLE zr_reissues ADD COLUMN record_id TEXT"),
            QStringLiteral("CREATE UNIQUE INDEX zr_reissues_record ON zr_reissues (record_id)"),
            QStringLiteral("ALTER TABLE zr_reissues ADD COLUMN model TEXT"),
            QStringLiteral("ALTER TABLE zr_reissues ADD COLUMN previous_model TEXT"),
            QStringLiteral("CREATE INDEX zr_reissues_device ON zr_reissues (device_id, at)"),
        },
    };
    return steps;
}

// A null QString binds as SQL NULL; every text column is NOT NULL, so an absent text is stored empty.
QString text(const QString &value)
{
    return value.isNull() ? QString(QLatin1String("")) : value;
}

// An optional text column: NULL when empty.
QVariant optional(const QString &value)
{
    return value.isEmpty() ? QVariant(QVariant::String) : QVariant(value);
}

// A libpq keyword=value pair, quoted as libpq reads it.
QString libpqOption(const QString &key, QString value)
{
    value.replace(QLatin1String("\\"), QLatin1String("\\\\")).replace(QLatin1String("'"), QLatin1String("\\'"));
    return key + QStringLiteral("='") + value + QLatin1Char('\'');
}

bool inFlight(const IssuedId &id, const QDateTime &now)
{
    const QDateTime since = id.claimedAt.isValid() ? id.claimedAt : id.written ? QDateTime() : id.time;
    return since.isValid() && since.secsTo(now) < Registry::kClaimSeconds;
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
    id.recordId = q.value(13).toString();
    if (!q.value(14).isNull())
        id.claimedAt = registryTime(q.value(14).toString());
    id.claimedBy = q.value(15).toString();
    return id;
}

// The stored text of a row's time; a series writes many rows in one millisecond, so the last one is kept.
QString rowTime(const QDateTime &time)
{
    thread_local qint64 lastMs = -1;
    thread_local QString lastText;
    const QDateTime t = time.isValid() ? time : QDateTime::currentDateTimeUtc();
    const qint64 ms = t.toMSecsSinceEpoch();
    if (ms != lastMs) {
        lastText = registryTime(t);
        lastMs = ms;
    }
    return lastText;
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
    q.addBindValue(rowTime(id.time));
    q.addBindValue(text(id.bench));
    q.addBindValue(written ? 1 : 0);
    q.addBindValue(id.reissues);
    q.addBindValue(optional(id.recordId));
    q.addBindValue(QVariant(QVariant::String)); // not claimed
    q.addBindValue(QVariant(QVariant::String));
}

// Rows per statement: well below SQLite's and PostgreSQL's limits on parameters (32766, 65535).
constexpr int kRowsPerStatement = 25;

QString insertIssuedSql()
{
    return QStringLiteral("INSERT INTO zr_issued (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
        .arg(QLatin1String(kIssuedColumns));
}

} // namespace

QString Registry::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/ZrFlasher");
}

QString Registry::configuredUrl()
{
    return qEnvironmentVariable("ZR_REGISTRY");
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
    if (!m_password.isEmpty())
        m_error.replace(m_password, QStringLiteral("***"));

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
    m_shownUrl = registryUrlWithoutPassword(url);
    m_open = false;
    m_error.clear();
    if (QSqlDatabase::contains(m_connection))
        return fail(QStringLiteral("already opened"));
    const RegistryLocation location = parseRegistryUrl(url);
    if (location.kind == RegistryLocation::Invalid)
        return fail(location.error);
    m_postgres = location.kind == RegistryLocation::Postgres;
    m_password = location.password;
    QSqlDatabase database;
    if (m_postgres) {
        if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
            return fail(QStringLiteral("the Qt PostgreSQL driver (QPSQL) is not installed"));
        database = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connection);
        // Every part of the URI goes to libpq as its keyword (socket folders, services, sslmode...); without a
        // password here libpq takes PGPASSWORD, ~/.pgpass or the service file's.
        QStringList options;
        bool timeout = false;
        for (const auto &pair : location.keywords) {
            options << libpqOption(pair.first, pair.second);
            timeout = timeout || pair.first == QLatin1String("connect_timeout");
        }
        // A line server that is down must not hold the bench for long.
        if (!timeout)
            options << QStringLiteral("connect_timeout=5");
        database.setConnectOptions(options.join(QLatin1Char(';')));
        if (!m_password.isEmpty())
            database.setPassword(m_password);
    } else {
        const QString path = location.sqlitePath;
        if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
            return fail(QStringLiteral("the Qt SQLite driver (QSQLITE) is not installed"));
        // SQLite gives its WAL and shared-memory files the permissions of the database file.
        QString why;
        if (!createPrivateFile(path, &why))
            return fail(why);
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

template <typename Read>
auto Registry::readRows(QSqlQuery &q, Read read) -> QVector<decltype(read(q))>
{
    QVector<decltype(read(q))> rows;
    if (!q.exec()) {
        fail(q);
        return rows;
    }
    while (q.next())
        rows << read(q);
    return rows;
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

bool Registry::execRows(const QString &head, const QString &row, const QString &tail, int count,
                        const std::function<void(QSqlQuery &, int)> &bindRow, int *affected)
{
    QSqlQuery q(db());
    int prepared = -1;
    for (int from = 0; from < count; from += kRowsPerStatement) {
        const int rows = qMin(kRowsPerStatement, count - from);
        if (rows != prepared) {
            QStringList values;
            for (int i = 0; i < rows; ++i)
                values << row;
            q.prepare(head + values.join(QStringLiteral(", ")) + tail);
            prepared = rows;
        }
        for (int i = from; i < from + rows; ++i)
            bindRow(q, i);
        if (!q.exec())
            return fail(q);
        if (affected)
            *affected += q.numRowsAffected();
    }
    return true;
}

bool Registry::insertReserved(const QVector<IssuedId> &ids, const QSet<quint32> &skip)
{
    QVector<const IssuedId *> rows;
    for (const IssuedId &id : ids)
        if (!skip.contains(id.deviceId))
            rows << &id;
    return execRows(QStringLiteral("INSERT INTO zr_issued (%1) VALUES ").arg(QLatin1String(kIssuedColumns)),
                    QStringLiteral("(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"), QString(), rows.size(),
                    [&rows](QSqlQuery &q, int i) { bindIssued(q, *rows.at(i), false); });
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
    // A reissue never takes an ID that another bench is writing right now (reserved, or claimed for its own
    // reissue, and not yet confirmed).
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QVector<IssuedId> busy;
    for (const IssuedId &id : *collisions)
        if (inFlight(id, now))
            busy << id;
    if (!busy.isEmpty()) {
        rollback();
        *collisions = busy;
        return Reserve::Busy;
    }
    QSet<quint32> taken;
    QSqlQuery claim(db());
    claim.prepare(QStringLiteral("UPDATE zr_issued SET claimed_at = ?, claimed_by = ? WHERE device_id = ?"));
    for (const IssuedId &id : *collisions) {
        taken.insert(id.deviceId);
        claim.addBindValue(registryTime(now));
        claim.addBindValue(text(ids.constFirst().bench));
        claim.addBindValue(qint64(id.deviceId));
        if (!claim.exec()) {
            fail(claim);
            rollback();
            return Reserve::Error;
        }
    }
    // A reissued row changes only once its image is written.
    if (!insertReserved(ids, taken)) {
        rollback();
        // Another bench reserved some of these IDs between our look and our insert.
        const QString error = m_error;
        *collisions = issuedAmong(ids);
        m_error = error;
        return collisions->isEmpty() ? Reserve::Error : Reserve::Collision;
    }
    if (!commit()) {
        const QString error = m_error;
        *collisions = issuedAmong(ids);
        m_error = error;
        return collisions->isEmpty() ? Reserve::Error : Reserve::Collision;
    }
    return Reserve::Reserved;
}

Registry::Reserve Registry::reserveNext(quint32 low, quint32 high,
                                        const std::function<QVector<IssuedId>(int first)> &idsFrom,
                                        QVector<IssuedId> *ids)
{
    for (int attempt = 0; attempt < kNextAttempts; ++attempt) {
        if (attempt > 0) // the benches that collided part again before their next look
            QThread::usleep(QRandomGenerator::global()->bounded(1000u, 6000u));
        if (!begin())
            return Reserve::Error;
        QSqlQuery q(db());
        q.prepare(QStringLiteral("SELECT MAX(device_id) FROM zr_issued WHERE device_id BETWEEN ? AND ?"));
        q.addBindValue(qint64(low));
        q.addBindValue(qint64(high));
        if (!q.exec() || !q.next()) {
            fail(q);
            rollback();
            return Reserve::Error;
        }
        // The serial number fills the low bits of the ID: the next one follows the highest ID of the range.
        const int first = q.value(0).isNull() ? 0 : int(quint32(q.value(0).toLongLong()) - low) + 1;
        q.finish();
        *ids = idsFrom(first);
        if (ids->isEmpty()) {
            rollback();
            return Reserve::PastEnd;
        }
        const bool inserted = insertReserved(*ids);
        if (inserted && commit())
            return Reserve::Reserved;
        if (inserted == false)
            rollback();
        // Lost to another bench when the IDs it read as free are taken now; anything else is an error.
        const QString error = m_error;
        const bool lost = !issuedAmong(*ids).isEmpty();
        m_error = error;
        if (!lost)
            return Reserve::Error;
    }
    return Reserve::Collision;
}

bool Registry::confirm(const QVector<IssuedId> &written, const QVector<IssuedId> &failed)
{
    if (!begin())
        return false;
    QSqlQuery fresh(db()), before(db()), history(db()), again(db()), drop(db());
    QSqlQuery unclaim(db());
    fresh.prepare(QStringLiteral("UPDATE zr_issued SET file = ?, sha256 = ?, issued_at = ?, record_id = ?, "
                                 "written = 1, claimed_at = NULL, claimed_by = NULL "
                                 "WHERE device_id = ? AND written = 0"));
    before.prepare(QStringLiteral("SELECT file, sha256, model FROM zr_issued WHERE device_id = ?"));
    history.prepare(QStringLiteral("INSERT INTO zr_reissues (device_id, at, bench, file, sha256, previous_file, "
                                   "previous_sha256, model, previous_model, record_id) "
                                   "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    // The record ID of a reissue lives in its history row: zr_issued keeps the one that issued the ID first.
    again.prepare(QStringLiteral("UPDATE zr_issued SET file = ?, sha256 = ?, issued_at = ?, bench = ?, model = ?, "
                                 "reissues = reissues + 1, claimed_at = NULL, claimed_by = NULL "
                                 "WHERE device_id = ?"));
    drop.prepare(QStringLiteral("DELETE FROM zr_issued WHERE device_id = ? AND written = 0"));
    unclaim.prepare(QStringLiteral("UPDATE zr_issued SET claimed_at = NULL, claimed_by = NULL WHERE device_id = ?"));
    const auto failWith = [this](const QSqlQuery &q) {
        fail(q);
        rollback();
        return false;
    };
    // The reserved rows among them (one range query) are confirmed many per statement; the others are reissues.
    QSet<quint32> reserved;
    if (!written.isEmpty()) {
        quint32 low = written.constFirst().deviceId, high = low;
        for (const IssuedId &id : written) {
            low = qMin(low, id.deviceId);
            high = qMax(high, id.deviceId);
        }
        QSqlQuery q(db());
        q.prepare(QStringLiteral("SELECT device_id FROM zr_issued WHERE device_id BETWEEN ? AND ? AND written = 0"));
        q.addBindValue(qint64(low));
        q.addBindValue(qint64(high));
        if (!q.exec())
            return failWith(q);
        while (q.next())
            reserved.insert(quint32(q.value(0).toLongLong()));
    }
    QVector<const IssuedId *> confirmed, others;
    for (const IssuedId &id : written)
        (reserved.contains(id.deviceId) ? confirmed : others) << &id;
    const QString now = registryTime(QDateTime::currentDateTimeUtc());
    int updated = 0;
    // VALUES columns are column1, column2... in both dialects; the ID is cast so PostgreSQL compares numbers.
    if (!execRows(QStringLiteral("UPDATE zr_issued SET file = v.column2, sha256 = v.column3, issued_at = v.column4, "
                                 "record_id = v.column5, written = 1, claimed_at = NULL, claimed_by = NULL "
                                 "FROM (VALUES "),
                  QStringLiteral("(CAST(? AS BIGINT), ?, ?, ?, ?)"),
                  QStringLiteral(") AS v WHERE zr_issued.device_id = v.column1 AND zr_issued.written = 0"),
                  confirmed.size(),
                  [&](QSqlQuery &q, int i) {
                      const IssuedId &id = *confirmed.at(i);
                      q.addBindValue(qint64(id.deviceId));
                      q.addBindValue(text(id.file));
                      q.addBindValue(text(id.sha256));
                      q.addBindValue(id.time.isValid() ? rowTime(id.time) : now);
                      q.addBindValue(optional(id.recordId));
                  },
                  &updated)) {
        rollback();
        return false;
    }
    if (updated != confirmed.size()) {
        rollback();
        return fail(QStringLiteral("%1 of %2 reserved IDs were confirmed").arg(updated).arg(confirmed.size()));
    }
    for (const IssuedId *row : others) {
        const IssuedId &id = *row;
        const QString time = registryTime(id.time.isValid() ? id.time : QDateTime::currentDateTimeUtc());
        fresh.addBindValue(text(id.file));
        fresh.addBindValue(text(id.sha256));
        fresh.addBindValue(time);
        fresh.addBindValue(optional(id.recordId));
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
        history.addBindValue(text(id.model));
        history.addBindValue(text(known ? before.value(2).toString() : QString()));
        history.addBindValue(optional(id.recordId));
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
        again.addBindValue(text(id.model));
        again.addBindValue(qint64(id.deviceId));
        if (!again.exec())
            return failWith(again);
    }
    for (const IssuedId &id : failed) {
        drop.addBindValue(qint64(id.deviceId));
        if (!drop.exec())
            return failWith(drop);
        unclaim.addBindValue(qint64(id.deviceId));
        if (!unclaim.exec())
            return failWith(unclaim);
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

bool Registry::hasRecord(const char *table, const QString &recordId)
{
    if (recordId.isEmpty())
        return false;
    QSqlQuery q(db());
    q.prepare(QStringLiteral("SELECT 1 FROM %1 WHERE record_id = ?").arg(QLatin1String(table)));
    q.addBindValue(recordId);
    return q.exec() && q.next();
}

bool Registry::recordLateIssue(const IssuedId &id, IssuedId *earlier)
{
    if (earlier)
        *earlier = IssuedId();
    // Replayed before (a flush that died before it could rewrite the spool, or a copy of the spool elsewhere).
    if (hasRecord("zr_issued", id.recordId) || hasRecord("zr_reissues", id.recordId))
        return true;
    IssuedId existing;
    if (!find(id.deviceId, &existing)) {
        if (!m_error.isEmpty())
            return false;
        QVector<int> refused;
        if (!insertNew({id}, &refused))
            return hasRecord("zr_issued", id.recordId); // the same record, written by another program meanwhile
        if (refused.isEmpty())
            return true;
        find(id.deviceId, &existing);
    }
    if (earlier && existing.written)
        *earlier = existing;
    return confirm({id}, {}) || hasRecord("zr_reissues", id.recordId);
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

QVector<IssuedId> Registry::findSerialText(const QString &serialText)
{
    QSqlQuery q(db());
    q.prepare(QStringLiteral("SELECT %1 FROM zr_issued WHERE serial_text = ? ORDER BY device_id")
                  .arg(QLatin1String(kIssuedColumns)));
    q.addBindValue(serialText);
    return readRows(q, rowToIssued);
}

QVector<ReissueRecord> Registry::reissueHistory(quint32 deviceId)
{
    QSqlQuery q(db());
    q.prepare(QStringLiteral("SELECT at, bench, model, file, sha256, previous_model, previous_file, previous_sha256 "
                             "FROM zr_reissues WHERE device_id = ? ORDER BY at, id"));
    q.addBindValue(qint64(deviceId));
    return readRows(q, [](const QSqlQuery &q) {
        ReissueRecord r;
        r.time = registryTime(q.value(0).toString());
        r.bench = q.value(1).toString();
        r.model = q.value(2).toString();
        r.file = q.value(3).toString();
        r.sha256 = q.value(4).toString();
        r.previousModel = q.value(5).toString();
        r.previousFile = q.value(6).toString();
        r.previousSha256 = q.value(7).toString();
        return r;
    });
}

QVector<SeriesSummary> Registry::summary()
{
    QSqlQuery q(db());
    q.prepare(QStringLiteral("SELECT model, scheme, year, period, SUM(written), COUNT(*) - SUM(written), "
                             "MAX(serial), MAX(issued_at) FROM zr_issued GROUP BY model, scheme, year, period "
                             "ORDER BY model, scheme, year, period"));
    return readRows(q, [](const QSqlQuery &q) {
        SeriesSummary r;
        r.model = q.value(0).toString();
        r.scheme = q.value(1).toString();
        r.year = q.value(2).toInt();
        r.period = q.value(3).toInt();
        r.written = q.value(4).toInt();
        r.reserved = q.value(5).toInt();
        r.lastSerial = q.value(6).toInt();
        r.lastTime = registryTime(q.value(7).toString());
        return r;
    });
}

QVector<IssuedId> Registry::list(const QString &model, const QDateTime &since)
{
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
    return readRows(q, rowToIssued);
}

bool Registry::recordUpgrade(const UpgradeRecord &r)
{
    QSqlQuery q(db());
    q.prepare(QStringLiteral("INSERT INTO zr_upgrades (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
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
    q.addBindValue(optional(r.recordId));
    // A single statement is its own transaction. A record that is there already was replayed: recorded.
    return q.exec() || hasRecord("zr_upgrades", r.recordId) || fail(q);
}

QVector<UpgradeRecord> Registry::upgrades(quint32 deviceId)
{
    QSqlQuery q(db());
    q.prepare(QStringLiteral("SELECT %1 FROM zr_upgrades WHERE device_id = ? ORDER BY at, id")
                  .arg(QLatin1String(kUpgradeColumns)));
    q.addBindValue(qint64(deviceId));
    return readRows(q, [](const QSqlQuery &q) {
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
        r.recordId = q.value(12).toString();
        return r;
    });
}
