// Prompts answered from options given beforehand: file names, texts, numbers and answers set by the caller.
#include "core/optionprompts.h"

namespace {
class OptionProgress : public ProgressDialog
{
public:
    OptionProgress(const OptionPrompts &prompts, const QString &label, int min, int max)
        : m_prompts(prompts), m_label(label), m_min(min), m_max(max)
    {
    }
    void setValue(int value) override
    {
        m_value = value;
        if (m_prompts.onProgress)
            m_prompts.onProgress(m_label, value, m_min, m_max);
    }
    bool wasCanceled() const override
    {
        if (m_prompts.stopRequested && m_prompts.stopRequested())
            return true;
        return m_min == 0 && m_prompts.attemptLimit >= 0 && m_value >= m_prompts.attemptLimit;
    }
    void close() override {}

private:
    const OptionPrompts &m_prompts;
    QString m_label;
    int m_min, m_max;
    int m_value = 0;
};
} // namespace

QString OptionPrompts::getOpenFileName(const QString &, const QString &, const QString &)
{
    return openFile;
}

QString OptionPrompts::getSaveFileName(const QString &, const QString &, const QString &)
{
    return saveFile;
}

QString OptionPrompts::getItem(const QString &, const QString &, const QStringList &items, int current, bool,
                               bool *ok, Parent)
{
    *ok = current >= 0 && current < items.size();
    return *ok ? items.at(current) : QString();
}

int OptionPrompts::getInt(const QString &, const QString &label, int value, int min, int max, int, bool *ok)
{
    *ok = ints.contains(label) && ints.value(label) >= min && ints.value(label) <= max;
    return *ok ? ints.value(label) : value;
}

QString OptionPrompts::getText(const QString &, const QString &label, const QString &text, bool *ok)
{
    *ok = texts.contains(label);
    return *ok ? texts.value(label) : text;
}

OptionPrompts::Button OptionPrompts::answer(const QString &title, const QString &text, int buttons)
{
    messages << title + QStringLiteral(": ") + text;
    const Button chosen = answers.value(title, defaultAnswer);
    if (buttons & chosen)
        return chosen;
    // Not one of the dialog's buttons: the dialog is closed without a choice.
    return NoButton;
}

OptionPrompts::Button OptionPrompts::question(const QString &title, const QString &text, int buttons, Button)
{
    return answer(title, text, buttons);
}

OptionPrompts::Button OptionPrompts::warning(const QString &title, const QString &text, int buttons, Button)
{
    return answer(title, text, buttons);
}

OptionPrompts::Button OptionPrompts::critical(const QString &title, const QString &text, int buttons, Button,
                                              Parent)
{
    messages << title + QStringLiteral(": ") + text;
    return (buttons & Ok) ? Ok : NoButton;
}

std::unique_ptr<ProgressDialog> OptionPrompts::progress(const QString &label, const QString &, int min, int max)
{
    return std::make_unique<OptionProgress>(*this, label, min, max);
}
