// Prompts for tests: answers from a queue of expected dialogs and records every dialog it was shown.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

#include "core/prompts.h"

class ScriptedPrompts : public Prompts
{
public:
    enum class Kind { OpenFile, SaveFile, Item, Int, Text, Question, Warning, Critical };

    // One dialog as the action showed it.
    struct Shown
    {
        Kind kind;
        QString title;   // caption or title
        QString text;    // label or message text
        QString dir;     // start directory or proposed name (file dialogs); preset text (getText)
        QString filter;
        QStringList items;
        int current = 0;
        bool editable = false;
        int value = 0, min = 0, max = 0, step = 0;
        int buttons = 0;
        Button defaultButton = NoButton;
        Parent parent = Parent::Window;
    };

    // One progress dialog as the action drove it.
    struct Progress
    {
        QString label, cancelText;
        int min = 0, max = 0;
        QList<int> values;
        bool closed = false;
        bool canceled = false;
    };

    ~ScriptedPrompts() override;

    // --- the script: each call queues the answer to the next dialog, which must be of that kind ---
    ScriptedPrompts &openFile(const QString &path);       // a null QString() cancels
    ScriptedPrompts &saveFile(const QString &path);       // a null QString() cancels
    ScriptedPrompts &item(const QString &choice);         // must be one of the items unless editable
    ScriptedPrompts &integer(int value);
    ScriptedPrompts &text(const QString &value);
    ScriptedPrompts &cancel(Kind kind);                   // Item, Int or Text cancelled
    ScriptedPrompts &question(Button answer);
    ScriptedPrompts &warning(Button answer);
    ScriptedPrompts &critical(Button answer = Ok);

    // The next progress dialog reports Cancel once it has been given this many values.
    ScriptedPrompts &cancelProgressAfter(int values);
    // Called with every progress value (for instance to power-cycle a simulated device at attempt k).
    std::function<void(int value)> onProgressValue;
    std::function<void()> onProcessEvents;
    // Called as each dialog is shown, before it is answered (for instance to change the window meanwhile).
    std::function<void(const Shown &)> onShown;

    // --- what was shown ---
    QList<Shown> shown;
    QList<Progress> progresses;
    int processEventsCalls = 0;

    // True when every queued answer was asked for; otherwise records a test failure naming what is left.
    bool allAnswered(const char *file = __builtin_FILE(), int line = __builtin_LINE()) const;
    QList<Shown> shownOf(Kind kind) const;

    // --- Prompts ---
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

    static QString kindName(Kind kind);

private:
    struct Answer
    {
        Kind kind;
        bool accepted = true;
        QString text;
        int number = 0;
        Button button = NoButton;
    };
    // Takes the next answer; records a test failure when none is queued or it is of another kind.
    bool take(Kind kind, const Shown &shownNow, Answer *answer);

    QList<Answer> m_answers;
    QList<int> m_cancelAfter;
    friend class ScriptedProgress;
};
