// "Gang Upgrade": the cables to upgrade on, the upgrade file, Start and Stop, and a row per cable that follows its
// worker (progress, device found, result) while the window stays free.
#pragma once

#include <QDialog>
#include <QList>
#include <functional>

#include "boot/gangupgrade.h"

class Prompts;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;

class GangDialog : public QDialog
{
    Q_OBJECT

public:
    struct Cable
    {
        CableIdentity identity;
        QString busy; // why it cannot take part (gangCableBusy); empty: it can
    };
    // Columns of the cable table.
    enum Column { CableColumn, ProgressColumn, DeviceColumn, ResultColumn, ColumnCount };

    // cables: as listed (listProblem: why none was found); factory: each worker's driver; fastReplies: read at
    // every Start. File dialogs go through `prompts`.
    GangDialog(QWidget *parent, Prompts &prompts, const QList<Cable> &cables, const QString &listProblem,
               CableDriverFactory factory, std::function<bool()> fastReplies);
    ~GangDialog() override;

    GangUpgrade &gang() { return *m_gang; }
    // The table row of the gang's cable `index` (as started).
    int rowOf(int index) const { return m_rows.value(index, -1); }
    // Asks the workers to stop and runs the event loop until each has ended and its results have arrived.
    void stopAndWait();
    // The upgrade file to write: shows the model its header names, or why it cannot be used.
    void setFile(const QString &path);

public slots:
    void chooseFile();
    void start();
    void stop();
    // Closing while the gang runs stops it and waits for the workers first.
    void reject() override;

private:
    void cableFinished(int index, const UpgradeOutcome &outcome);
    void setRunning(bool running);
    void updateStart();
    QProgressBar *bar(int index) const;
    void setCell(int index, Column column, const QString &text, const QString &tip = QString());

    Prompts &m_prompts;
    QList<Cable> m_cables;
    std::function<bool()> m_fastReplies;
    GangUpgrade *m_gang = nullptr;
    QList<int> m_rows; // table row of each started cable
    QString m_file;
    QString m_dir = QStringLiteral(".");
    bool m_fileUsable = false;
    int m_done = 0;
    bool m_waiting = false; // stopAndWait runs

    QLineEdit *m_fileLine = nullptr;
    QLabel *m_model = nullptr;
    QTableWidget *m_table = nullptr;
    QLabel *m_summary = nullptr;
    QPushButton *m_choose = nullptr;
    QPushButton *m_start = nullptr;
    QPushButton *m_stopButton = nullptr;
};
