// Recorder: opens the registry lazily, falls back to the spool, and words the one notice about it.
#include "registry/recorder.h"

#include <QCryptographicHash>
#include <QFileInfo>

#include "core/files.h"

Recorder::Recorder(const QString &url, const QString &bench, const QString &spoolPath)
    : m_url(url), m_bench(bench), m_spool(spoolPath)
{
}

Registry *Recorder::registry()
{
    if (m_registry)
        return m_registry.get();
    auto registry = std::make_unique<Registry>();
    if (!registry->open(m_url)) {
        m_problem = registry->errorText();
        noteUnreachable(m_problem);
        return nullptr;
    }
    m_registry = std::move(registry);
    m_spool.flush(*m_registry);
    return m_registry.get();
}

void Recorder::noteUnreachable(const QString &problem)
{
    if (m_noticed)
        return;
    m_noticed = true;
    m_notice = QStringLiteral("Production registry %1 cannot be reached (%2): records are kept in %3 until it can")
                   .arg(m_url, problem, m_spool.path());
}

QString Recorder::takeNotice()
{
    QString notice;
    notice.swap(m_notice);
    return notice;
}

void Recorder::recordUpgrade(UpgradeRecord record)
{
    if (record.bench.isEmpty())
        record.bench = m_bench;
    if (!record.time.isValid())
        record.time = QDateTime::currentDateTimeUtc();
    Registry *r = registry();
    if (r && r->recordUpgrade(record))
        return;
    if (r)
        noteUnreachable(r->errorText());
    m_spool.add(m_url, record);
}

void Recorder::recordUpgrade(const UpgradeReport &report)
{
    UpgradeRecord record;
    record.time = report.started;
    record.cableSerial = report.cableSerial;
    record.deviceId = report.deviceId;
    record.model = QString::fromLatin1(report.model);
    record.bootVersion = QString::fromLatin1(report.bootVersion);
    record.file = QFileInfo(report.path).fileName();
    if (report.image.size() >= 2)
        record.crc = quint16(quint8(report.image.at(report.image.size() - 2))
                             | quint8(report.image.at(report.image.size() - 1)) << 8);
    QByteArray bytes;
    if (readFileBytes(report.path, &bytes))
        record.sha256 = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    record.fast = report.fastReplies;
    record.result = report.done ? QStringLiteral("done")
                    : report.interrupted ? QStringLiteral("interrupted") : QStringLiteral("failed");
    if (!report.done && !report.cause.isEmpty())
        record.result += QStringLiteral(": ") + report.cause;
    record.durationMs = report.durationMs;
    recordUpgrade(record);
}
