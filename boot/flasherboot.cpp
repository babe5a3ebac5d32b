// The main window's connect and upgrade slots: "Connect", "Upgrade", the boot-connect poller and the eight
// family upgrades. The work is done by the connect and upgrade engines.
#include "app/flasher.h"

#include <QPushButton>
#include <QTimer>

#include "boot/connectengine.h"
#include "boot/upgradeengine.h"
#include "link/rs485cable.h"
#include "ui_flasher.h"

namespace {
void runFamilyUpgrade(Flasher &window, FamilyId id)
{
    UpgradeEngine(window.state(), window.prompts(), window.cable()).run(upgradeFamily(id));
}
} // namespace

void Flasher::slotConnect()
{
    ConnectEngine(m_state, *m_prompts, *m_cable).connectAndOffer();
}

void Flasher::slotUpgradeSTM32()
{
    ConnectEngine(m_state, *m_prompts, *m_cable).dispatch(upgradeDispatchOrder());
}

void Flasher::slotBootConnect()
{
    // A timer tick never opens the cable-selection dialog: the cable must have been opened by an action.
    if (!m_cable->isOpen()) {
        log(tr("Connect USB Cable !!!"));
        return;
    }
    const auto setConnectTextColor = [this](const QColor &color) {
        QPalette palette = ui->PushButtonConnect->palette();
        palette.setColor(QPalette::ButtonText, color);
        ui->PushButtonConnect->setPalette(palette);
    };
    setConnectTextColor(m_bootConnectBlink ? QColor(0, 255, 0) : QColor(0, 0, 0));
    m_bootConnectBlink = !m_bootConnectBlink;

    if (m_bootConnectAttemptsLeft == 0)
        m_bootConnectTimer->stop();
    else
        --m_bootConnectAttemptsLeft;

    bool ok = false;
    const QByteArray reply = m_cable->transact(buildConnectFrame(m_state.targetAddress), &ok, 100, 100);
    if (reply.isEmpty()) {
        log(QStringLiteral("Timeout"));
        return;
    }
    setConnectTextColor(QColor(0, 0, 0));
    if (!ok)
        log(QStringLiteral("CRC err"));
}

void Flasher::slotUpgradeSTM32F030F4_family()
{
    runFamilyUpgrade(*this, FamilyId::F030F4);
}

void Flasher::slotUpgradeSTM32F100C6_family()
{
    runFamilyUpgrade(*this, FamilyId::F100C6);
}

void Flasher::slotUpgradeSTM32F100C8_family()
{
    runFamilyUpgrade(*this, FamilyId::F100C8);
}

void Flasher::slotUpgradeSTM32L051C8_family()
{
    runFamilyUpgrade(*this, FamilyId::L051C8);
}

void Flasher::slotUpgradeSTM32F103RC_64KB_family()
{
    runFamilyUpgrade(*this, FamilyId::F103RC_64KB);
}

void Flasher::slotUpgradeSTM32F103RC_family()
{
    runFamilyUpgrade(*this, FamilyId::F103RC);
}

void Flasher::slotUpgradeSTM32F405RG_family()
{
    runFamilyUpgrade(*this, FamilyId::F405RG);
}

void Flasher::slotUpgradeSTM32F474RB_family()
{
    runFamilyUpgrade(*this, FamilyId::F474RB);
}
