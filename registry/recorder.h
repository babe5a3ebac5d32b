// What the window and zrtool record through: the registry while it can be reached, the local spool otherwise.
#pragma once

#include <QString>
#include <QStringList>
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
    // The URL with its password masked: the only form any message shows.
    QString shownUrl() const;
    QString bench() const { return m_bench; }
    RegistrySpool &spool() { return m_spool; }

    // The registry, opened on first use (the spool then written into it); tried again on each call while it cannot
    // be reached. Null when it cannot be reached.
    Registry *registry();
    // The lines to show (the first time a record could not reach the registry, a record lost, a spooled image
    // that turned out to be a reissue), one per line; empty when there is nothing new.
    QString takeNotice();
    // Why the registry could not be opened the last time it was tried.
    QString problem() const { return m_problem; }
    // Notes that the registry failed with `problem` (the records then go to the spool).
    void noteUnreachable(const QString &problem);
    // Whether a record could be kept neither in the registry nor in the spool.
    bool lostRecords() const { return m_lost; }

    // Keeps a record the registry could not take in the spool; a spool that cannot be written is said as such.
    bool spoolRecord(const UpgradeRecord &record);
    bool spoolRecord(const IssuedId &id);

    // Records one upgrade (bench, time and record ID filled in when empty): in the registry, else in the spool.
    void recordUpgrade(UpgradeRecord record);
    // The same for an upgrade as the upgrade engine reports it (file name, CRC-16, SHA-256 of the file, result).
    void recordUpgrade(const UpgradeReport &report);

private:
    bool spooled(bool added, const QString &why, const QString &what);

    QString m_url;
    QString m_bench;
    RegistrySpool m_spool;
    std::unique_ptr<Registry> m_registry;
    QStringList m_notices;
    QString m_problem;
    bool m_noticed = false;
    bool m_lost = false;
};

// The SHA-256 of some bytes in lower-case hex, through OpenSSL's libcrypto where the build has it.
QString sha256Hex(const QByteArray &bytes);
