// The About box: logo, contact text and the version line.
#pragma once

#include <QDialog>

#include "ui_information.h"

class Information : public QDialog, public Ui_DialogInfo
{
public:
    explicit Information(QWidget *parent = nullptr);
};
