// Prompts answered from options given beforehand (command line, benchmarks): never waits for a person.
#pragma once

#include <QHash>
#include <QStringList>
#include <functional>

#include "core/prompts.h"

class OptionPrompts : public Prompts
{
public:
    // The file every open-file (save-file) dialog gets; a null string cancels the dialog.
    QString openFile;
    QString saveFile;
    // getText / getInt answers by the dialog's label; a label without an answer cancels the dialog.
    QHash<QString, QString> texts;
    QHash<QString, int> ints;
    // Question and warning answers by the dialog's title; a title without one gets `defaultAnswer`.
    QHash<QString, Button> answers;
    Button defaultAnswer = No;
    // getItem takes the preselected entry (zrtool chooses its cable by name before any dialog).
    // Counting dialogs (attempts, exchanges: those whose range starts at 0) report Cancel once their value reaches
    // this; -1: never. Dialogs over addresses are never cancelled.
    int attemptLimit = -1;
    // Every progress dialog reports Cancel once this says so (zrtool: a stop signal arrived).
    std::function<bool()> stopRequested;
    // Called for every progress step: the dialog's label, the value and its range.
    std::function<void(const QString &label, int value, int min, int max)> onProgress;

    // "title: text" of every message box shown (critical, warning, question), in order.
    QStringList messages;
    QString getOpenFileName(const QString &caption, const QString &dir, const QString &filter) override;
    QString getSaveFileName(const QString &caption, const QString &dir, const QString &filter) override;
    QString getItem(const QString &title, const QString &label, const QStringList &items, int current, bool editable,
                    bool *ok, Parent parent = Parent::Window) override;
    int getInt(const QString &title, const QString &label, int value, int min, int max, int step, bool *ok) override;
    QString getText(const QString &title, const QString &label, const QString &text, bool *ok) override;
    Button question(const QString &title, const QString &text, int buttons, Button defaultButton) override;
    Button warning(const QString &title, const QString &text, int buttons, Button defaultButton) override;
    Button critical(const QString &title, const QString &text, int buttons, Button defaultButton,
                    Parent parent = Parent::Window) override;
    std::unique_ptr<ProgressDialog> progress(const QString &label, const QString &cancelText, int min,
                                             int max) override;
    void processEvents() override {}

private:
    Button answer(const QString &title, const QString &text, int buttons);
};
