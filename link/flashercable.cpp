// The main window's cable slots: "Disconnect RS Cable" and the "Fast replies" switch.
#include "app/flasher.h"

#include <QAction>

#include "link/rs485cable.h"
#include "ui_flasher.h"

void Flasher::slotDisconnectRsCable()
{
    m_cable->close();
}

void Flasher::addFastRepliesEntry()
{
    // Off at every start (the window keeps no settings): every exchange waits its whole reply window unless the
    // user ticks the entry or starts with --fast-replies.
    auto *action = new QAction(tr("Fast replies"), this);
    action->setObjectName(QStringLiteral("actionFastReplies"));
    action->setCheckable(true);
    m_cable->setFastReplies(false);
    ui->menuUtilities->addAction(action);
    connect(action, &QAction::toggled, this, &Flasher::slotFastReplies);
}

void Flasher::slotFastReplies(bool on)
{
    m_cable->setFastReplies(on);
}

void Flasher::setFastReplies(bool on)
{
    findChild<QAction *>(QStringLiteral("actionFastReplies"))->setChecked(on);
}
