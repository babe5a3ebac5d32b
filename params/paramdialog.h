// The parameter wizard: opens, edits and saves one 128-byte parameter record.
#pragma once

#include <QDialog>
#include <memory>

#include "params/paramrecord.h"

class Prompts;

namespace Ui {
class ParamDialogClass;
}

class ParamDialog : public QDialog
{
    Q_OBJECT

public:
    // prompts: the file dialogs to ask through (the main window's), not owned.
    ParamDialog(QWidget *parent, Prompts &prompts);
    ~ParamDialog() override;

    const ParamRecord &record() const { return m_record; }

public slots:
    void slotOpen();
    void slotSaveAs();

private:
    void updateUi();
    void readUi();
    void report(const QString &line);

    std::unique_ptr<Ui::ParamDialogClass> ui;
    ParamRecord m_record;
    Prompts &m_prompts;
};
