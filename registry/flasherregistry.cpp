// The main window's side of the production registry: opt-in, its recorder, the notices and the upgrade records.
#include "app/flasher.h"

#include <QAction>
#include <QSignalBlocker>

#include "registry/recorder.h"
#include "registry/registryurl.h"
#include "ui_flasher.h"

QString Flasher::registryFromEnvironment()
{
    return Registry::configuredUrl();
}

void Flasher::setRegistryUrl(const QString &url)
{
    if (url == m_registryUrl)
        return;
    m_registryUrl = url;
    m_recorder.reset();
    if (auto *entry = findChild<QAction *>(QStringLiteral("actionProductionRegistry"))) {
        const QSignalBlocker quiet(entry);
        entry->setChecked(!url.isEmpty());
    }
}

Recorder *Flasher::recorder()
{
    if (m_registryUrl.isEmpty())
        return nullptr;
    if (!m_recorder)
        m_recorder = std::make_unique<Recorder>(m_registryUrl);
    return m_recorder.get();
}

void Flasher::logRegistryNotice()
{
    if (!m_recorder)
        return;
    const QString notice = m_recorder->takeNotice();
    if (!notice.isEmpty())
        log(notice);
}

void Flasher::recordUpgrade(const UpgradeReport &report)
{
    if (Recorder *registry = recorder()) {
        registry->recordUpgrade(report);
        logRegistryNotice();
    }
}

void Flasher::addRegistryEntry()
{
    if (findChild<QAction *>(QStringLiteral("actionProductionRegistry")))
        return;
    // Checked only while a registry is named; nothing about it is stored, so every start begins without one.
    auto *action = new QAction(tr("Production registry…"), this);
    action->setObjectName(QStringLiteral("actionProductionRegistry"));
    action->setCheckable(true);
    action->setChecked(!m_registryUrl.isEmpty());
    ui->menuUtilities->addAction(action);
    connect(action, &QAction::toggled, this, &Flasher::slotProductionRegistry);
}

void Flasher::slotProductionRegistry(bool on)
{
    if (!on) {
        setRegistryUrl(QString());
        return;
    }
    bool ok = false;
    const QString url = prompts().getText(tr("Production registry"),
                                          tr("Record boot images and upgrades in (postgresql://user@host/db or an "
                                             "SQLite file ending in .sqlite):"),
                                          Registry::defaultUrl(), &ok).trimmed();
    const RegistryLocation location = parseRegistryUrl(url);
    if (!ok || url.isEmpty() || location.kind == RegistryLocation::Invalid) {
        if (ok && !url.isEmpty())
            log(location.error);
        auto *entry = qobject_cast<QAction *>(sender());
        if (entry) {
            const QSignalBlocker quiet(entry);
            entry->setChecked(false);
        }
        return;
    }
    setRegistryUrl(url);
    log(tr("Production registry: %1").arg(location.shown));
}
