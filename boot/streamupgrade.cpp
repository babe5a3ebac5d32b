// The stream upgrade: stream connect loop and the three passes of broadcast block frames.
#include "boot/streamupgrade.h"

#include <QCoreApplication>

#include "core/appstate.h"
#include "core/logcategories.h"
#include "core/prompts.h"
#include "boot/deviceupgrade.h"
#include "boot/upgradefamily.h"
#include "builders/upgradefile.h"
#include "link/codec.h"
#include "link/rs485cable.h"

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Flasher", text);
}

// Every device on the bus listens to address 0 once held by the stream connect frame.
constexpr quint32 kStreamTarget = 0;
constexpr int kConnectReadMs = 100;
constexpr int kConnectWriteMs = 100;
constexpr int kBlockReadMs = 140;
constexpr int kBlockWriteMs = 0;
constexpr int kStreamBlock = 1024;
// The stream always sends the 64 KiB layout that starts writing at 0x08002000.
const char *const kStreamFamily = "STM32F100C8";

} // namespace

const QString StreamUpgrade::kPathKey = QStringLiteral("stream");

QByteArray streamNameArea(const QString &name)
{
    const QString cut = name.left(kStreamNameSize);
    QByteArray area(kStreamNameSize, '\0');
    for (int i = 0; i < cut.size(); ++i) {
        const ushort c = cut.at(i).unicode();
        area[i] = c > 0xFF ? '\0' : char(c);
    }
    return area;
}

StreamUpgrade::StreamUpgrade(AppState &state, Prompts &prompts, RS485Cable &cable)
    : m_state(state), m_prompts(prompts), m_cable(cable)
{
}

void StreamUpgrade::connectDevices()
{
    m_cable.armReplyFraming();
    m_state.targetAddress = kStreamTarget;
    if (!m_cable.ensureOpen()) {
        m_state.log(tr("Connect USB Cable !!!"));
        return;
    }
    // A cancelled dialog gives an empty name; the devices are called with it all the same.
    bool ok = false;
    const QString name = m_prompts.getText(tr("Device"), tr("Device"), QStringLiteral("Zr556"), &ok);
    const QByteArray frame = buildStreamConnectFrame(m_state.targetAddress, streamNameArea(name), 0);
    m_state.streamName = name;

    auto progress = m_prompts.progress(tr("1. Connect USB-RS Cable\n2.Reset Power Supply of device"),
                                       QStringLiteral("Cancel"), 0, kConnectAttempts);
    // Every attempt runs: the devices are power-cycled one by one, so an answer from one says nothing of the rest.
    for (int i = 0; i < kConnectAttempts; ++i) {
        progress->setValue(i);
        if (progress->wasCanceled())
            break;
        m_cable.armReplyFraming();
        bool replyOk = false;
        const QByteArray reply = m_cable.transact(frame, &replyOk, kConnectReadMs, kConnectWriteMs);
        if (m_state.showAllMessages)
            m_state.log(formatHexDump(reply));
    }
}

QString StreamUpgrade::modelRefusal(const QString &header, const std::optional<QString> &name)
{
    const UpgradeLayout *layout = upgradeLayout(QLatin1String(kStreamFamily));
    const QString model = upgradeFileModel(header);
    const UpgradeFamily *family = dispatchFamily(model.toLatin1(), connectDispatchOrder());
    if (model.isEmpty())
        return QStringLiteral("the header names no model");
    if (!family || family->imageSize != layout->imageSize || family->firstBlock != layout->appFirstAddress())
        return QStringLiteral("%1 does not use the stream's %2 layout (64 KiB from 0x%3)")
                .arg(model, QLatin1String(kStreamFamily))
                .arg(layout->appFirstAddress(), 8, 16, QLatin1Char('0'));
    if (name && *name != model)
        return QStringLiteral("the file is for %1, the stream connect called %2").arg(model, *name);
    return QString();
}

void StreamUpgrade::upgrade(bool checkModel)
{
    if (!m_cable.ensureOpen()) {
        m_state.log(tr("Connect USB Cable !!!"));
        return;
    }
    m_state.targetAddress = kStreamTarget;
    const QString path =
            m_prompts.getOpenFileName(tr("Open File"), m_state.lastPath(kPathKey), tr("Upg (*.upg)"));
    if (path.isEmpty()) {
        m_state.log(tr("No upgrade file selected"));
        return;
    }
    m_state.lastPaths[kPathKey] = path;
    qCDebug(zrBoot) << "Start firmware upgrade";
    m_state.log(path);

    // The version is not checked; an image shorter than the layout is refused rather than read past.
    const UpgradeLayout *layout = upgradeLayout(QLatin1String(kStreamFamily));
    const UpgradeFile file = readUpgradeFile(path);
    // One model's firmware written into every device of another would leave a whole bus unusable.
    if (checkModel && !modelRefusal(file.header, m_state.streamName).isEmpty()) {
        m_state.log(QStringLiteral("Wrong file header"));
        return;
    }
    const QByteArray image = decodedImage(file.image, layout->imageSize);
    if (image.isEmpty()) {
        m_state.log(tr("Wrong file size"));
        return;
    }
    m_state.log(tr("Writing firmware ... "));

    const quint32 first = layout->appFirstAddress();
    const quint32 end = UpgradeLayout::kFlashBase + layout->imageSize;
    auto progress = m_prompts.progress(tr("Writing firmware ... "), tr("Cancel"), int(first), int(end));
    for (int pass = 0; pass < kPasses; ++pass) {
        for (quint32 address = first; address < end; address += kStreamBlock) {
            progress->setValue(int(address));
            const QByteArray block = image.mid(int(address - UpgradeLayout::kFlashBase), kStreamBlock);
            bool ok = false; // replies are not examined: many devices write at once
            m_cable.transact(buildDataFrame(CMD_STREAM_WRITE, m_state.targetAddress, address, block), &ok,
                             kBlockReadMs, kBlockWriteMs);
            m_prompts.processEvents();
            if (progress->wasCanceled()) {
                m_state.log(tr("Upgrade Stream Canceled!"));
                progress->close();
                m_state.log(tr("Upgrade Stream finished!"));
                return;
            }
        }
    }
    m_state.log(tr("Upgrade Stream finished!"));
}
