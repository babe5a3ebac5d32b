// Build-time tool: writes zrtool's bash completion from its template, with the model codes of the catalogue and
// the family names that --family takes (upgrade-file layouts and upgrade procedures).
//
//   zrcompletion TEMPLATE OUTPUT
#include <QFile>
#include <QSaveFile>
#include <QStringList>
#include <cstdio>

#include "boot/upgradefamily.h"
#include "builders/catalogue.h"
#include "builders/upgradefile.h"

int main(int argc, char *argv[])
{
    if (argc != 3) {
        fprintf(stderr, "usage: zrcompletion TEMPLATE OUTPUT\n");
        return 1;
    }
    QStringList models, families;
    for (const QVector<CatalogueRow> *rows : {&catalogue(), &upgradeOnlyRows()})
        for (const CatalogueRow &row : *rows)
            models << QString::fromLatin1(row.code) << QString::fromLatin1(row.slotId);
    for (const UpgradeLayout &layout : upgradeLayouts())
        families << QString::fromLatin1(layout.family);
    for (const UpgradeFamily &family : upgradeFamilies())
        families << QString::fromLatin1(family.name);
    models.removeDuplicates();
    models.sort();
    families.removeDuplicates();
    families.sort();

    QFile in(QString::fromLocal8Bit(argv[1]));
    QSaveFile out(QString::fromLocal8Bit(argv[2]));
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly)) {
        fprintf(stderr, "zrcompletion: cannot open %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    QByteArray text = in.readAll();
    text.replace("@MODELS@", models.join(QLatin1Char(' ')).toLatin1());
    text.replace("@FAMILIES@", families.join(QLatin1Char(' ')).toLatin1());
    if (out.write(text) != text.size() || !out.commit()) {
        fprintf(stderr, "zrcompletion: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
