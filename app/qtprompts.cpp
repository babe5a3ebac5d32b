// The real dialogs behind Prompts.
#include "app/qtprompts.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>

#include "core/version.h"

static_assert(int(Prompts::Ok) == int(QMessageBox::Ok) && int(Prompts::Yes) == int(QMessageBox::Yes)
                  && int(Prompts::No) == int(QMessageBox::No) && int(Prompts::Cancel) == int(QMessageBox::Cancel)
                  && int(Prompts::NoButton) == int(QMessageBox::NoButton),
              "Prompts::Button mirrors QMessageBox::StandardButton");

namespace {

class QtProgress : public ProgressDialog
{
public:
    QtProgress(QWidget *window, const QString &label, const QString &cancelText, int min, int max)
        : m_dialog(new QProgressDialog(label, cancelText, min, max, window))
    {
        // Qt leaves a progress dialog untitled, and the window system shows the file name "zrflasher" instead.
        m_dialog->setWindowTitle(kProgramName);
        m_dialog->setWindowModality(Qt::WindowModal);
        m_dialog->setMinimumDuration(0);
        m_dialog->setValue(min);
    }
    ~QtProgress() override { delete m_dialog.data(); }
    void setValue(int value) override
    {
        if (m_dialog)
            m_dialog->setValue(value);
    }
    bool wasCanceled() const override { return m_dialog && m_dialog->wasCanceled(); }
    void close() override
    {
        if (m_dialog)
            m_dialog->close();
    }

private:
    QPointer<QProgressDialog> m_dialog;
};

QMessageBox::StandardButton box(QMessageBox::Icon icon, QWidget *parent, const QString &title, const QString &text,
                                int buttons, Prompts::Button defaultButton)
{
    QMessageBox mb(icon, title, text, QMessageBox::StandardButtons(buttons), parent);
    mb.setDefaultButton(QMessageBox::StandardButton(defaultButton));
    return QMessageBox::StandardButton(mb.exec());
}

} // namespace

QtPrompts::QtPrompts(QWidget *window)
    : m_window(window)
{
}

QWidget *QtPrompts::parentFor(Parent parent) const
{
    return parent == Parent::Window ? m_window : nullptr;
}

QString QtPrompts::getOpenFileName(const QString &caption, const QString &dir, const QString &filter)
{
    return QFileDialog::getOpenFileName(m_window, caption, dir, filter);
}

QString QtPrompts::getSaveFileName(const QString &caption, const QString &dir, const QString &filter)
{
    return QFileDialog::getSaveFileName(m_window, caption, dir, filter);
}

QString QtPrompts::getItem(const QString &title, const QString &label, const QStringList &items, int current,
                           bool editable, bool *ok, Parent parent)
{
    return QInputDialog::getItem(parentFor(parent), title, label, items, current, editable, ok);
}

int QtPrompts::getInt(const QString &title, const QString &label, int value, int min, int max, int step, bool *ok)
{
    return QInputDialog::getInt(m_window, title, label, value, min, max, step, ok);
}

QString QtPrompts::getText(const QString &title, const QString &label, const QString &text, bool *ok)
{
    return QInputDialog::getText(m_window, title, label, QLineEdit::Normal, text, ok);
}

Prompts::Button QtPrompts::question(const QString &title, const QString &text, int buttons, Button defaultButton)
{
    return Button(box(QMessageBox::Question, m_window, title, text, buttons, defaultButton));
}

Prompts::Button QtPrompts::warning(const QString &title, const QString &text, int buttons, Button defaultButton)
{
    return Button(box(QMessageBox::Warning, m_window, title, text, buttons, defaultButton));
}

Prompts::Button QtPrompts::critical(const QString &title, const QString &text, int buttons, Button defaultButton,
                                    Parent parent)
{
    return Button(box(QMessageBox::Critical, parentFor(parent), title, text, buttons, defaultButton));
}

std::unique_ptr<ProgressDialog> QtPrompts::progress(const QString &label, const QString &cancelText, int min, int max)
{
    return std::make_unique<QtProgress>(m_window, label, cancelText, min, max);
}

void QtPrompts::processEvents()
{
    QApplication::processEvents();
}
