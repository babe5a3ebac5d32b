// The local spool of registry records: one JSON object per line, each naming the registry it was meant for.
#include "registry/spool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QUuid>

#include "core/files.h"
#include "registry/privatefiles.h"
#include "registry/registry.h"
#include "registry/registryurl.h"

namespace {

// Appends and flushes of several programs (a line of window and zrtool processes on one PC) take turns.
constexpr int kLockWaitMs = 30000;

QString newRecordId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QJsonObject toJson(const UpgradeRecord &r)
{
    return {{"kind", "upgrade"},
            {"id", r.recordId},
            {"time", registryTime(r.time)},
            {"bench", r.bench},
            {"cable", r.cableSerial},
            {"deviceId", qint64(r.deviceId)},
            {"model", r.model},
            {"bootVersion", r.bootVersion},
            {"file", r.file},
            {"crc", int(r.crc)},
            {"sha256", r.sha256},
            {"fast", r.fast},
            {"result", r.result},
            {"durationMs", r.durationMs}};
}

UpgradeRecord upgradeFromJson(const QJsonObject &o)
{
    UpgradeRecord r;
    r.recordId = o.value("id").toString();
    r.time = registryTime(o.value("time").toString());
    r.bench = o.value("bench").toString();
    r.cableSerial = o.value("cable").toString();
    r.deviceId = quint32(o.value("deviceId").toDouble());
    r.model = o.value("model").toString();
    r.bootVersion = o.value("bootVersion").toString();
    r.file = o.value("file").toString();
    r.crc = quint16(o.value("crc").toInt());
    r.sha256 = o.value("sha256").toString();
    r.fast = o.value("fast").toBool();
    r.result = o.value("result").toString();
    r.durationMs = qint64(o.value("durationMs").toDouble());
    return r;
}

QJsonObject toJson(const IssuedId &id)
{
    return {{"kind", "issue"},
            {"id", id.recordId},
            {"deviceId", qint64(id.deviceId)},
            {"model", id.model},
            {"scheme", id.scheme},
            {"year", id.year},
            {"period", id.period},
            {"serial", id.serial},
            {"serialText", id.serialText},
            {"file", id.file},
            {"sha256", id.sha256},
            {"time", registryTime(id.time)},
            {"bench", id.bench}};
}

IssuedId issuedFromJson(const QJsonObject &o)
{
    IssuedId id;
    id.recordId = o.value("id").toString();
    id.deviceId = quint32(o.value("deviceId").toDouble());
    id.model = o.value("model").toString();
    id.scheme = o.value("scheme").toString();
    id.year = o.value("year").toInt();
    id.period = o.value("period").toInt();
    id.serial = o.value("serial").toInt();
    id.serialText = o.value("serialText").toString();
    id.file = o.value("file").toString();
    id.sha256 = o.value("sha256").toString();
    id.time = registryTime(o.value("time").toString());
    id.bench = o.value("bench").toString();
    id.written = true;
    return id;
}

QByteArray lineFor(const QString &url, QJsonObject record)
{
    if (record.value("id").toString().isEmpty())
        record.insert("id", newRecordId());
    // Never the password: the spool is a plain file, and the registry is found again by the URL without it.
    record.insert("registry", registryUrlWithoutPassword(url));
    return QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
}

// Whether a spool line is meant for the registry at `url` (a line written before passwords were left out too).
bool meantFor(const QJsonObject &o, const QString &url)
{
    return registryUrlWithoutPassword(o.value("registry").toString()) == registryUrlWithoutPassword(url);
}

QVector<QJsonObject> readLines(const QString &path)
{
    QVector<QJsonObject> records;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return records;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.trimmed().isEmpty())
            records << QJsonDocument::fromJson(line).object();
    }
    return records;
}

class SpoolLock
{
public:
    explicit SpoolLock(const QString &path) : m_path(path + QStringLiteral(".lock")), m_lock(m_path) {}
    bool take(QString *why)
    {
        if (!makePrivateDirectory(QFileInfo(m_path).absolutePath(), why))
            return false;
        if (m_lock.tryLock(kLockWaitMs))
            return true;
        *why = QStringLiteral("cannot lock %1 (%2)")
                   .arg(m_path, m_lock.error() == QLockFile::LockFailedError
                                               ? QStringLiteral("another program holds it")
                                               : QStringLiteral("no permission"));
        return false;
    }

private:
    QString m_path;
    QLockFile m_lock;
};

} // namespace

QString RegistrySpool::defaultPath()
{
    const QString fromEnvironment = qEnvironmentVariable("ZR_REGISTRY_SPOOL");
    return fromEnvironment.isEmpty() ? Registry::defaultDirectory() + QStringLiteral("/registry-spool.jsonl")
                                     : fromEnvironment;
}

bool RegistrySpool::writable(QString *why) const
{
    if (!createPrivateFile(m_path, why))
        return false;
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        *why = QStringLiteral("cannot write %1 (%2)").arg(m_path, file.errorString());
        return false;
    }
    return true;
}

bool RegistrySpool::append(const QByteArray &line, QString *why) const
{
    QString ignored;
    if (!why)
        why = &ignored;
    SpoolLock lock(m_path);
    if (!lock.take(why) || !createPrivateFile(m_path, why))
        return false;
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(line) != line.size() || !file.flush()) {
        *why = QStringLiteral("cannot write %1 (%2)").arg(m_path, file.errorString());
        return false;
    }
    return true;
}

bool RegistrySpool::add(const QString &url, const UpgradeRecord &record, QString *why)
{
    return append(lineFor(url, toJson(record)), why);
}

bool RegistrySpool::add(const QString &url, const IssuedId &id, QString *why)
{
    return append(lineFor(url, toJson(id)), why);
}

int RegistrySpool::pending(const QString &url) const
{
    int count = 0;
    for (const QJsonObject &o : readLines(m_path))
        count += meantFor(o, url) ? 1 : 0;
    return count;
}

QVector<RegistrySpool::Entry> RegistrySpool::entries() const
{
    QVector<Entry> entries;
    for (const QJsonObject &o : readLines(m_path)) {
        Entry e;
        e.registry = registryUrlWithoutPassword(o.value("registry").toString());
        e.kind = o.value("kind").toString();
        e.time = registryTime(o.value("time").toString());
        e.deviceId = quint32(o.value("deviceId").toDouble());
        e.model = o.value("model").toString();
        e.recordId = o.value("id").toString();
        e.detail = e.kind == QLatin1String("upgrade")
                       ? o.value("file").toString() + QLatin1Char(' ') + o.value("result").toString()
                       : o.value("file").toString();
        entries << e;
    }
    return entries;
}

int RegistrySpool::flush(Registry &registry, QVector<QPair<IssuedId, IssuedId>> *lateReissues, QString *why)
{
    QString ignored;
    if (!why)
        why = &ignored;
    if (!QFileInfo::exists(m_path))
        return 0;
    // Held from the read to the rewrite: two programs opening the registry at once never replay one spool twice.
    SpoolLock lock(m_path);
    if (!lock.take(why))
        return -1;
    QByteArray all;
    if (!QFileInfo::exists(m_path))
        return 0;
    if (!readFileBytes(m_path, &all, why))
        return -1;
    QByteArray kept;
    int written = 0;
    for (const QByteArray &line : all.split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        bool done = false;
        if (meantFor(o, registry.url())) {
            if (o.value("kind").toString() == QLatin1String("upgrade")) {
                done = registry.recordUpgrade(upgradeFromJson(o));
            } else if (o.value("kind").toString() == QLatin1String("issue")) {
                const IssuedId id = issuedFromJson(o);
                IssuedId earlier;
                done = registry.recordLateIssue(id, &earlier);
                if (done && earlier.deviceId != 0 && lateReissues)
                    lateReissues->append({id, earlier});
            }
        }
        if (done)
            ++written;
        else
            kept += line + '\n';
    }
    if (written == 0)
        return 0;
    if (kept.isEmpty())
        return QFile::remove(m_path) ? written : -1;
    if (!writeFileBytes(m_path, kept, why))
        return -1;
    QFile::setPermissions(m_path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return written;
}
