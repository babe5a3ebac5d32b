// The options of every zrtool command that records: --registry URL and --bench NAME, and the recorder they make.
#pragma once

#include <QCommandLineOption>
#include <memory>

#include "zrtool/cli.h"
#ifdef ZRTOOL_FULL
#include <cstdio>

#include "registry/recorder.h"
#include "registry/registryurl.h"
#endif

struct RegistryOptions
{
    const QCommandLineOption url{QStringLiteral("registry"),
                                 QStringLiteral("Production registry: postgresql://user@host[:port]/db[?sslmode=...] "
                                                "(libpq's URI: sockets as host=/run/postgresql, service=NAME), "
                                                "sqlite:PATH or a file ending in .sqlite or .db (default: "
                                                "ZR_REGISTRY, else registry.sqlite in the user's data directory). "
                                                "Give a PostgreSQL password through PGPASSWORD, ~/.pgpass or the "
                                                "service file (PGSERVICEFILE); a password in the URL works but "
                                                "is never shown, spooled or passed on a command line."),
                                 QStringLiteral("URL")};
    const QCommandLineOption bench{QStringLiteral("bench"),
                                   QStringLiteral("Bench name recorded with each row (default: the host name)."),
                                   QStringLiteral("NAME")};

    void addTo(Command &cmd) const
    {
        cmd.addOption(url);
        cmd.addOption(bench);
    }
#ifdef ZRTOOL_FULL
    // The recorder for the registry the options name; null (the refusal said on stderr) when that is not a
    // registry URL: a mistyped URL must not become a new registry, nor a spool for one.
    std::unique_ptr<Recorder> recorder(const QCommandLineParser &p) const
    {
        const QString where = p.isSet(url) ? p.value(url) : Registry::defaultUrl();
        const RegistryLocation location = parseRegistryUrl(where);
        if (location.kind == RegistryLocation::Invalid) {
            fprintf(stderr, "zrtool: %s%s\n", p.isSet(url) ? "" : "ZR_REGISTRY: ", qPrintable(location.error));
            return nullptr;
        }
        return std::make_unique<Recorder>(where, p.isSet(bench) ? p.value(bench) : Registry::hostBench());
    }
#endif
};
