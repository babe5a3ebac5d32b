// The per-model slots and the model menu entries, generated from the catalogue list.
#include "app/flasher.h"

#include <QAction>
#include <QMenu>

#include "builders/catalogue.h"
#include "ui_flasher.h"

// The builders and writers take writable strings but never write to them.
static char *arg(const char *text)
{
    return const_cast<char *>(text);
}

// ZR_CALL_<builder>(code, tag, rdm): the call each builder key stands for.
#define ZR_CALL_M(code, tag, rdm) slotCreateBootBinZr(arg(code), arg(tag), arg(kCatalogueBootVersion), rdm)
#define ZR_CALL_R(code, tag, rdm) slotCreateBootBinZr_103RC(arg(code), arg(tag), arg(kCatalogueBootVersion), rdm)
#define ZR_CALL_G(code, tag, rdm) slotCreateBootBinZrSTM32G4(arg(code), arg(tag), arg(kCatalogueBootVersion), rdm)
#define ZR_CALL_H(code, tag, rdm) slotCreateBootBinZr536_(arg(code), arg(tag), arg(kCatalogueBootVersion), rdm)
#define ZR_CALL_F4(code, tag, rdm) slotCreateBootBinSTM32F4xx_family(arg(code), arg(kCatalogueBootVersion), rdm)
#define ZR_CALL_F0(code, tag, rdm) slotCreateBootBinSTM32F070F6_family(arg(code), arg(kCatalogueBootVersion), rdm)
#define ZR_CALL_P(code, tag, rdm) slotAddParamsToFile(arg(code), arg(tag), arg(kCatalogueBootVersion), rdm)
// ZR_WRITE_<writer>(code): the writer each writer key stands for.
#define ZR_WRITE_C8(code) slotCreateUpgSTM32F100C8_family(arg(code), arg(kCatalogueUpgradeVersion))
#define ZR_WRITE_C6(code) slotCreateUpgSTM32F100C6_family(arg(code), arg(kCatalogueUpgradeVersion))
#define ZR_WRITE_RC(code) slotCreateUpgSTM32F103RC_family(arg(code), arg(kCatalogueUpgradeVersion))
#define ZR_WRITE_RG(code) slotCreateUpgSTM32F405RG_family(arg(code), arg(kCatalogueUpgradeVersion))
#define ZR_WRITE_G4(code) slotCreateUpgSTM32G474CB_family(arg(code), arg(kCatalogueUpgradeVersion))
#define ZR_WRITE_F0(code) slotCreateUpgSTM32F070F6_family(arg(code), arg(kCatalogueUpgradeVersion))

#define ZR_DEFINE_MODEL_SLOTS(menu, id, code, label, builder, tag, rdm, writer) \
    void Flasher::slotCreateBootBin##id() { ZR_CALL_##builder(code, tag, rdm); } \
    ZR_IF_UPGRADE_##writer(void Flasher::slotCreateUpg##id() { ZR_WRITE_##writer(code); })
#define ZR_DEFINE_UPGRADE_ONLY_SLOT(id, code, writer) \
    void Flasher::slotCreateUpg##id() { ZR_WRITE_##writer(code); }

ZR_CATALOGUE(ZR_DEFINE_MODEL_SLOTS)
ZR_UPGRADE_ONLY(ZR_DEFINE_UPGRADE_ONLY_SLOT)

void Flasher::createModelEntries()
{
    using Slot = void (Flasher::*)();
    struct Entry
    {
        Slot boot;
        Slot upgrade = nullptr; // the row has no "Create Upgrade" entry
    };
#define ZR_ENTRY(menu, id, code, label, builder, tag, rdm, writer) \
    {&Flasher::slotCreateBootBin##id ZR_IF_UPGRADE_##writer(, &Flasher::slotCreateUpg##id)},
    static const Entry entries[] = {ZR_CATALOGUE(ZR_ENTRY)};
#undef ZR_ENTRY
    static_assert(sizeof(entries) / sizeof(entries[0]) == kCatalogueRows, "one entry per catalogue row");

    // by BootMenu
    QMenu *const bootMenus[] = {ui->menuCreate_Boot_Bin_0_299, ui->menuCreate_Boot_Bin_300_799,
                                ui->menuCreate_Boot_Bin_800_999, ui->menuCreate_Boot_Bin_900};
    const QVector<CatalogueRow> &rows = catalogue();
    for (int i = 0; i < kCatalogueRows; ++i) {
        const QString text = rows[i].menuText();
        auto *boot = new QAction(text, this);
        bootMenus[int(rows[i].menu)]->addAction(boot);
        connect(boot, &QAction::triggered, this, entries[i].boot);
        if (entries[i].upgrade) {
            auto *upgrade = new QAction(text, this);
            ui->menuCreate_Upgrade->addAction(upgrade);
            connect(upgrade, &QAction::triggered, this, entries[i].upgrade);
        }
    }
}
