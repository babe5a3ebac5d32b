// The cables `zrflasher --simulate` offers a gang upgrade: a few simulated buses, each with one demo device.
#pragma once

#include <QList>
#include <memory>

#include "link/cableidentity.h"

class FtdiDriver;

constexpr int kDemoGangCables = 3;

// "USB-RS485 Cable (simulated bus)" S/N ZRSIM001 to ZRSIM003.
QList<CableIdentity> demoGangCables();
// The bus behind one of them, made by the worker that uses it alone: real clock, a demo device whose ID counts up
// from the single demo device's with the cable (ZRSIM002: serial 43). Null for a cable it does not know.
std::unique_ptr<FtdiDriver> makeDemoGangBus(const CableIdentity &cable);
