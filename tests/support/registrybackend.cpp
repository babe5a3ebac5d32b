// Fresh registries for tests, one per call, on SQLite or on the test PostgreSQL server.
#include "registrybackend.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QUrl>

namespace {

QAtomicInt counter;

QString serverUrl(QString *skip)
{
    const QString direct = qEnvironmentVariable("ZR_TEST_POSTGRES_URL");
    if (!direct.isEmpty())
        return direct;
    QString ignored;
    if (!skip)
        skip = &ignored;
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        *skip = QStringLiteral("no Qt PostgreSQL driver (QPSQL) in this Qt (none on Windows; Debian: libqt5sql5-psql)");
        return QString();
    }
    const QString dir = qEnvironmentVariable("ZR_TEST_POSTGRES_DIR");
    if (dir.isEmpty()) {
        *skip = QStringLiteral("no test PostgreSQL server: run through ctest (its postgres_start fixture) or set "
                               "ZR_TEST_POSTGRES_URL");
        return QString();
    }
    QFile url(dir + QStringLiteral("/url"));
    if (url.open(QIODevice::ReadOnly))
        return QString::fromUtf8(url.readAll()).trimmed();
    QFile reason(dir + QStringLiteral("/skip"));
    *skip = reason.open(QIODevice::ReadOnly) ? QString::fromUtf8(reason.readAll()).trimmed()
                                             : QStringLiteral("the test PostgreSQL server did not start");
    return QString();
}

} // namespace

void RegistryBackend::addRows()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("sqlite") << QStringLiteral("sqlite");
    QTest::newRow("postgresql") << QStringLiteral("postgresql");
}

namespace {

// A URL on the test server with a database name of its own (the database itself not created).
QString serverDatabaseUrl(QString *skip)
{
    const QString admin = serverUrl(skip);
    if (admin.isEmpty())
        return QString();
    QUrl u(admin);
    u.setPath(QStringLiteral("/zrtest_%1_%2").arg(QCoreApplication::applicationPid()).arg(counter.fetchAndAddRelaxed(1)));
    return u.toString();
}

void createDatabase(const QString &url)
{
    const QString admin = serverUrl(nullptr);
    const QUrl u(admin);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("zrtest-admin"));
        db.setHostName(u.host());
        db.setPort(u.port(5432));
        db.setUserName(u.userName());
        db.setDatabaseName(u.path().mid(1));
        db.setConnectOptions(QStringLiteral("connect_timeout=5"));
        if (!db.open())
            qFatal("cannot reach the test PostgreSQL server %s: %s", qPrintable(admin),
                   qPrintable(db.lastError().text()));
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("CREATE DATABASE %1").arg(QUrl(url).path().mid(1))))
            qFatal("cannot create a test database: %s", qPrintable(q.lastError().text()));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("zrtest-admin"));
}

} // namespace

QString RegistryBackend::freshUrl(const QString &backend, const QString &tempDir, QString *skip)
{
    if (backend == QLatin1String("sqlite"))
        return tempDir + QStringLiteral("/registry-%1.sqlite").arg(counter.fetchAndAddRelaxed(1));
    const QString url = serverDatabaseUrl(skip);
    if (!url.isEmpty())
        createDatabase(url);
    return url;
}

QString RegistryBackend::unreachableUrl(const QString &backend, const QString &tempDir, QString *skip)
{
    if (backend == QLatin1String("sqlite")) {
        // A plain file where the registry's directory should be.
        const QString blocker = tempDir + QStringLiteral("/blocked-%1").arg(counter.fetchAndAddRelaxed(1));
        QFile file(blocker);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot create %s", qPrintable(blocker));
        return blocker + QStringLiteral("/registry.sqlite");
    }
    return serverDatabaseUrl(skip);
}

void RegistryBackend::makeReachable(const QString &backend, const QString &url)
{
    if (backend == QLatin1String("sqlite"))
        QFile::remove(url.section(QLatin1Char('/'), 0, -2));
    else
        createDatabase(url);
}
