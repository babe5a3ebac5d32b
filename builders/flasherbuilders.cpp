// The Flasher slots of the offline builders: upgrade-file writers, boot-image builders, parameters into firmware.
#include "app/flasher.h"

#include <QCoreApplication>
#include <QDate>

#include "core/files.h"
#include "core/logcategories.h"
#include "builders/bootimage.h"
#include "builders/modelpaths.h"
#include "builders/upgradewriter.h"
#include "registry/issueseries.h"
#include "registry/recorder.h"
#include "ui_flasher.h"

// --- upgrade files ---

void Flasher::createUpgrade(const char *family, const char *ZrXXX, const char *ZR_ver)
{
    qCDebug(zrBuild).noquote() << QStringLiteral("slotCreateUpg%1_family(%2, %3)").arg(family, ZrXXX, ZR_ver);
    const UpgradeLayout &layout = *upgradeLayout(QLatin1String(family));
    const QString model = QString::fromLatin1(ZrXXX);
    const QString hexPath = prompts().getOpenFileName(tr("Open File"), upgradeHexDirectory(layout, model),
                                                      tr("Hex (*.hex)"));
    if (hexPath.isEmpty())
        return;
    int hexCode = 0;
    const QByteArray image = buildUpgradeImage(hexPath, layout, &hexCode);
    if (hexCode != 0) // the user may still save what was converted, or cancel
        prompts().critical(tr("Error"), tr("HexToBin error: %1)").arg(hexCode), Prompts::Ok, Prompts::Ok);
    const QString chosen = prompts().getSaveFileName(tr("Save File"), proposedUpgradePath(model), tr("Upg (*.upg)"));
    if (chosen.isEmpty())
        return;
    const QString upgradePath = upgradeFilePath(chosen);
    for (const QString &failed : writeUpgradeFiles(upgradePath, layout, model, QString::fromLatin1(ZR_ver), image))
        prompts().critical(tr("Error"), tr("Cannot write file %1").arg(failed), Prompts::Ok, Prompts::Ok);
}

void Flasher::slotCreateUpgSTM32F070F6_family(char *ZrXXX, char *ZR_ver) { createUpgrade("STM32F070F6", ZrXXX, ZR_ver); }
void Flasher::slotCreateUpgSTM32F100C6_family(char *ZrXXX, char *ZR_ver) { createUpgrade("STM32F100C6", ZrXXX, ZR_ver); }
void Flasher::slotCreateUpgSTM32F100C8_family(char *ZrXXX, char *ZR_ver) { createUpgrade("STM32F100C8", ZrXXX, ZR_ver); }
void Flasher::slotCreateUpgSTM32G474CB_family(char *ZrXXX, char *ZR_ver) { createUpgrade("STM32G474CB", ZrXXX, ZR_ver); }
void Flasher::slotCreateUpgSTM32F103RC_family(char *ZrXXX, char *ZR_ver) { createUpgrade("STM32F103RC", ZrXXX, ZR_ver); }
void Flasher::slotCreateUpgSTM32F405RG_family(char *ZrXXX, char *ZR_ver) { createUpgrade("STM32F405RG", ZrXXX, ZR_ver); }

// --- boot images ---

// The four production-data dialogs; false when one was cancelled.
static bool askProductionData(Prompts &prompts, SerialScheme scheme, ProductionRun *run)
{
    const QDate today = QDate::currentDate();
    const bool weeks = scheme == SerialScheme::New;
    bool ok = false;
    run->scheme = scheme;
    run->year = prompts.getItem(Flasher::tr("Year(YY)"), Flasher::tr("Production year"), yearItems(scheme),
                                yearPreselection(scheme, today), false, &ok).toInt();
    if (!ok)
        return false;
    run->period = prompts.getItem(weeks ? Flasher::tr("Week(WW)") : Flasher::tr("Month(MM)"),
                                  weeks ? Flasher::tr("Production week") : Flasher::tr("Production month"),
                                  periodItems(scheme), periodPreselection(scheme, today), false, &ok).toInt();
    if (!ok)
        return false;
    const int last = maxSerial(scheme);
    run->firstSerial = prompts.getInt(Flasher::tr("Number(NNNN)"), Flasher::tr("Production number"), 0, 0, last, 1,
                                      &ok);
    if (!ok)
        return false;
    // At the last serial number the range would be empty; one image is still possible.
    run->count = prompts.getInt(Flasher::tr("Counter"), Flasher::tr("Iterations"), 1, 1,
                                qMax(1, last - run->firstSerial), 1, &ok);
    return ok;
}

// Every builder traces its call (builder and arguments) to the debug log.
static QString builderTrace(const char *builder, const char *model, const char *tag, const char *version, int rdm)
{
    return QStringLiteral("%1(%2, %3%4, %5)")
        .arg(QLatin1String(builder), QLatin1String(model),
             tag ? QLatin1String(tag) + QLatin1String(", ") : QString(), QLatin1String(version))
        .arg(rdm);
}

void Flasher::createBootImages(const char *builder, const char *ZrXXX, const char *tag, const char *version, int rdm)
{
    qCDebug(zrBuild).noquote() << builderTrace(builder, ZrXXX, tag, version, rdm);
    const BootVariant &variant = *bootVariant(builder);
    // Read once: changing the box during the dialogs does not change this run.
    const SerialScheme scheme = variant.schemeChoice && ui->OldSerialSystem->isChecked() ? SerialScheme::Old
                                                                                        : SerialScheme::New;
    BootInputs in;
    in.model = QString::fromLatin1(ZrXXX);
    in.rdmId = quint8(rdm & 0xFF);
    const QString dir = modelDirectory(in.model);
    if (variant.source == BootloaderSource::Hex)
        in.bootloaderPath = prompts().getOpenFileName(tr("Open Hex File with Bootloader"), dir, tr("Hex (*.hex)"));
    else
        in.bootloaderPath = prompts().getOpenFileName(tr("Open Bin File with Bootloader"),
                                                      QCoreApplication::applicationDirPath() + QLatin1Char('/')
                                                          + in.model,
                                                      tr("Bin (*.bin)"));
    if (in.bootloaderPath.isEmpty())
        return;
    if (variant.application != ApplicationPlacement::None) {
        in.applicationPath = prompts().getOpenFileName(tr("Open Binary File with application"), dir,
                                                       tr("Bin (*.bin)"));
        if (in.applicationPath.isEmpty() && variant.application == ApplicationPlacement::Region)
            return;
    }
    if (variant.modelData && isParameterModel(in.model))
        in.parameterPath = prompts().getOpenFileName(tr("Open Parameter File"), dir, tr("txt (*.txt)"));

    const PreparedBoot prepared = prepareBootImage(variant, in, m_state.log);
    if (prepared.status == PreparedBoot::HexError) {
        prompts().critical(tr("Error"), tr("HexToBin error: %1)").arg(prepared.hexCode), Prompts::Ok, Prompts::Ok);
        return;
    }
    if (prepared.status != PreparedBoot::Ok) {
        log(tr("Cannot read %1").arg(prepared.failedPath));
        return;
    }
    ProductionRun run;
    if (!askProductionData(prompts(), scheme, &run))
        return;
    // With a production registry configured: a series that reuses issued IDs asks first (No by default), a fresh
    // one runs without a word, and none is written unchecked. Without one, the series runs as it always did.
    Recorder *registry = recorder();
    if (!registry) {
        writeBootImages(variant, in, prepared, run, m_state.log);
        return;
    }
    IssueSeries series(*registry, in, run);
    IssueSeries::Check check = series.reserve(false);
    if (check == IssueSeries::Check::Reused) {
        const QString question = tr("Serial numbers %1 were already issued on %2: write them again?")
                                     .arg(series.collisionRange(), series.collisionDates());
        if (prompts().question(tr("Production registry"), question, Prompts::Yes | Prompts::No, Prompts::No)
            != Prompts::Yes)
            return;
        check = series.reserve(true);
    }
    if (check == IssueSeries::Check::Busy) {
        log(tr("Serial numbers %1 are being written by another bench right now: no boot image written")
                .arg(series.collisionRange()));
        return;
    }
    if (check != IssueSeries::Check::Reserved) {
        log(tr("Production registry %1 cannot be reached (%2): no boot image written")
                .arg(registry->shownUrl(), series.problem()));
        return;
    }
    writeBootImages(variant, in, prepared, run, m_state.log, series.observer());
    series.finish();
    logRegistryNotice();
}

// The builder slots: each runs the engine with its own description.
void Flasher::slotCreateBootBinZr(char *ZrXXX, char *ZrXXX_hardware, char *ZR_ver, uint8_t ZR_RDM_ID)
{
    createBootImages(__func__, ZrXXX, ZrXXX_hardware, ZR_ver, ZR_RDM_ID);
}

void Flasher::slotCreateBootBinZr_103RC(char *ZrXXX, char *ZrXXX_hardware, char *ZR_ver, uint8_t ZR_RDM_ID)
{
    createBootImages(__func__, ZrXXX, ZrXXX_hardware, ZR_ver, ZR_RDM_ID);
}

void Flasher::slotCreateBootBinZrSTM32G4(char *ZrXXX, char *ZrXXX_hardware, char *ZR_ver, uint8_t ZR_RDM_ID)
{
    createBootImages(__func__, ZrXXX, ZrXXX_hardware, ZR_ver, ZR_RDM_ID);
}

void Flasher::slotCreateBootBinZr536_(char *ZrXXX, char *ZrXXX_hardware, char *ZR_ver, uint8_t ZR_RDM_ID)
{
    createBootImages(__func__, ZrXXX, ZrXXX_hardware, ZR_ver, ZR_RDM_ID);
}

// The family builders take a 16-bit identifier (no hardware tag); its low byte is the RDM identifier.
void Flasher::slotCreateBootBinSTM32F4xx_family(char *ZrXXX, char *ZR_ver, uint16_t rdm_id)
{
    createBootImages(__func__, ZrXXX, nullptr, ZR_ver, rdm_id);
}

void Flasher::slotCreateBootBinSTM32F070F6_family(char *ZrXXX, char *ZR_ver, uint16_t rdm_id)
{
    createBootImages(__func__, ZrXXX, nullptr, ZR_ver, rdm_id);
}

// --- parameters into an application file ---

void Flasher::slotAddParamsToFile(char *ZrXXX, char *ZrXXX_hardware, char *ZR_ver, uint8_t ZR_RDM_ID)
{
    qCDebug(zrBuild).noquote() << builderTrace(__func__, ZrXXX, ZrXXX_hardware, ZR_ver, ZR_RDM_ID);
    const QString model = QString::fromLatin1(ZrXXX);
    const QString dir = modelDirectory(model);
    const QString firmwarePath = prompts().getOpenFileName(tr("Open Bin File with Firmware"), dir, tr("bin (*.bin)"));
    if (firmwarePath.isEmpty())
        return;
    QByteArray firmware;
    if (!readFileBytes(firmwarePath, &firmware)) {
        log(tr("Cannot read %1").arg(firmwarePath));
        return;
    }

    const QString paramPath = prompts().getOpenFileName(tr("Open Parameter File"), dir, tr("txt (*.txt)"));
    if (!paramPath.isEmpty()) {
        QByteArray params;
        if (!readFileBytes(paramPath, &params)) {
            log(tr("Cannot read %1").arg(paramPath));
            return;
        }
        log(QStringLiteral("paramData size = %1").arg(params.size()));
        if (addParamsToFirmware(firmware, params) == ParamPatch::FirmwareTooShort) {
            log(tr("The firmware is too short for a parameter block at 0x7F40"));
            return;
        }
    }
    const QString savePath = prompts().getSaveFileName(tr("Save File"), proposedUpgradePath(model), tr("bin (*.bin)"));
    if (savePath.isEmpty())
        return;
    if (!writeFileBytes(savePath, firmware))
        log(tr("Cannot write file %1").arg(savePath));
}
