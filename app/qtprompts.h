// The real dialogs behind Prompts: Qt file, input, message and progress dialogs parented to the main window.
#pragma once

#include "core/prompts.h"

class QWidget;

class QtPrompts : public Prompts
{
public:
    explicit QtPrompts(QWidget *window);

    QString getOpenFileName(const QString &caption, const QString &dir, const QString &filter) override;
    QString getSaveFileName(const QString &caption, const QString &dir, const QString &filter) override;
    QString getItem(const QString &title, const QString &label, const QStringList &items, int current, bool editable,
                    bool *ok, Parent parent) override;
    int getInt(const QString &title, const QString &label, int value, int min, int max, int step, bool *ok) override;
    QString getText(const QString &title, const QString &label, const QString &text, bool *ok) override;
    Button question(const QString &title, const QString &text, int buttons, Button defaultButton) override;
    Button warning(const QString &title, const QString &text, int buttons, Button defaultButton) override;
    Button critical(const QString &title, const QString &text, int buttons, Button defaultButton,
                    Parent parent) override;
    std::unique_ptr<ProgressDialog> progress(const QString &label, const QString &cancelText, int min,
                                             int max) override;
    void processEvents() override;

private:
    QWidget *parentFor(Parent parent) const;
    QWidget *m_window;
};
