// The DMX test console: channel table, packet timer, value slider and the automatic ramp.
#include "dmx/dmxdialog.h"

#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>

#include "dmx/myitemdelagete.h"
#include "dmx/mytablewidget.h"
#include "link/rs485cable.h"

namespace {
constexpr int kRows = 26;
constexpr int kColumns = 20; // cell (r, j) is channel r * 20 + j + 1; the last 8 cells are never sent
constexpr int kOpeningChannels = 24;
constexpr int kRampStartMs = 20;
constexpr int kSliderMaxHeight = 250;
constexpr int kSliderMinWidth = 25;
} // namespace

bool DmxDialog::s_rampRunning = false;

DmxDialog::DmxDialog(QWidget *parent, Qt::WindowFlags flags, RS485Cable *cable)
    : QDialog(parent, flags)
    , timer(this)
    , cable(cable)
{
    setupUi(this); // its buttons are not auto-default: Enter in a spin box or cell editor must not press "Clear"
    // A late tick would shorten the gap before the next packet; keep the packet rhythm to the millisecond.
    timer.setTimerType(Qt::PreciseTimer);

    table = new MyTableWidget(kRows, kColumns, this);
    table->setObjectName(QStringLiteral("table"));
    horizontalLayout->addWidget(table);
    sentRate = new QLabel(this);
    sentRate->setObjectName(QStringLiteral("sentRate"));
    sentRate->hide();
    gridLayout->addWidget(sentRate, 2, 0, 1, 2);

    setPacketsPerSeconds(kDmxMaxPacketsPerSecond);

    QStringList columnHeaders, rowHeaders;
    for (int j = 0; j < kColumns; ++j)
        columnHeaders << QStringLiteral("+%0").arg(j + 1, 2, 10, QLatin1Char('0'));
    for (int r = 0; r < kRows; ++r)
        rowHeaders << QStringLiteral("%0").arg(r * kColumns, 2, 10, QLatin1Char('0'));
    table->setHorizontalHeaderLabels(columnHeaders);
    table->setVerticalHeaderLabels(rowHeaders);
    table->setItemDelegate(new MyItemDelagete(table));
    for (int r = 0; r < kRows; ++r) {
        for (int j = 0; j < kColumns; ++j) {
            auto *item = new QTableWidgetItem;
            item->setData(Qt::EditRole, 0u);
            table->setItem(r, j, item);
        }
    }
    table->resizeColumnsToContents();
    table->resizeRowsToContents();

    connect(&timer, &QTimer::timeout, this, &DmxDialog::slotTimeout);
    connect(spinBoxDMXPacketsPerSec, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &DmxDialog::setPacketsPerSeconds);
    connect(spinBoxDmxChannels, QOverload<int>::of(&QSpinBox::valueChanged), this, &DmxDialog::setDmxChannels);

    slider = new QSlider(this);
    slider->setObjectName(QStringLiteral("slider"));
    slider->setMaximum(kDmxMaxValue);
    slider->setMaximumHeight(kSliderMaxHeight);
    slider->setMinimumWidth(kSliderMinWidth);
    sliderLayout->addWidget(slider);
    slider->setToolTip(tr("Value of the selected cells"));
    connect(slider, &QSlider::valueChanged, this, &DmxDialog::sliderValueChanged);

    simSlider = new QSlider(this);
    simSlider->setObjectName(QStringLiteral("simSlider"));
    simSlider->setMinimum(5);
    simSlider->setMaximum(100);
    simSlider->setValue(kRampStartMs);
    simSlider->setMaximumHeight(kSliderMaxHeight);
    simSlider->setMinimumWidth(kSliderMinWidth);
    sliderLayout->addWidget(simSlider);
    simSlider->setToolTip(tr("Speed of Auto"));
    connect(simSlider, &QSlider::valueChanged, this, &DmxDialog::simSliderValueChanged);

    connect(clearButton, &QPushButton::clicked, this, &DmxDialog::clearButtonClicked);
    connect(autoButton, &QPushButton::clicked, this, &DmxDialog::autoButtonClicked);
    connect(&simTimer, &QTimer::timeout, this, &DmxDialog::slotSimTimeout);

    simUp = 1;
    simValue = 0;
    setDmxChannels(kOpeningChannels);
    table->setCurrentCell(0, 0);
}

DmxDialog::~DmxDialog() = default;

void DmxDialog::slotTimeout()
{
    dmxData[0] = 0; // start code
    for (int k = 1; k <= kDmxMaxChannels; ++k) {
        // Disabled cells are read too; only the first dmxChannels go out.
        const QTableWidgetItem *cell = table->item((k - 1) / kColumns, (k - 1) % kColumns);
        dmxData[k] = quint8(cell->data(Qt::EditRole).toUInt());
    }
    if (cable)
        cable->sendDmxFrame(dmxData, dmxPacketLength(dmxChannels)); // a failed write shows on the lamps only
}

void DmxDialog::setPacketsPerSeconds(int packets)
{
    packetsPerSeconds = qBound(1, packets, kDmxMaxPacketsPerSecond);
    {
        const QSignalBlocker blocker(spinBoxDMXPacketsPerSec);
        spinBoxDMXPacketsPerSec->setValue(packetsPerSeconds);
    }
    timer.start(dmxPacketIntervalMs(packetsPerSeconds, dmxChannels));
    showSentRate();
}

void DmxDialog::setDmxChannels(int channels)
{
    dmxChannels = qBound(1, channels, kDmxMaxChannels);
    {
        const QSignalBlocker blocker(spinBoxDmxChannels);
        spinBoxDmxChannels->setValue(dmxChannels);
    }
    for (int r = 0; r < kRows; ++r) {
        for (int j = 0; j < kColumns; ++j) {
            QTableWidgetItem *cell = table->item(r, j);
            cell->setFlags(r * kColumns + j < dmxChannels ? cell->flags() | Qt::ItemIsEnabled
                                                          : cell->flags() & ~Qt::ItemIsEnabled);
        }
    }
    // A longer packet may need a longer interval; the spin box keeps what was asked for, the label says what goes out.
    const int interval = dmxPacketIntervalMs(packetsPerSeconds, dmxChannels);
    if (interval != timer.interval())
        timer.setInterval(interval);
    showSentRate();
}

void DmxDialog::showSentRate()
{
    const bool limited = dmxRateLimitedByWire(packetsPerSeconds, dmxChannels);
    if (limited)
        sentRate->setText(tr("%1 packets per second go out: %2 channels every %3 ms")
                                  .arg(dmxSentPacketsPerSecond(packetsPerSeconds, dmxChannels), 0, 'f', 1)
                                  .arg(dmxChannels)
                                  .arg(dmxPacketIntervalMs(packetsPerSeconds, dmxChannels)));
    sentRate->setVisible(limited);
}

void DmxDialog::setSelectedCells(int value)
{
    for (QTableWidgetItem *cell : table->selectedItems())
        cell->setData(Qt::EditRole, uint(value));
}

void DmxDialog::sliderValueChanged(int v)
{
    setSelectedCells(v);
}

void DmxDialog::simSliderValueChanged(int v)
{
    simTimer.setInterval(v);
}

void DmxDialog::clearButtonClicked(bool)
{
    for (int r = 0; r < kRows; ++r)
        for (int j = 0; j < kColumns; ++j)
            table->item(r, j)->setData(Qt::EditRole, 0u);
    slider->setValue(0);
    simUp = 1;
    simValue = 0;
}

void DmxDialog::autoButtonClicked(bool)
{
    // The flag outlives the dialog, the timer does not: after reopening, the first click only clears the flag.
    if (!s_rampRunning) {
        s_rampRunning = true;
        simTimer.start(kRampStartMs);
    } else {
        s_rampRunning = false;
        simTimer.stop();
    }
}

void DmxDialog::slotSimTimeout()
{
    dmxRampStep(simValue, simUp);
    setSelectedCells(simValue);
}
