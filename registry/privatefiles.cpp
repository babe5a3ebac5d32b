// Private registry files: the spool and the SQLite registry hold bench names, device IDs and file names.
#include "registry/privatefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
constexpr QFileDevice::Permissions kOwnerDirectory = QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                     | QFileDevice::ExeOwner;
constexpr QFileDevice::Permissions kOwnerFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
} // namespace

bool makePrivateDirectory(const QString &dir, QString *why)
{
    const QString absolute = QFileInfo(dir).absoluteFilePath();
    if (QFileInfo(absolute).isDir())
        return true;
    // The parents first, so that each new folder is made private before anything is put into it.
    const QString parent = QFileInfo(absolute).path();
    if (parent != absolute && !makePrivateDirectory(parent, why))
        return false;
    if (!QDir().mkdir(absolute) && !QFileInfo(absolute).isDir()) {
        *why = QStringLiteral("cannot create the folder %1").arg(absolute);
        return false;
    }
    QFile::setPermissions(absolute, kOwnerDirectory);
    return true;
}

bool createPrivateFile(const QString &path, QString *why)
{
    if (QFileInfo::exists(path))
        return true;
    if (!makePrivateDirectory(QFileInfo(path).absolutePath(), why))
        return false;
    QFile file(path);
    // NewOnly: a second process creating it at the same moment leaves the first one's file alone.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        if (QFileInfo::exists(path))
            return true;
        *why = QStringLiteral("cannot create %1 (%2)").arg(path, file.errorString());
        return false;
    }
    if (!file.setPermissions(kOwnerFile)) {
        *why = QStringLiteral("cannot make %1 private (%2)").arg(path, file.errorString());
        return false;
    }
    return true;
}
