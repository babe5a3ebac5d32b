// The main window's gang upgrade: the "Gang Upgrade…" entry and its dialog, whose workers' lines go to the message
// box and whose upgrades go to the window's one recorder.
#include "app/flasher.h"

#include <QAction>

#include "boot/gangdialog.h"
#include "boot/gangrows.h"
#include "link/rs485cable.h"
#include "ui_flasher.h"

void Flasher::addGangEntry()
{
    if (findChild<QAction *>(QStringLiteral("actionGangUpgrade")))
        return;
    auto *action = new QAction(tr("Gang Upgrade…"), this);
    action->setObjectName(QStringLiteral("actionGangUpgrade"));
    ui->menuUtilities->addAction(action);
    connect(action, &QAction::triggered, this, &Flasher::slotGangUpgrade);
}

void Flasher::slotGangUpgrade()
{
    if (m_gangDialog) {
        m_gangDialog->show();
        m_gangDialog->raise();
        m_gangDialog->activateWindow();
        return;
    }
    // Listed afresh at every opening; the cable this window holds is shown but cannot be chosen.
    QList<GangDialog::Cable> cables;
    QString problem;
    const QByteArray held = m_cable->isOpen() ? m_cable->serialNumber() : QByteArray();
    if (m_gangCables.list)
        for (const CableIdentity &identity : m_gangCables.list(&problem))
            cables << GangDialog::Cable{identity, gangCableBusy(identity, held)};
    auto *dialog = new GangDialog(this, prompts(), cables, problem, m_gangCables.factory,
                                  [this] { return m_cable->fastReplies(); });
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_gangDialog = dialog;

    // Queued from the workers; the dialog as context ends them with it.
    GangUpgrade *gang = &dialog->gang();
    const auto serial = [gang](int index) { return QString::fromLatin1(gang->cables().at(index).identity.serial); };
    connect(gang, &GangUpgrade::logLine, dialog, [this, serial](int index, const QString &line) {
        log(serial(index) + QStringLiteral(": ") + line);
    });
    connect(gang, &GangUpgrade::upgradeReported, dialog,
            [this](int, const UpgradeReport &report) { recordUpgrade(report); });
    connect(gang, &GangUpgrade::cableFinished, dialog, [this, gang, serial](int index, const UpgradeOutcome &outcome) {
        log(serial(index) + QStringLiteral(": ") + gangResultText(outcome, gang->stopRequested()));
    });
    dialog->show();
}

void Flasher::closeGang()
{
    if (m_gangDialog)
        m_gangDialog->stopAndWait();
}
