// Records that could not reach the registry, kept in a local file until the registry opens again.
#pragma once

#include <QString>

#include "registry/records.h"

class Registry;

class RegistrySpool
{
public:
    // registry-spool.jsonl beside the default registry (ZR_REGISTRY_SPOOL names another file).
    static QString defaultPath();

    explicit RegistrySpool(const QString &path = defaultPath()) : m_path(path) {}
    QString path() const { return m_path; }

    // Appends one record for the registry at `url`; false when the spool file cannot be written either.
    bool add(const QString &url, const UpgradeRecord &record);
    bool add(const QString &url, const IssuedId &id);
    // The records kept for this URL.
    int pending(const QString &url) const;
    // Writes the records kept for the registry's URL (an image whose ID was issued meanwhile as a reissue);
    // written ones leave the spool. Returns how many were written, -1 when the spool could not be rewritten.
    int flush(Registry &registry);

private:
    bool append(const QByteArray &line);
    QString m_path;
};
