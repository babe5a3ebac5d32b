// The eight upgrade families: flash layout and behaviour of each upgrade procedure, the model lists that pick
// one, and the order in which "Connect" and "Upgrade" try the lists.
#pragma once

#include <QByteArray>
#include <QStringList>
#include <QVector>

enum class FamilyId { F030F4, F100C6, F100C8, L051C8, F103RC_64KB, F103RC, F405RG, F474RB };

// Which upgrade-file headers a procedure accepts.
enum class HeaderRule {
    None,             // read and ignored
    Zr501Zr498,       // only a Zr501 or Zr498 device checks it (against its own header)
    F405Refusals,     // Zr627 and the F100C6 models are refused, then as Zr501Zr498
    F100C6,           // devices of the F100C8 / F103RC lists are refused; the header must name the device
};

// When the "Page address 0x%1 OK" line is logged.
enum class PageLog {
    Never,
    AfterReadIfShowAll,
    BeforeWriteAndAfterReadIfShowAll, // before every write always, after the read with "Show all messages"
};

// What a read-back block that differs from the image does.
enum class OnDifference {
    StopOnce,       // "Memory compare Error" once, stop
    StopTwice,      // "Memory compare Error" twice, stop
    RetryWithDumps, // dump files, retry the block (31 times, then asking), see the engine
};

struct UpgradeFamily
{
    FamilyId id;
    const char *name;       // "STM32F100C8"
    quint32 imageSize;      // S: bytes of the decoded image taken from the file, offset 0 = 0x08000000
    quint32 firstBlock;     // first block address written
    quint32 end;            // exclusive
    quint32 blockSize;
    int readLimitMs;        // read time limit of the write and read frames
    HeaderRule headerRule;
    bool eraseSector;       // erase the 128 KiB sector at 0x08020000 before writing
    PageLog pageLog;
    bool readBackToDebug;   // decoded read-back data on the debug output
    OnDifference onDifference;

    int blockCount() const { return int((end - firstBlock) / blockSize); }
};

const QVector<UpgradeFamily> &upgradeFamilies();
const UpgradeFamily &upgradeFamily(FamilyId id);

// Model codes served by a family (the family lists the window fills at construction).
const QStringList &familyModels(FamilyId id);

// The lists in the order "Connect" tries them (all eight), and the order "Upgrade" tries them (six: the F030F4
// and F474RB families are reached through "Connect" only).
const QVector<FamilyId> &connectDispatchOrder();
const QVector<FamilyId> &upgradeDispatchOrder();

// The first family in `order` whose list holds exactly `deviceName`; nullptr when none does ("Unknown device").
const UpgradeFamily *dispatchFamily(const QByteArray &deviceName, const QVector<FamilyId> &order);

struct UpgradeLayout;
// A family by the name of its procedure ("STM32F030F4") or of its upgrade-file layout ("STM32F070F6"), any case:
// the names zrtool's --family takes everywhere. nullptr for another name.
const UpgradeFamily *familyByName(const QString &name);
// Those names, for a usage line: "STM32F030F4, ..., STM32F070F6 (= STM32F030F4), ...".
QString familyNameList();
// The upgrade-file layout a family's procedure reads.
const UpgradeLayout &familyLayout(const UpgradeFamily &family);
