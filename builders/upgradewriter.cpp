// Creation of upgrade files from Intel HEX: the family image, its CRC, the .upg and its companion _app.bin.
#include "builders/upgradewriter.h"

#include <QDir>
#include <QSaveFile>

#include "app/filebytes.h"
#include "builders/hextobin.h"
#include "builders/modelpaths.h"

QByteArray buildUpgradeImage(const QString &hexPath, const UpgradeLayout &layout, int *hexCode)
{
    QByteArray image(int(layout.imageSize), '\0');
    *hexCode = HexToBin(hexPath, reinterpret_cast<quint8 *>(image.data()) + layout.appOffset,
                        layout.appFirstAddress(), layout.appLastAddress());
    sealImage(image, layout);
    return image;
}

QStringList writeUpgradeFiles(const QString &upgradePath, const UpgradeLayout &layout, const QString &model,
                              const QString &version, const QByteArray &plainImage)
{
    QStringList failed;
    const QString appPath = companionPath(upgradePath);
    if (!writeFileBytes(appPath, plainImage.mid(int(layout.appOffset))))
        failed << appPath;

    QSaveFile upg(upgradePath);
    if (!upg.open(QIODevice::WriteOnly) || !writeUpgradeFile(&upg, model, version, plainImage) || !upg.commit())
        failed << upgradePath;
    return failed;
}

UpgradeRunResult createUpgradeFiles(const QString &hexPath, const UpgradeLayout &layout, const QString &model,
                                    const QString &version, const QString &upgradePath)
{
    UpgradeRunResult result;
    const QByteArray image = buildUpgradeImage(hexPath, layout, &result.hexCode);
    if (result.hexCode == 0)
        result.failedFiles = writeUpgradeFiles(upgradePath, layout, model, version, image);
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
