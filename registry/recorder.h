// What the window and zrtool record through: the registry while it can be reached, the local spool otherwise.
#pragma once

#include <QString>
#include <memory>

#include "core/appstate.h"
#include "registry/records.h"
#include "registry/registry.h"
#include "registry/spool.h"

class Recorder
{
public:
    explicit Recorder(const QString &url = Registry::defaultUrl(), const QString &bench = Registry::hostBench(),
                      const QString &spoolPath = RegistrySpool::defaultPath());

    QString url() const { return m_url; }
    QString bench() const { return m_bench; }
    RegistrySpool &spool() { return m_spool; }

    // The registry, opened on first use (the spool then written into it); tried again on each call while it cannot
    // be reached. Null when it cannot be reached.
    Registry *registry();
    // The line to show once, the first time a record could not reach the registry; empty after that.
    QString takeNotice();
    // Why the registry could not be opened the last time it was tried.
    QString problem() const { return m_problem; }
    // Notes that a record went to the spool because of `problem` (the notice is made once).
    void noteUnreachable(const QString &problem);

    // Records one upgrade (bench filled in when empty): in the registry, else in the spool.
    void recordUpgrade(UpgradeRecord record);
    // The same for an upgrade as the upgrade engine reports it (file name, CRC-16, SHA-256 of the file, result).
    void recordUpgrade(const UpgradeReport &report);

private:
    QString m_url;
    QString m_bench;
    RegistrySpool m_spool;
    std::unique_ptr<Registry> m_registry;
    QString m_notice;
    QString m_problem;
    bool m_noticed = false;
};
