// The eight upgrade families: flash layout and behaviour of each upgrade procedure, the model lists that pick
// one, and the order in which "Connect" and "Upgrade" try the lists.
#include "boot/upgradefamily.h"

#include "builders/upgradefile.h"

const QVector<UpgradeFamily> &upgradeFamilies()
{
    using H = HeaderRule;
    using P = PageLog;
    using D = OnDifference;
    // Rows in FamilyId order. The (S, first block) pairs are the upgrade-file layouts: F030F4 reads STM32F070F6
    // files, F474RB reads STM32G474CB files, L051C8 and F103RC_64KB read STM32F100C8 files.
    // id                  name                image S  first block  end         block  read ms  header          erase  "Page address"                         debug  difference
    static const QVector<UpgradeFamily> families = {
        {FamilyId::F030F4,      "STM32F030F4",      0x7800,  0x08001800, 0x08007800, 0x400, 140,  H::None,         false, P::Never,                            false, D::StopOnce},
        {FamilyId::F100C6,      "STM32F100C6",      0x8000,  0x08002000, 0x08008000, 0x400, 140,  H::F100C6,       false, P::Never,                            false, D::RetryWithDumps},
        {FamilyId::F100C8,      "STM32F100C8",      0x10000, 0x08002000, 0x08010000, 0x400, 140,  H::Zr501Zr498,   false, P::AfterReadIfShowAll,               true,  D::StopTwice},
        {FamilyId::L051C8,      "STM32L051C8",      0x10000, 0x08002000, 0x08010000, 0x400, 1400, H::Zr501Zr498,   false, P::AfterReadIfShowAll,               true,  D::StopTwice},
        {FamilyId::F103RC_64KB, "STM32F103RC_64KB", 0x10000, 0x08002000, 0x08010000, 0x800, 140,  H::None,         false, P::Never,                            false, D::StopOnce},
        {FamilyId::F103RC,      "STM32F103RC",      0x40000, 0x08002000, 0x08040000, 0x800, 140,  H::None,         false, P::Never,                            false, D::StopOnce},
        // F405RG verifies its read-back like F100C8: reporting success over unchecked flash would hide a failure.
        {FamilyId::F405RG,      "STM32F405RG",      0x40000, 0x08020000, 0x08040000, 0x400, 300,  H::F405Refusals, true,  P::BeforeWriteAndAfterReadIfShowAll, true,  D::StopTwice},
        {FamilyId::F474RB,      "STM32F474RB",      0x12000, 0x08004000, 0x08012000, 0x400, 140,  H::None,         false, P::AfterReadIfShowAll,               true,  D::StopTwice},
    };
    return families;
}

const UpgradeFamily &upgradeFamily(FamilyId id)
{
    return upgradeFamilies().at(int(id));
}

const QStringList &familyModels(FamilyId id)
{
    struct FamilyList
    {
        FamilyId family;
        QStringList models;
    };
    // family                 model codes, in the order the window fills its lists
    static const QVector<FamilyList> lists = {
        {FamilyId::F030F4, {"Zr440"}},
        {FamilyId::F100C6, {"Zr643", "Zr643_RGB", "Zr680", "Zr680_RGB", "Zr491", "Zr491_RGB", "Zr436"}},
        {FamilyId::F100C8,
         {"Zr529", "Zr515", "Zr444", "Zr672", "Zr666", "Zr423", "Zr498", "Zr601", "Zr501", "Zr652",
          "Zr528", "Zr597", "Zr449", "Zr686", "Zr657", "Zr609", "Zr519", "Zr562", "Zr649", "Zr432",
          "Zr606", "Zr535", "Zr569", "Zr603", "Zr595", "Zr564", "Zr407", "Zr647", "Zr517", "Zr433",
          "Zr647_MONO", "Zr517_MONO", "Zr433_MONO", "Zr487", "Zr409", "Zr430", "Zr600", "Zr446", "Zr437", "Zr598",
          "Zr641", "Zr633", "Zr594", "Zr556", "Zr655", "Zr419", "Zr492", "Zr459", "Zr474", "Zr522",
          "Zr525", "Zr524", "Zr509", "Zr679", "Zr499", "Zr586", "Zr634", "Zr439", "Zr566", "Zr563",
          "Zr685", "Zr646m02", "Zr602"}},
        {FamilyId::L051C8,
         {"Zr423_L0", "Zr569_L0", "Zr430_L0", "Zr600_L0", "Zr601_L0", "Zr556_L0", "Zr649_L0", "Zr634_L0",
          "Zr568_L0", "Zr492_L0", "Zr672_L0", "Zr528_L0", "Zr581"}},
        {FamilyId::F103RC, {"Zr627", "Zr650"}},
        {FamilyId::F103RC_64KB, {"Zr507", "Zr448", "Zr480"}},
        {FamilyId::F405RG, {"Zr489", "Zr403", "Zr536", "Zr553"}},
        {FamilyId::F474RB, {"Zr639", "Zr628", "Zr589", "Zr540", "Zr584", "Zr545", "Zr447"}},
    };
    for (const FamilyList &l : lists)
        if (l.family == id)
            return l.models;
    static const QStringList none;
    return none;
}

const QVector<FamilyId> &connectDispatchOrder()
{
    static const QVector<FamilyId> order = {FamilyId::F100C6, FamilyId::F030F4,      FamilyId::F100C8,
                                            FamilyId::F103RC, FamilyId::F405RG,      FamilyId::F103RC_64KB,
                                            FamilyId::L051C8, FamilyId::F474RB};
    return order;
}

const QVector<FamilyId> &upgradeDispatchOrder()
{
    static const QVector<FamilyId> order = {FamilyId::F100C6, FamilyId::F100C8,      FamilyId::F405RG,
                                            FamilyId::F103RC, FamilyId::F103RC_64KB, FamilyId::L051C8};
    return order;
}

const UpgradeFamily *dispatchFamily(const QByteArray &deviceName, const QVector<FamilyId> &order)
{
    const QString name = QString::fromLatin1(deviceName);
    for (FamilyId id : order)
        if (familyModels(id).contains(name, Qt::CaseSensitive))
            return &upgradeFamily(id);
    return nullptr;
}

const UpgradeLayout &familyLayout(const UpgradeFamily &family)
{
    for (const UpgradeLayout &layout : upgradeLayouts())
        if (layout.imageSize == family.imageSize && layout.appFirstAddress() == family.firstBlock)
            return layout;
    Q_UNREACHABLE(); // every procedure reads one of the layouts (checked by the tests)
    return upgradeLayouts().constFirst();
}

const UpgradeFamily *familyByName(const QString &name)
{
    for (const UpgradeFamily &family : upgradeFamilies())
        if (QString::fromLatin1(family.name).compare(name, Qt::CaseInsensitive) == 0)
            return &family;
    // A layout name stands for the first procedure that reads it.
    for (const UpgradeFamily &family : upgradeFamilies())
        if (QString::fromLatin1(familyLayout(family).family).compare(name, Qt::CaseInsensitive) == 0)
            return &family;
    return nullptr;
}

QString familyNameList()
{
    QStringList names, aliases;
    for (const UpgradeFamily &family : upgradeFamilies())
        names << QLatin1String(family.name);
    // Layouts read under another name, each once, with the procedure familyByName() gives for it.
    for (const UpgradeFamily &family : upgradeFamilies()) {
        const QString layout = QLatin1String(familyLayout(family).family);
        if (names.contains(layout) || aliases.contains(layout))
            continue;
        aliases << layout;
        names << QStringLiteral("%1 (= %2)").arg(layout, QLatin1String(family.name));
    }
    return names.join(QStringLiteral(", "));
}
