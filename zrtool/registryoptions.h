// The options of every zrtool command that records: --registry URL and --bench NAME, and the recorder they make.
#pragma once

#include <QCommandLineOption>
#include <memory>

#include "zrtool/cli.h"
#ifdef ZRTOOL_FULL
#include "registry/recorder.h"
#endif

struct RegistryOptions
{
    const QCommandLineOption url{QStringLiteral("registry"),
                                 QStringLiteral("Production registry: postgresql://user@host[:port]/db or an SQLite "
                                                "file (default: ZR_REGISTRY, else registry.sqlite in the user's data "
                                                "directory)."),
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
    std::unique_ptr<Recorder> recorder(const QCommandLineParser &p) const
    {
        return std::make_unique<Recorder>(p.isSet(url) ? p.value(url) : Registry::defaultUrl(),
                                          p.isSet(bench) ? p.value(bench) : Registry::hostBench());
    }
#endif
};
