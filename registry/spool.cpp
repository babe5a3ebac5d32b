// The local spool of registry records: one JSON object per line, each naming the registry it was meant for.
#include "registry/spool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include "core/files.h"
#include "registry/registry.h"

namespace {

QJsonObject toJson(const UpgradeRecord &r)
{
    return {{"kind", "upgrade"},
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
    record.insert("registry", url);
    return QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

QString RegistrySpool::defaultPath()
{
    const QString fromEnvironment = qEnvironmentVariable("ZR_REGISTRY_SPOOL");
    return fromEnvironment.isEmpty() ? Registry::defaultDirectory() + QStringLiteral("/registry-spool.jsonl")
                                     : fromEnvironment;
}

bool RegistrySpool::append(const QByteArray &line)
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QFile file(m_path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(line) == line.size() && file.flush();
}

bool RegistrySpool::add(const QString &url, const UpgradeRecord &record)
{
    return append(lineFor(url, toJson(record)));
}

bool RegistrySpool::add(const QString &url, const IssuedId &id)
{
    return append(lineFor(url, toJson(id)));
}

int RegistrySpool::pending(const QString &url) const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    int count = 0;
    while (!file.atEnd()) {
        const QJsonObject o = QJsonDocument::fromJson(file.readLine()).object();
        count += o.value("registry").toString() == url ? 1 : 0;
    }
    return count;
}

int RegistrySpool::flush(Registry &registry)
{
    QByteArray all;
    if (!QFileInfo::exists(m_path) || !readFileBytes(m_path, &all))
        return 0;
    QByteArray kept;
    int written = 0;
    for (const QByteArray &line : all.split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        bool done = false;
        if (o.value("registry").toString() == registry.url()) {
            if (o.value("kind").toString() == QLatin1String("upgrade"))
                done = registry.recordUpgrade(upgradeFromJson(o));
            else if (o.value("kind").toString() == QLatin1String("issue"))
                done = registry.recordLateIssue(issuedFromJson(o));
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
    return writeFileBytes(m_path, kept) ? written : -1;
}
