// The main window's service command and flash tool slots: each hands its work to DeviceCommands.
#include "app/flasher.h"

#include "tools/devicecommands.h"

namespace {
DeviceCommands commands(Flasher &w)
{
    return DeviceCommands(w.state(), w.prompts(), w.cable());
}
} // namespace

void Flasher::slotRun() { commands(*this).run(); }
void Flasher::slotRunRAM() { commands(*this).runRam(); }
void Flasher::slotSend() { commands(*this).send(); }
void Flasher::slotLoadBin() { commands(*this).loadBin(); }
void Flasher::slotI2CRead() { commands(*this).i2cRead(); }
void Flasher::slotI2CWrite() { commands(*this).i2cWrite(); }
void Flasher::slotTest1() { commands(*this).test1(); }
void Flasher::slotTest2() { DeviceCommands::test2(); }
void Flasher::slotTest3() { DeviceCommands::test2(); }
void Flasher::slotWriteRAM() { commands(*this).writeRam(); }
void Flasher::slotMute() { commands(*this).mute(); }
void Flasher::slotUnmute() { commands(*this).unmute(); }
void Flasher::slotDiscovery() { commands(*this).discovery(); }
void Flasher::slotRead() { commands(*this).readFlash(); }
void Flasher::slotWrite() { commands(*this).writeFlash(); }
