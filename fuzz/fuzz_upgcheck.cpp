// Fuzz target: `zrtool upg inspect` (plain and --json) on an arbitrary file.
#include <QStringList>
#include <cstdint>

#include "fuzz/fuzzsupport.h"
#include "zrtool/cli.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = fuzz::inputFile(QStringLiteral("input.upg"), fuzz::bytes(data, size));
    for (const QStringList &arguments : {QStringList{QStringLiteral("inspect"), path},
                                         QStringList{QStringLiteral("inspect"), QStringLiteral("--json"), path}}) {
        // A file either passes or is refused as a bad input; it is never a usage error or a crash.
        const int code = runUpg(arguments);
        FUZZ_CHECK(code == kExitOk || code == kExitInput);
    }
    return 0;
}
