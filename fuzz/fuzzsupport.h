// What the fuzz targets share: a scratch directory, quiet traces, and a check that stops the run loudly.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QLoggingCategory>
#include <QString>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

// A violated property is a finding: say which and abort, so both libFuzzer and the replay run report it.
#define FUZZ_CHECK(condition)                                                                              \
    do {                                                                                                   \
        if (!(condition)) {                                                                                \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition);         \
            std::abort();                                                                                  \
        }                                                                                                  \
    } while (0)

namespace fuzz {

// Traces are off in every target: a line per call would drown the fuzzer's own output and slow it down.
inline const bool kQuiet = [] {
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false\n*.warning=false"));
    return true;
}();

// One scratch directory per process, removed at exit. (The working directory stays: libFuzzer keeps relative
// corpus paths. The engines target may drop the F100C6 procedure's dumps there, so run fuzzers from a scratch
// directory.)
inline const QString &scratchDir()
{
    static QTemporaryDir dir;
    if (!dir.isValid())
        std::abort();
    static const QString path = dir.path();
    return path;
}

inline QString scratchPath(const QString &name)
{
    return scratchDir() + QLatin1Char('/') + name;
}

// Writes the bytes to a scratch file and returns its path (the readers under test take file names).
inline QString inputFile(const QString &name, const QByteArray &bytes)
{
    const QString path = scratchPath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        std::abort();
    return path;
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

} // namespace fuzz
