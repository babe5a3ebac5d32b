// The DMX test console: a table of 512 channel values sent as DMX512 packets through the cable while it is open.
#pragma once

#include <QDialog>
#include <QTimer>

#include "dmx/dmxsignal.h"
#include "ui_dmxdialog.h"

class MyTableWidget;
class QLabel;
class QSlider;
class RS485Cable;

class DmxDialog : public QDialog, public Ui::DialogDmx
{
    Q_OBJECT

public:
    // cable: the main window's cable, not owned; null sends nothing.
    DmxDialog(QWidget *parent, Qt::WindowFlags flags, RS485Cable *cable);
    ~DmxDialog() override;

    // Whether the ramp was switched on; shared by every console for the rest of the run.
    static bool rampRunning() { return s_rampRunning; }

    const QTimer &packetTimer() const { return timer; }
    const QTimer &rampTimer() const { return simTimer; }

public slots:
    void slotTimeout();
    void setPacketsPerSeconds(int packets);
    void setDmxChannels(int channels);
    void sliderValueChanged(int v);
    void simSliderValueChanged(int v);
    void clearButtonClicked(bool);
    void autoButtonClicked(bool);
    void slotSimTimeout();

private:
    void setSelectedCells(int value);
    void showSentRate();

    QTimer timer;     // packets
    QTimer simTimer;  // ramp steps
    int simValue = 0;
    int simUp = 1;
    RS485Cable *cable;
    MyTableWidget *table = nullptr;
    quint8 dmxData[kDmxPacketBytes] = {};
    int packetsPerSeconds = kDmxMaxPacketsPerSecond;
    int dmxChannels = 24;
    QSlider *slider = nullptr;
    QSlider *simSlider = nullptr;
    QLabel *sentRate = nullptr; // the rate that goes out, shown only when the line cannot carry the one asked for

    static bool s_rampRunning;
};
