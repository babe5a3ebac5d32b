// The main window's cable slot: "Disconnect RS Cable".
#include "app/flasher.h"

#include "link/rs485cable.h"

void Flasher::slotDisconnectRsCable()
{
    m_cable->close();
}
