// Registry URLs: the libpq URI taken apart into keywords, SQLite paths, and refusal of everything else.
#include "registry/registryurl.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

namespace {

const char *const kPostgresSchemes[] = {"postgresql://", "postgres://"};

// "scheme:" then slashes, then user, ':' and the password up to the last '@': the password is group 3.
const QRegularExpression &userInfoPattern()
{
    static const QRegularExpression pattern(QStringLiteral(R"(^(\s*[A-Za-z][A-Za-z0-9+.-]*:/*[^:/@?#\s]*)(:([^/?]*))@)"));
    return pattern;
}

const QRegularExpression &queryPasswordPattern()
{
    static const QRegularExpression pattern(QStringLiteral(R"([?&]password=([^&]*))"),
                                            QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

QString decoded(const QString &text)
{
    return QUrl::fromPercentEncoding(text.toUtf8());
}

bool isSqliteFile(const QString &path)
{
    QFile file(path);
    return QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly) && file.read(16) == QByteArray("SQLite format 3", 16);
}

RegistryLocation refused(const QString &url, const QString &why)
{
    RegistryLocation location;
    location.shown = maskedRegistryUrl(url);
    location.error = QStringLiteral("'%1' is no registry: %2 (accepted: %3)").arg(location.shown, why,
                                                                                  acceptedRegistryForms());
    return location;
}

void setKeyword(RegistryLocation *location, const QString &key, const QString &value)
{
    for (auto &pair : location->keywords) {
        if (pair.first == key) {
            pair.second = value;
            return;
        }
    }
    location->keywords.append({key, value});
}

RegistryLocation parsePostgres(const QString &url, int schemeLength)
{
    RegistryLocation location;
    location.kind = RegistryLocation::Postgres;
    location.shown = maskedRegistryUrl(url);
    const QString body = url.mid(schemeLength);
    const int queryAt = body.indexOf(QLatin1Char('?'));
    const QString head = queryAt < 0 ? body : body.left(queryAt);
    const QString query = queryAt < 0 ? QString() : body.mid(queryAt + 1);
    const int pathAt = head.indexOf(QLatin1Char('/'));
    QString authority = pathAt < 0 ? head : head.left(pathAt);
    const QString database = pathAt < 0 ? QString() : decoded(head.mid(pathAt + 1));
    const int at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString userInfo = authority.left(at);
        authority = authority.mid(at + 1);
        const int colon = userInfo.indexOf(QLatin1Char(':'));
        const QString user = decoded(colon < 0 ? userInfo : userInfo.left(colon));
        if (!user.isEmpty())
            setKeyword(&location, QStringLiteral("user"), user);
        if (colon >= 0)
            location.password = decoded(userInfo.mid(colon + 1));
    }
    // host[:port] or [v6]:port, comma-separated: libpq takes the lists as host=a,b port=p,q.
    QStringList hosts, ports;
    bool anyPort = false;
    if (!authority.isEmpty()) {
        for (const QString &hostPort : authority.split(QLatin1Char(','))) {
            QString host = hostPort, port;
            if (hostPort.startsWith(QLatin1Char('['))) {
                const int close = hostPort.indexOf(QLatin1Char(']'));
                if (close < 0)
                    return refused(url, QStringLiteral("an IPv6 host without its closing ']'"));
                host = hostPort.mid(1, close - 1);
                const QString after = hostPort.mid(close + 1);
                if (!after.isEmpty() && !after.startsWith(QLatin1Char(':')))
                    return refused(url, QStringLiteral("text after the IPv6 host"));
                port = after.mid(1);
            } else if (hostPort.contains(QLatin1Char(':'))) {
                host = hostPort.section(QLatin1Char(':'), 0, 0);
                port = hostPort.section(QLatin1Char(':'), 1);
            }
            bool numeric = true;
            const int number = port.toInt(&numeric);
            if (!port.isEmpty() && (!numeric || number < 1 || number > 65535))
                return refused(url, QStringLiteral("'%1' is not a port").arg(port));
            anyPort = anyPort || !port.isEmpty();
            hosts << decoded(host);
            ports << port;
        }
    }
    if (!hosts.join(QString()).isEmpty())
        setKeyword(&location, QStringLiteral("host"), hosts.join(QLatin1Char(',')));
    if (anyPort)
        setKeyword(&location, QStringLiteral("port"), ports.join(QLatin1Char(',')));
    if (!database.isEmpty())
        setKeyword(&location, QStringLiteral("dbname"), database);
    if (!query.isEmpty()) {
        for (const QString &parameter : query.split(QLatin1Char('&'))) {
            const int equals = parameter.indexOf(QLatin1Char('='));
            if (equals <= 0)
                return refused(url, QStringLiteral("'%1' is not a key=value parameter").arg(
                                        parameter.startsWith(QLatin1String("password"), Qt::CaseInsensitive)
                                            ? QStringLiteral("password")
                                            : parameter));
            const QString key = decoded(parameter.left(equals));
            const QString value = decoded(parameter.mid(equals + 1));
            if (key == QLatin1String("password"))
                location.password = value;
            else
                setKeyword(&location, key, value);
        }
    }
    for (const auto &pair : location.keywords) {
        // Qt hands the options to libpq separated by ';' and joined by spaces: a ';' inside a value would split it.
        if (pair.first.contains(QLatin1Char(';')) || pair.second.contains(QLatin1Char(';'))
            || pair.first.contains(QLatin1Char(' ')))
            return refused(url, QStringLiteral("the parameter %1 holds a ';'").arg(pair.first));
    }
    return location;
}

} // namespace

QString acceptedRegistryForms()
{
    return QStringLiteral("postgresql://user@host[:port]/db[?sslmode=...] or postgres://..., sqlite:PATH, or a file "
                          "path ending in .sqlite or .db");
}

QString maskedRegistryUrl(const QString &url)
{
    QString masked = url;
    const QRegularExpressionMatch user = userInfoPattern().match(masked);
    if (user.hasMatch())
        masked.replace(user.capturedStart(3), user.capturedLength(3), QStringLiteral("***"));
    for (;;) {
        const QRegularExpressionMatch query = queryPasswordPattern().match(masked);
        if (!query.hasMatch() || query.captured(1) == QLatin1String("***"))
            break;
        masked.replace(query.capturedStart(1), query.capturedLength(1), QStringLiteral("***"));
    }
    return masked;
}

QString registryUrlWithoutPassword(const QString &url, QString *password)
{
    QString plain = url;
    QString secret;
    const QRegularExpressionMatch user = userInfoPattern().match(plain);
    if (user.hasMatch()) {
        secret = decoded(user.captured(3));
        plain.remove(user.capturedStart(2), user.capturedLength(2));
    }
    for (;;) {
        const QRegularExpressionMatch query = queryPasswordPattern().match(plain);
        if (!query.hasMatch())
            break;
        secret = decoded(query.captured(1));
        // "?password=x&sslmode=y" keeps its '?' for the next parameter; "&password=x" goes whole.
        const int start = query.capturedStart(0);
        const int end = query.capturedEnd(0);
        if (plain.at(start) == QLatin1Char('?') && end < plain.size())
            plain.remove(start + 1, end + 1 - (start + 1)); // "password=x&"
        else
            plain.remove(start, end - start);
    }
    if (password)
        *password = secret;
    return plain;
}

RegistryLocation parseRegistryUrl(const QString &url)
{
    if (url.isEmpty())
        return refused(url, QStringLiteral("it is empty"));
    if (url.trimmed() != url)
        return refused(url, QStringLiteral("it begins or ends with a space"));
    for (const char *scheme : kPostgresSchemes)
        if (url.startsWith(QLatin1String(scheme)))
            return parsePostgres(url, int(qstrlen(scheme)));
    RegistryLocation location;
    location.kind = RegistryLocation::Sqlite;
    location.shown = url;
    if (url.startsWith(QLatin1String("sqlite:"))) {
        location.sqlitePath = url.mid(url.startsWith(QLatin1String("sqlite://")) ? 9 : 7);
        if (location.sqlitePath.isEmpty())
            return refused(url, QStringLiteral("no SQLite file named"));
        return location;
    }
    // A drive letter ("C:\...") is a path; any other "word:" is a URL this program does not take.
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    static const QRegularExpression drive(QStringLiteral(R"(^[A-Za-z]:[\\/])"));
    if (scheme.match(url).hasMatch() && !drive.match(url).hasMatch())
        return refused(url, QStringLiteral("'%1' is not a registry scheme").arg(url.section(QLatin1Char(':'), 0, 0)));
    if (!url.endsWith(QLatin1String(".sqlite"), Qt::CaseInsensitive)
        && !url.endsWith(QLatin1String(".db"), Qt::CaseInsensitive) && !isSqliteFile(url))
        return refused(url, QStringLiteral("a registry file's name ends in .sqlite or .db (or names an existing "
                                           "registry)"));
    location.sqlitePath = url;
    return location;
}
