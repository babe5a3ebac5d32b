// The device model catalogue: one row per model, behind the boot-image menus and "Create Upgrade".
#pragma once

#include <QString>
#include <QVector>

#include "builders/catalogue_rows.h"

enum class BootMenu { Boot0_299, Boot300_799, Boot800_999, Boot646 };
// Builder keys: see catalogue_rows.h.
enum class Builder { M, R, G, H, F4, F0, P };
// Upgrade writer keys; NONE: the row has no upgrade entry.
enum class Writer { NONE, C8, C6, RC, RG, G4, F0 };

// Handed to every builder as ZR_VER and to every writer as the version text.
inline const char *const kCatalogueBootVersion = "1.0";
inline const char *const kCatalogueUpgradeVersion = "01";

struct CatalogueRow
{
    BootMenu menu;
    const char *slotId; // slotCreateBootBin<slotId>, slotCreateUpg<slotId>
    const char *code;
    const char *label;  // menu text before the tab
    Builder builder;
    const char *tag;
    quint8 rdm;
    Writer writer;

    // label + tab + a short description
    QString menuText() const;
};

#define ZR_COUNT_ROW(...) +1
constexpr int kCatalogueRows = 0 ZR_CATALOGUE(ZR_COUNT_ROW);

// All rows in menu order.
const QVector<CatalogueRow> &catalogue();
// Rows that only have an upgrade slot, no menu entry (Zr680 ...).
const QVector<CatalogueRow> &upgradeOnlyRows();

// The builder slot of a key ("slotCreateBootBinZr", ...) and the upgrade layout family of a writer key
// ("STM32F100C8", ...; nullptr for NONE).
const char *builderSlotName(Builder builder);
const char *writerFamily(Writer writer);
