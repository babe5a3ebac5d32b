// Everything an action asks the user, as an interface without widget types (real dialogs or a test script).
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

// A window-modal progress dialog with a Cancel button.
class ProgressDialog
{
public:
    virtual ~ProgressDialog() = default;
    virtual void setValue(int value) = 0;
    virtual bool wasCanceled() const = 0;
    virtual void close() = 0;
};

class Prompts
{
public:
    // The values of QMessageBox::StandardButton.
    enum Button : int {
        NoButton = 0x00000000,
        Ok = 0x00000400,
        Yes = 0x00004000,
        No = 0x00010000,
        Cancel = 0x00400000,
    };
    // Most dialogs belong to the main window; the cable's own dialogs have no parent.
    enum class Parent { Window, None };

    virtual ~Prompts() = default;

    // A null string when the user cancelled.
    virtual QString getOpenFileName(const QString &caption, const QString &dir, const QString &filter) = 0;
    virtual QString getSaveFileName(const QString &caption, const QString &dir, const QString &filter) = 0;

    virtual QString getItem(const QString &title, const QString &label, const QStringList &items, int current,
                            bool editable, bool *ok, Parent parent = Parent::Window) = 0;
    virtual int getInt(const QString &title, const QString &label, int value, int min, int max, int step,
                       bool *ok) = 0;
    virtual QString getText(const QString &title, const QString &label, const QString &text, bool *ok) = 0;

    // buttons is an OR of Button values; the result is the button pressed (NoButton when closed otherwise).
    virtual Button question(const QString &title, const QString &text, int buttons, Button defaultButton) = 0;
    virtual Button warning(const QString &title, const QString &text, int buttons, Button defaultButton) = 0;
    virtual Button critical(const QString &title, const QString &text, int buttons, Button defaultButton,
                            Parent parent = Parent::Window) = 0;

    virtual std::unique_ptr<ProgressDialog> progress(const QString &label, const QString &cancelText, int min,
                                                     int max) = 0;

    // Lets the application process pending events (keeps the window painted in long loops).
    virtual void processEvents() = 0;
};
