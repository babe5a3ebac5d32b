// Listing the cables once and choosing one by name: exact names first, an unambiguous beginning only after them.
#include "link/cableidentity.h"

#include <functional>

#include "core/logcategories.h"
#include "link/ftdidriver.h"

QString CableIdentity::label() const
{
    return QString::fromLatin1(description) + QStringLiteral(" S/N: ") + QString::fromLatin1(serial);
}

QList<CableIdentity> listCables(FtdiDriver &driver)
{
    const auto hex = [](quint32 value) { return QString::number(value, 16); };
    QList<CableIdentity> cables;
    qCDebug(zrLink) << "FT_CreateDeviceInfoList";
    quint32 count = 0;
    if (driver.createDeviceInfoList(&count) != FT_OK) {
        qCDebug(zrLink) << "Error";
        return cables;
    }
    qCDebug(zrLink).noquote() << QStringLiteral("Number of devices is %1").arg(count);
    for (quint32 i = 0; i < count; ++i) {
        CableIdentity c;
        quint32 type = 0, id = 0, locId = 0;
        char serial[64] = {};
        char description[128] = {};
        FtdiDriver::Handle handle = nullptr;
        if (driver.getDeviceInfoDetail(i, &c.flags, &type, &id, &locId, serial, description, &handle) != FT_OK)
            continue;
        // The library promises 16 and 64 characters; never trust a missing terminator.
        c.serial = QByteArray(serial, int(qstrnlen(serial, 16)));
        c.description = QByteArray(description, int(qstrnlen(description, 64)));
        qCDebug(zrLink).noquote() << QStringLiteral("\n\nDev %1:").arg(i);
        qCDebug(zrLink).noquote() << "Flags=0x" + hex(c.flags);
        qCDebug(zrLink).noquote() << "Type=0x" + hex(type);
        qCDebug(zrLink).noquote() << "ID=0x" + hex(id);
        qCDebug(zrLink).noquote() << "LocId=0x" + hex(locId);
        qCDebug(zrLink).noquote() << "SerialNumber=" + QString::fromLatin1(c.serial);
        qCDebug(zrLink).noquote() << "Description=" + QString::fromLatin1(c.description);
        qCDebug(zrLink).noquote() << "ftHandle=0x" + QString::number(quintptr(handle), 16);
        c.backend = driver.backendOf(i);
        c.listedBefore = driver.listedBefore(i);
        c.openName = driver.directName(i);
        if (c.openName.isEmpty())
            c.openName = c.serial;
        c.names << QString::fromLatin1(c.serial);
        for (const QString &name : driver.otherNames(i))
            if (!name.isEmpty() && !c.names.contains(name))
                c.names << name;
        cables << c;
    }
    return cables;
}

namespace {
// The indexes of the cables one of whose names passes `test`.
QList<int> matching(const QList<CableIdentity> &cables, const std::function<bool(const QString &)> &test)
{
    QList<int> found;
    for (int i = 0; i < cables.size(); ++i)
        for (const QString &name : cables.at(i).names)
            if (test(name)) {
                found << i;
                break;
            }
    return found;
}
} // namespace

int findCable(const QList<CableIdentity> &cables, const QString &wanted, QString *problem)
{
    if (wanted.isEmpty()) {
        *problem = QStringLiteral("no cable named");
        return -1;
    }
    // Exactly first; then the case aside (serial numbers are printed in capitals, Windows ports are any case);
    // a beginning only when no name is given whole.
    QList<int> found = matching(cables, [&](const QString &name) { return name == wanted; });
    if (found.isEmpty())
        found = matching(cables, [&](const QString &name) { return name.compare(wanted, Qt::CaseInsensitive) == 0; });
    if (found.isEmpty())
        found = matching(cables, [&](const QString &name) { return name.startsWith(wanted, Qt::CaseInsensitive); });
    if (found.size() == 1)
        return found.constFirst();
    QStringList labels;
    for (int i : (found.isEmpty() ? matching(cables, [](const QString &) { return true; }) : found))
        labels << cables.at(i).label();
    if (found.isEmpty())
        *problem = cables.isEmpty() ? QStringLiteral("'%1' not found").arg(wanted)
                                    : QStringLiteral("'%1' is not one of: %2").arg(wanted, labels.join(QStringLiteral(", ")));
    else
        *problem = QStringLiteral("'%1' matches several cables (%2); give the whole serial number or port")
                           .arg(wanted, labels.join(QStringLiteral(", ")));
    return -1;
}
