// Creation of upgrade files from Intel HEX: the family image, its CRC, the .upg and its companion _app.bin.
#include "builders/upgradewriter.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>

#include "core/files.h"
#include "builders/hextobin.h"
#include "builders/modelpaths.h"

QByteArray buildUpgradeImage(const QString &hexPath, const UpgradeLayout &layout, int *hexCode, quint64 *hexBytes,
                             HexOutside *outside)
{
    QByteArray image(int(layout.imageSize), '\0');
    quint64 stored = 0;
    *hexCode = HexToBin(hexPath, reinterpret_cast<quint8 *>(image.data()) + layout.appOffset,
                        layout.appFirstAddress(), layout.appLastAddress(), &stored, outside);
    if (hexBytes)
        *hexBytes = stored;
    sealImage(image, layout);
    return image;
}

QStringList writeUpgradeFiles(const QString &upgradePath, const UpgradeLayout &layout, const QString &model,
                              const QString &version, const QByteArray &plainImage, QString *error)
{
    QByteArray upg;
    QBuffer buffer(&upg);
    buffer.open(QIODevice::WriteOnly);
    writeUpgradeFile(&buffer, model, version, plainImage);

    // The pair appears together or not at all: a .upg without its _app.bin (or beside an old one) misleads.
    FileBatch pair(FileBatch::AllOrNone);
    const QString appPath = companionPath(upgradePath);
    if (pair.add(appPath, plainImage.mid(int(layout.appOffset))) && pair.add(upgradePath, upg) && pair.commit())
        return {};
    if (error)
        *error = pair.failures().constFirst().error;
    // Neither file was written; the one that failed first.
    return pair.failures().constFirst().path == appPath ? QStringList{appPath, upgradePath}
                                                         : QStringList{upgradePath, appPath};
}

QByteArray imageDescriptorName(const QByteArray &plainImage, quint32 appOffset, bool *covers)
{
    constexpr int kOffset = int(DESCRIPTOR_ADDRESS - FLASH_BASE);
    constexpr int kNameSize = 32;
    *covers = appOffset <= quint32(kOffset) && plainImage.size() >= kOffset + 2 * kNameSize;
    if (!*covers)
        return QByteArray();
    const QByteArray name = plainImage.mid(kOffset, kNameSize);
    return name.left(name.indexOf('\0') < 0 ? kNameSize : name.indexOf('\0'));
}

bool printableDescriptorName(const QByteArray &name)
{
    if (name.isEmpty())
        return false;
    for (const char c : name)
        if (quint8(c) < 0x20 || quint8(c) > 0x7E)
            return false;
    return true;
}

UpgradeRunResult createUpgradeFiles(const QString &hexPath, const UpgradeLayout &layout, const QString &model,
                                    const QString &version, const QString &upgradePath, const UpgradeChecks &checks)
{
    UpgradeRunResult result;
    const QByteArray image = buildUpgradeImage(hexPath, layout, &result.hexCode, &result.hexBytes, &result.outside);
    if (result.hexCode != 0 || result.hexBytes == 0)
        return result;
    if (checks.refuseOutside && result.outside.bytes > 0) {
        result.refusal = UpgradeRunResult::Refusal::Outside;
        return result;
    }
    bool covers = false;
    result.descriptorName = imageDescriptorName(image, layout.appOffset, &covers);
    if (checks.checkDescriptor && covers && result.descriptorName != model.toLatin1()) {
        result.refusal = UpgradeRunResult::Refusal::Descriptor;
        return result;
    }
    const QString dir = QFileInfo(upgradePath).path();
    if (!makeDirectory(dir, &result.error)) {
        result.failedFiles << dir;
        result.error = QStringLiteral("cannot create the directory: %1").arg(result.error);
        return result;
    }
    result.failedFiles = writeUpgradeFiles(upgradePath, layout, model, version, image, &result.error);
    return result;
}

QString upgradeHexDirectory(const UpgradeLayout &layout, const QString &model)
{
    const bool sharedSources = QLatin1String(layout.family) == QLatin1String("STM32F100C6");
    return modelDirectory(sharedSources ? QStringLiteral("Zr436") : model) + QDir::separator()
        + QStringLiteral("out");
}

QString proposedUpgradePath(const QString &model)
{
    return modelFilePath(model, model + QStringLiteral("_vx.xx"));
}
