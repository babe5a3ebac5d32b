// One upgrade without a person at the window, over the connect and upgrade engines, summed up in one record.
#include "boot/deviceupgrade.h"

#include <QFile>
#include <QFileInfo>

#include "core/appstate.h"
#include "core/optionprompts.h"
#include "boot/connectengine.h"
#include "boot/upgradeengine.h"
#include "boot/upgradefamily.h"
#include "builders/upgradefile.h"
#include "builders/upgradewriter.h"
#include "link/codec.h"
#include "link/rs485cable.h"

namespace {
const QString kHeaderSuffix = upgradeFileHeader(QString());

} // namespace

QString upgradeFileModel(const QString &header)
{
    if (!header.endsWith(kHeaderSuffix) || header.size() == kHeaderSuffix.size())
        return QString();
    return header.left(header.size() - kHeaderSuffix.size());
}

UpgradeOutcome upgradeDevice(AppState &state, OptionPrompts &prompts, RS485Cable &cable,
                             const UpgradeRequest &request)
{
    UpgradeOutcome outcome;
    outcome.fileName = QFileInfo(request.file).fileName();
    outcome.fastReplies = cable.fastReplies();
    const qint64 startUs = cable.clockUs();
    auto finish = [&](UpgradeOutcome::Result result, const QString &step) {
        outcome.result = result;
        outcome.step = step;
        outcome.durationMs = (cable.clockUs() - startUs) / 1000;
        return outcome;
    };

    // The file first: a bad file needs neither a cable nor a device.
    QFile file(request.file);
    if (!file.open(QIODevice::ReadOnly))
        return finish(UpgradeOutcome::Result::Refused, QStringLiteral("cannot open ") + request.file);
    const QByteArray bytes = file.readAll();
    outcome.fileCrc = Crc16(bytes);
    const QString fileModel = upgradeFileModel(readUpgradeFile(request.file).header);
    if (fileModel.isEmpty())
        return finish(UpgradeOutcome::Result::Refused, QStringLiteral("not an upgrade file: ") + request.file);

    const UpgradeFamily *forced = nullptr;
    if (!request.family.isEmpty()) {
        forced = familyByName(request.family);
        if (!forced)
            return finish(UpgradeOutcome::Result::Refused, QStringLiteral("unknown family %1 (one of %2)")
                                                                   .arg(request.family, familyNameList()));
        if (!familyModels(forced->id).contains(fileModel))
            return finish(UpgradeOutcome::Result::Refused,
                          QStringLiteral("the file is for %1, not a %2 model").arg(fileModel, request.family));
    }

    if (!cable.ensureOpen())
        return finish(UpgradeOutcome::Result::NoCable, QStringLiteral("Connect USB Cable !!!"));
    DeviceIdentity identity;
    ConnectEngine connect(state, prompts, cable);
    if (request.hasTarget)
        connect.setConnectTarget(request.target);
    connect.setCollisionLimit(request.collisionLimit);
    if (!connect.identify(&identity))
        return finish(UpgradeOutcome::Result::NoDevice, connect.collided()
                                                                ? QStringLiteral("several devices answered at once")
                                                                : QStringLiteral("no device answered the connect frames"));
    outcome.deviceId = identity.deviceId;
    outcome.model = identity.name;
    outcome.bootVersion = identity.bootVersion;

    const UpgradeFamily *family = forced;
    if (!family) {
        family = dispatchFamily(identity.name, connectDispatchOrder());
        if (!family)
            return finish(UpgradeOutcome::Result::Refused, QStringLiteral("Unknown device"));
        if (QString::fromLatin1(identity.name) != fileModel)
            return finish(UpgradeOutcome::Result::Refused,
                          QStringLiteral("the file is for %1, the device is a %2")
                                  .arg(fileModel, QString::fromLatin1(identity.name)));
    } else {
        // The descriptor cannot be trusted: the file names the model the procedure's checks go by.
        state.connectedDeviceName = fileModel.toLatin1();
    }
    if (request.hasTarget)
        state.targetAddress = request.target;
    outcome.family = QString::fromLatin1(family->name);

    // A layout that covers the descriptor (0x08001FC0) writes the model code the device knows itself by: a file that
    // names another there leaves an "Unknown device" behind.
    bool covers = false;
    const QByteArray plain = decodedImage(readUpgradeFile(request.file).image, family->imageSize);
    const QByteArray named = imageDescriptorName(plain, family->firstBlock - FLASH_BASE, &covers);
    if (covers && named != state.connectedDeviceName)
        return finish(UpgradeOutcome::Result::Refused,
                      QStringLiteral("the file's descriptor at 0x%1 names %2, the device is a %3")
                              .arg(DESCRIPTOR_ADDRESS, 8, 16, QLatin1Char('0'))
                              .arg(printableDescriptorName(named) ? QString::fromLatin1(named)
                                                                  : QStringLiteral("no model"),
                                   QString::fromLatin1(state.connectedDeviceName)));

    // The engine's own lines tell what stopped it; the last one names the step.
    QStringList lines;
    const auto log = state.log;
    state.log = [&](const QString &line) {
        lines << line;
        log(line);
    };
    prompts.openFile = request.file;
    prompts.answers[UpgradeEngine::tr("Upgrade succesfull!")] = request.runAfter ? Prompts::Yes : Prompts::No;
    UpgradeEngine engine(state, prompts, cable);
    engine.setRetries(request.retries);
    const UpgradeEngine::Result result = engine.run(*family);
    state.log = log;
    switch (result) {
    case UpgradeEngine::Result::Done:
        return finish(UpgradeOutcome::Result::Done, QString());
    case UpgradeEngine::Result::Interrupted:
        return finish(UpgradeOutcome::Result::Interrupted, engine.cause());
    case UpgradeEngine::Result::NotStarted:
        // The version refusal is two lines: the message, then the version read (which may be empty).
        if (lines.size() >= 2 && lines.at(lines.size() - 2) == UpgradeEngine::tr("Wrong file version"))
            return finish(UpgradeOutcome::Result::Refused,
                          QStringLiteral("Wrong file version '%1' (the procedures accept '%2')")
                                  .arg(lines.constLast().left(kMaxUpgradeVersionChars), kUpgradeFileVersion));
        return finish(UpgradeOutcome::Result::Refused, lines.value(lines.size() - 1));
    case UpgradeEngine::Result::Failed:
        break;
    }
    return finish(UpgradeOutcome::Result::Failed, engine.cause().isEmpty() ? lines.value(lines.size() - 1)
                                                                           : engine.cause());
}
