// The main window's cable slots: "Disconnect RS Cable" and the "Fast replies" switch.
#include "app/flasher.h"

#include <QAction>
#include <QSettings>

#include "link/rs485cable.h"
#include "ui_flasher.h"

namespace {
const QString kFastRepliesKey = QStringLiteral("link/fastReplies");

QSettings settings()
{
    return QSettings(QStringLiteral("ZrFlasher"), QStringLiteral("zrflasher"));
}
} // namespace

void Flasher::slotDisconnectRsCable()
{
    m_cable->close();
}

void Flasher::addFastRepliesEntry()
{
    // Off unless the user turned it on: every exchange then waits its whole reply window.
    auto *action = new QAction(tr("Fast replies"), this);
    action->setObjectName(QStringLiteral("actionFastReplies"));
    action->setCheckable(true);
    action->setChecked(settings().value(kFastRepliesKey, false).toBool());
    m_cable->setFastReplies(action->isChecked());
    ui->menuUtilities->addAction(action);
    connect(action, &QAction::toggled, this, &Flasher::slotFastReplies);
}

void Flasher::slotFastReplies(bool on)
{
    m_cable->setFastReplies(on);
    settings().setValue(kFastRepliesKey, on);
}
