// The named logging categories of the diagnostic traces: off unless --verbose or QT_LOGGING_RULES turns them on.
#pragma once

#include <QLoggingCategory>

// category    name         what it traces
Q_DECLARE_LOGGING_CATEGORY(zrLink)   // zr.link     cable enumeration, opening, every frame sent and received, CRCs
Q_DECLARE_LOGGING_CATEGORY(zrCodec)  // zr.codec    image encoding start and end
Q_DECLARE_LOGGING_CATEGORY(zrBoot)   // zr.boot     connect replies, upgrade and stream progress, read-back dumps
Q_DECLARE_LOGGING_CATEGORY(zrTools)  // zr.tools    service commands and flash tools
Q_DECLARE_LOGGING_CATEGORY(zrBuild)  // zr.build    upgrade file and boot image builders of the window
Q_DECLARE_LOGGING_CATEGORY(zrDmx)    // zr.dmx      the DMX console and its channel table
Q_DECLARE_LOGGING_CATEGORY(zrParams) // zr.params   the parameter wizard
Q_DECLARE_LOGGING_CATEGORY(zrSim)    // zr.sim      the simulated bus: power cycles, DMX packets received

// The rule --verbose adds: every zr.* category at every level. Rules from QT_LOGGING_RULES (or QT_LOGGING_CONF)
// still take precedence, so "zr.codec.debug=false" silences one category of a verbose run.
void enableAllTraces();
