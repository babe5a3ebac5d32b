// The device model catalogue: one row per model, behind the boot-image menus and "Create Upgrade".
#include "builders/catalogue.h"

#include <QLatin1String>

const QVector<CatalogueRow> &catalogue()
{
#define ZR_ROW(menu, id, code, label, builder, tag, rdm, writer) \
    {BootMenu::menu, #id, code, *label ? label : code, Builder::builder, tag, rdm, Writer::writer},
    static const QVector<CatalogueRow> rows = {ZR_CATALOGUE(ZR_ROW)};
#undef ZR_ROW
    return rows;
}

const QVector<CatalogueRow> &upgradeOnlyRows()
{
    // No boot-image menu: the menu field is unused; the builder field is never called.
#define ZR_ROW(id, code, writer) {BootMenu::Boot0_299, #id, code, code, Builder::M, "", 0, Writer::writer},
    static const QVector<CatalogueRow> rows = {ZR_UPGRADE_ONLY(ZR_ROW)};
#undef ZR_ROW
    return rows;
}

const char *builderSlotName(Builder builder)
{
    switch (builder) {
    case Builder::M: return "slotCreateBootBinZr";
    case Builder::R: return "slotCreateBootBinZr_103RC";
    case Builder::G: return "slotCreateBootBinZrSTM32G4";
    case Builder::H: return "slotCreateBootBinZr536_";
    case Builder::F4: return "slotCreateBootBinSTM32F4xx_family";
    case Builder::F0: return "slotCreateBootBinSTM32F070F6_family";
    case Builder::P: return "slotAddParamsToFile";
    }
    return "";
}

const char *writerFamily(Writer writer)
{
    switch (writer) {
    case Writer::NONE: return nullptr;
    case Writer::C8: return "STM32F100C8";
    case Writer::C6: return "STM32F100C6";
    case Writer::RC: return "STM32F103RC";
    case Writer::RG: return "STM32F405RG";
    case Writer::G4: return "STM32G474CB";
    case Writer::F0: return "STM32F070F6";
    }
    return nullptr;
}

QString CatalogueRow::menuText() const
{
    static const char *const kinds[] = {
        // by Builder key
        "boot 8 KiB",                // M
        "boot 8 KiB, STM32F103RC",   // R
        "boot 16 KiB, STM32G4",      // G
        "boot 128 KiB, serial text", // H
        "bootloader + application",  // F4
        "bootloader + application",  // F0
        "parameters into firmware",  // P
    };
    QString description = QLatin1String(kinds[int(builder)]);
    if (const char *family = writerFamily(writer))
        description += QLatin1String(", ") + QLatin1String(family);
    return QLatin1String(label) + QLatin1Char('\t') + description;
}
