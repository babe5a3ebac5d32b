// Where the production registry lives, read from what the user typed: the accepted forms, and the masked text shown.
#pragma once

#include <QPair>
#include <QString>
#include <QVector>

struct RegistryLocation
{
    enum Kind { Invalid, Sqlite, Postgres };
    Kind kind = Invalid;
    QString error;      // why it is refused (Invalid); names the accepted forms
    QString sqlitePath; // Sqlite
    // Postgres: the libpq keywords of the URI (host, port, dbname, user and its query parameters) in order,
    // percent-decoded; the password apart.
    QVector<QPair<QString, QString>> keywords;
    QString password;
    QString shown;      // the text to show: the URL with its password masked
};

// postgresql:// or postgres:// (the libpq URI: user[:password]@host[:port][,host[:port]...]/db?key=value&...),
// sqlite:PATH, or a plain path ending in .sqlite or .db or naming an existing SQLite file. Everything else is
// Invalid: a mistyped URL must never become a new registry file.
RegistryLocation parseRegistryUrl(const QString &url);

// The URL with any password replaced by "***" (also in forms this program refuses): safe to print.
QString maskedRegistryUrl(const QString &url);
// The URL without its password (user kept); *password receives it (empty when there is none).
QString registryUrlWithoutPassword(const QString &url, QString *password = nullptr);

// The accepted forms, for messages and --help.
QString acceptedRegistryForms();
