// The About box: logo, contact text and the version line.
#pragma once

#include <QDialog>

#include "ui_information.h"

class Information : public QDialog, public Ui_DialogInfo
{
    Q_OBJECT // its own translation context: without it tr() would look " ver. " up under QDialog

public:
    explicit Information(QWidget *parent = nullptr);
};
