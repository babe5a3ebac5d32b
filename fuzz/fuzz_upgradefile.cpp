// Fuzz target: the upgrade-file reader, the image decoder and CRC of every layout, and writer/reader agreement.
#include <QBuffer>
#include <cstdint>

#include "builders/upgradefile.h"
#include "fuzz/fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = fuzz::inputFile(QStringLiteral("input.upg"), fuzz::bytes(data, size));
    const UpgradeFile file = readUpgradeFile(path);
    FUZZ_CHECK(file.opened);

    for (const UpgradeLayout &layout : upgradeLayouts()) {
        const QByteArray plain = decodedImage(file.image, layout.imageSize);
        if (plain.isEmpty()) {
            FUZZ_CHECK(quint32(file.image.size()) < layout.imageSize);
            continue;
        }
        FUZZ_CHECK(quint32(plain.size()) == layout.imageSize);
        storedImageCrc(plain, layout);
        computedImageCrc(plain, layout);

        // What the writer stores, the reader gives back: header, version and the plain image.
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        FUZZ_CHECK(writeUpgradeFile(&out, QStringLiteral("Zr440"), file.version, plain));
        const UpgradeFile again = readUpgradeFile(fuzz::inputFile(QStringLiteral("again.upg"), out.data()));
        FUZZ_CHECK(again.header == upgradeFileHeader(QStringLiteral("Zr440")));
        FUZZ_CHECK(again.version == file.version);
        FUZZ_CHECK(decodedImage(again.image, layout.imageSize) == plain);
    }
    return 0;
}
