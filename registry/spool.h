// Records that could not reach the registry, kept in a local file until the registry opens again.
#pragma once

#include <QPair>
#include <QString>
#include <QVector>

#include "registry/records.h"

class Registry;

class RegistrySpool
{
public:
    // registry-spool.jsonl beside the default registry (ZR_REGISTRY_SPOOL names another file).
    static QString defaultPath();

    explicit RegistrySpool(const QString &path = defaultPath()) : m_path(path) {}
    QString path() const { return m_path; }

    // Appends one record for the registry at `url` (kept without its password); a record without a record ID gets
    // one. False with *why set when the spool file cannot be written either: the record is then lost. The file is
    // readable by its owner only, in a folder of its own; appends and flushes of all programs take turns.
    bool add(const QString &url, const UpgradeRecord &record, QString *why = nullptr);
    bool add(const QString &url, const IssuedId &id, QString *why = nullptr);
    // Whether a record could be added now (the file created when missing); false with *why set.
    bool writable(QString *why) const;
    // The records kept for this URL.
    int pending(const QString &url) const;

    // One spooled record as "zrtool registry spool" lists it.
    struct Entry
    {
        QString registry; // without password
        QString kind;     // "issue" or "upgrade"
        QDateTime time;
        quint32 deviceId = 0;
        QString model;
        QString detail;   // the image file, or the upgrade file and result
        QString recordId;
    };
    QVector<Entry> entries() const;

    // Writes the records kept for the registry's URL (an image whose ID was issued meanwhile as a reissue:
    // *lateReissues gets the pair spooled record, earlier issue); written ones leave the spool. Returns how many
    // were written, -1 when the spool could not be read, locked or rewritten (*why set).
    int flush(Registry &registry, QVector<QPair<IssuedId, IssuedId>> *lateReissues = nullptr, QString *why = nullptr);

private:
    bool append(const QByteArray &line, QString *why) const;
    QString m_path;
};
