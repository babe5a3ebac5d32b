// Program name and version, shared by the window title and the About box.
#pragma once

#include <QString>

inline const QString kProgramName = QStringLiteral("ZrFlasher");
inline const QString kProgramVersion = QStringLiteral("2.97");
