// The gang dialog: a view of the gang engine's queued signals, one table row per cable.
#include "boot/gangdialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>

#include "boot/gangrows.h"
#include "core/prompts.h"

GangDialog::GangDialog(QWidget *parent, Prompts &prompts, const QList<Cable> &cables, const QString &listProblem,
                       CableDriverFactory factory, std::function<bool()> fastReplies)
    : QDialog(parent)
    , m_prompts(prompts)
    , m_cables(cables)
    , m_fastReplies(std::move(fastReplies))
    , m_gang(new GangUpgrade(std::move(factory), this))
{
    setWindowTitle(tr("Gang Upgrade"));

    auto *fileRow = new QGridLayout;
    m_fileLine = new QLineEdit(this);
    m_fileLine->setObjectName(QStringLiteral("gangFile"));
    m_fileLine->setReadOnly(true);
    m_fileLine->setPlaceholderText(tr("no file chosen"));
    m_choose = new QPushButton(tr("Choose…"), this);
    m_choose->setObjectName(QStringLiteral("gangChoose"));
    m_model = new QLabel(this);
    m_model->setObjectName(QStringLiteral("gangModel"));
    m_model->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fileRow->addWidget(new QLabel(tr("Upgrade file:"), this), 0, 0);
    fileRow->addWidget(m_fileLine, 0, 1);
    fileRow->addWidget(m_choose, 0, 2);
    fileRow->addWidget(new QLabel(tr("Model:"), this), 1, 0);
    fileRow->addWidget(m_model, 1, 1, 1, 2);
    fileRow->setColumnStretch(1, 1);

    m_table = new QTableWidget(cables.size(), ColumnCount, this);
    m_table->setObjectName(QStringLiteral("gangTable"));
    m_table->setHorizontalHeaderLabels({tr("Cable"), tr("Progress"), tr("Device"), tr("Result")});
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionMode(QAbstractItemView::NoSelection);
    m_table->setFocusPolicy(Qt::NoFocus);
    m_table->setWordWrap(false);
    m_table->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    m_table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff); // long results are elided, whole in the tip
    QHeaderView *header = m_table->horizontalHeader();
    header->setSectionResizeMode(CableColumn, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(ProgressColumn, QHeaderView::Fixed);
    header->setSectionResizeMode(DeviceColumn, QHeaderView::Fixed);
    header->setSectionResizeMode(ResultColumn, QHeaderView::Stretch);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // Fixed widths, so that the columns stay put as devices are found.
    const QFontMetrics metrics(m_table->font());
    const int padding = 2 * metrics.averageCharWidth() + 2 * m_table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin);
    m_table->setColumnWidth(ProgressColumn, metrics.horizontalAdvance(QStringLiteral("0000 / 0000")) + padding);
    m_table->setColumnWidth(DeviceColumn, metrics.horizontalAdvance(QStringLiteral("00 00000000  Zr0000")) + padding);
    const int resultWidth = metrics.horizontalAdvance(tr("no device answered the connect frames")) + padding;
    for (int row = 0; row < cables.size(); ++row) {
        const Cable &cable = cables.at(row);
        auto *item = new QTableWidgetItem(cable.identity.label());
        item->setCheckState(Qt::Unchecked);
        if (cable.busy.isEmpty()) {
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
            auto *progress = new QProgressBar(m_table);
            progress->setRange(0, 1);
            progress->setValue(0);
            m_table->setCellWidget(row, ProgressColumn, progress);
        } else {
            item->setFlags(Qt::NoItemFlags);
        }
        m_table->setItem(row, CableColumn, item);
        for (int column : {DeviceColumn, ResultColumn})
            m_table->setItem(row, column, new QTableWidgetItem);
        m_table->item(row, ResultColumn)->setText(cable.busy);
    }
    // Wide enough for every column, and tall enough for every row up to eight, without a scroll bar.
    m_table->resizeColumnToContents(CableColumn);
    m_table->setMinimumWidth(m_table->columnWidth(CableColumn) + m_table->columnWidth(ProgressColumn)
                             + m_table->columnWidth(DeviceColumn) + resultWidth + 2 * m_table->frameWidth()
                             + (cables.size() > 8 ? m_table->style()->pixelMetric(QStyle::PM_ScrollBarExtent) : 0));
    m_table->setMinimumHeight(m_table->horizontalHeader()->sizeHint().height()
                              + qBound(3, cables.size(), 8) * m_table->verticalHeader()->defaultSectionSize()
                              + 2 * m_table->frameWidth());

    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("gangSummary"));
    if (cables.isEmpty())
        m_summary->setText(listProblem.isEmpty() ? tr("No cable found.")
                                                 : tr("No cable found: %1").arg(listProblem));
    m_start = new QPushButton(tr("Start"), this);
    m_start->setObjectName(QStringLiteral("gangStart"));
    m_stopButton = new QPushButton(tr("Stop"), this);
    m_stopButton->setObjectName(QStringLiteral("gangStop"));
    auto *buttons = new QDialogButtonBox(this);
    buttons->addButton(m_start, QDialogButtonBox::ActionRole);
    buttons->addButton(m_stopButton, QDialogButtonBox::ActionRole);
    buttons->addButton(QDialogButtonBox::Close);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(m_summary, 1);
    bottom->addWidget(buttons);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(fileRow);
    layout->addWidget(m_table, 1);
    layout->addLayout(bottom);

    connect(m_choose, &QPushButton::clicked, this, &GangDialog::chooseFile);
    connect(m_start, &QPushButton::clicked, this, &GangDialog::start);
    connect(m_stopButton, &QPushButton::clicked, this, &GangDialog::stop);
    connect(buttons, &QDialogButtonBox::rejected, this, &GangDialog::reject);
    connect(m_table, &QTableWidget::itemChanged, this, [this] { updateStart(); });

    // The workers' signals arrive queued, on this thread.
    connect(m_gang, &GangUpgrade::stepChanged, this, [this](int index, GangUpgrade::Step step) {
        if (step != GangUpgrade::Step::Finished)
            setCell(index, ResultColumn, gangStepText(step));
    });
    connect(m_gang, &GangUpgrade::deviceFound, this, [this](int index, quint32 deviceId, const QByteArray &model) {
        setCell(index, DeviceColumn, gangDeviceText(deviceId, model));
    });
    connect(m_gang, &GangUpgrade::blocksDone, this, [this](int index, int done, int total) {
        if (QProgressBar *progress = bar(index)) {
            progress->setRange(0, qMax(total, 1));
            progress->setValue(done);
        }
    });
    connect(m_gang, &GangUpgrade::cableFinished, this, &GangDialog::cableFinished);
    connect(m_gang, &GangUpgrade::finished, this, [this] {
        setRunning(false);
        m_summary->setText(tr("%1 of %2 done").arg(m_done).arg(m_rows.size()));
    });

    setRunning(false);
    resize(sizeHint());
}

GangDialog::~GangDialog()
{
    // Stopped and joined before the widgets its rows show go.
    m_gang->disconnect(this);
    delete m_gang;
}

void GangDialog::setFile(const QString &path)
{
    m_file = path;
    m_fileLine->setText(QDir::toNativeSeparators(path));
    const GangFile file = checkGangFile(path);
    m_fileUsable = file.problem.isEmpty();
    m_model->setText(m_fileUsable ? file.model : file.problem);
    m_model->setStyleSheet(m_fileUsable ? QString() : QStringLiteral("color: #b00020"));
    updateStart();
}

void GangDialog::chooseFile()
{
    const QString path = m_prompts.getOpenFileName(tr("Open File"), m_dir, tr("Upg (*.upg)"));
    if (path.isEmpty())
        return;
    m_dir = QFileInfo(path).absolutePath();
    setFile(path);
}

void GangDialog::start()
{
    if (m_gang->isRunning() || !m_fileUsable)
        return;
    QList<GangCable> cables;
    m_rows.clear();
    for (int row = 0; row < m_cables.size(); ++row) {
        if (!m_cables.at(row).busy.isEmpty())
            continue;
        QProgressBar *progress = qobject_cast<QProgressBar *>(m_table->cellWidget(row, ProgressColumn));
        progress->setRange(0, 1);
        progress->setValue(0);
        m_table->item(row, DeviceColumn)->setText(QString());
        m_table->item(row, ResultColumn)->setText(QString());
        m_table->item(row, ResultColumn)->setToolTip(QString());
        if (m_table->item(row, CableColumn)->checkState() != Qt::Checked)
            continue;
        GangCable cable;
        cable.identity = m_cables.at(row).identity;
        cables << cable;
        m_rows << row;
        m_table->item(row, ResultColumn)->setText(gangStepText(GangUpgrade::Step::Waiting));
    }
    if (cables.isEmpty())
        return;
    GangSettings settings;
    settings.request.file = m_file;
    settings.fastReplies = m_fastReplies && m_fastReplies();
    m_done = 0;
    if (!m_gang->start(cables, settings))
        return;
    setRunning(true);
    m_summary->setText(tr("Upgrading on %1 cables…").arg(cables.size()));
}

void GangDialog::stop()
{
    if (!m_gang->isRunning())
        return;
    m_gang->stop();
    m_stopButton->setEnabled(false);
    m_summary->setText(tr("Stopping…"));
}

void GangDialog::stopAndWait()
{
    if (m_waiting)
        return;
    m_waiting = true;
    stop();
    m_gang->waitForAll();
    m_waiting = false;
}

void GangDialog::reject()
{
    // A second close while the first waits for the workers would delete the dialog under that wait.
    if (m_waiting)
        return;
    stopAndWait();
    QDialog::reject();
}

void GangDialog::cableFinished(int index, const UpgradeOutcome &outcome)
{
    const bool done = outcome.result == UpgradeOutcome::Result::Done;
    if (done) {
        ++m_done;
        if (QProgressBar *progress = bar(index))
            progress->setValue(progress->maximum()); // every block verified
    }
    if (outcome.deviceId != 0)
        setCell(index, DeviceColumn, gangDeviceText(outcome.deviceId, outcome.model));
    setCell(index, ResultColumn, gangResultText(outcome, m_gang->stopRequested()), outcome.step);
}

void GangDialog::setRunning(bool running)
{
    m_stopButton->setEnabled(running);
    m_choose->setEnabled(!running);
    const QSignalBlocker quiet(m_table); // flags are no choice of the user's
    for (int row = 0; row < m_cables.size(); ++row)
        if (m_cables.at(row).busy.isEmpty())
            m_table->item(row, CableColumn)
                    ->setFlags(running ? Qt::ItemIsEnabled : Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    updateStart();
}

void GangDialog::updateStart()
{
    bool chosen = false;
    for (int row = 0; row < m_cables.size(); ++row)
        chosen = chosen || m_table->item(row, CableColumn)->checkState() == Qt::Checked;
    m_start->setEnabled(!m_gang->isRunning() && m_fileUsable && chosen);
}

QProgressBar *GangDialog::bar(int index) const
{
    return qobject_cast<QProgressBar *>(m_table->cellWidget(rowOf(index), ProgressColumn));
}

void GangDialog::setCell(int index, Column column, const QString &text, const QString &tip)
{
    if (QTableWidgetItem *item = m_table->item(rowOf(index), column)) {
        item->setText(text);
        item->setToolTip(tip);
    }
}
