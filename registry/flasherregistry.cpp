// The main window's side of the production registry: its recorder, the one notice, and the upgrade records.
#include "app/flasher.h"

#include "registry/recorder.h"

Recorder &Flasher::recorder()
{
    if (!m_recorder)
        m_recorder = std::make_unique<Recorder>();
    return *m_recorder;
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
    recorder().recordUpgrade(report);
    logRegistryNotice();
}
