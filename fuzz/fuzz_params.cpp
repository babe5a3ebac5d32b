// Fuzz target: the parameter loader, every field's value, and load/save agreement of the 128-byte record.
#include <cstdint>

#include "fuzz/fuzzsupport.h"
#include "params/paramrecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = fuzz::inputFile(QStringLiteral("input.bin"), fuzz::bytes(data, size));
    ParamRecord record;
    const QByteArray before = record.bytes();
    QString error;
    const bool loaded = record.load(path, &error);
    // Longer than the record: refused with a reason, and the record untouched.
    FUZZ_CHECK(loaded == (size <= size_t(ParamRecord::kSize)));
    FUZZ_CHECK(loaded || (!error.isEmpty() && record.bytes() == before));
    FUZZ_CHECK(record.bytes().size() == ParamRecord::kSize);

    // Each field's text, set back, reads the same (the command line's get/set pair agrees with itself).
    ParamRecord copy = record;
    for (const ParamField &f : ParamRecord::fields()) {
        QString value;
        FUZZ_CHECK(record.value(QLatin1String(f.name), &value));
        FUZZ_CHECK(copy.setValue(QLatin1String(f.name), value, &error));
        QString again;
        FUZZ_CHECK(copy.value(QLatin1String(f.name), &again) && again == value);
    }

    const QString saved = fuzz::scratchPath(QStringLiteral("saved.bin"));
    FUZZ_CHECK(record.save(saved, &error));
    ParamRecord reloaded;
    FUZZ_CHECK(reloaded.load(saved, &error) && reloaded.bytes() == record.bytes());
    return 0;
}
