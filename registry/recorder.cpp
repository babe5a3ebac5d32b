// Recorder: opens the registry lazily, falls back to the spool, and words the one notice about it.
#include "registry/recorder.h"

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
