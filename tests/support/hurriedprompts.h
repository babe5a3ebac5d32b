// Prompts that answer every dialog at once the way a user in a hurry would, for soak runs and fuzz targets.
#pragma once

#include <QStringList>
#include <functional>
#include <memory>

#include "core/prompts.h"

// The first item (the first cable), the preset file of an open dialog when it names a .upg file, the default
// button, the preset number or text. Progress dialogs report Cancel when `canceled` says so.
class HurriedPrompts : public Prompts
{
public:
    std::function<bool()> canceled = [] { return false; };
    std::function<void(int value)> onProgressValue = [](int) {};
    QStringList questions; // titles of the question boxes shown, in order

    QString getOpenFileName(const QString &, const QString &dir, const QString &) override
    {
        return dir.endsWith(QLatin1String(".upg")) ? dir : QString();
    }
    QString getSaveFileName(const QString &, const QString &, const QString &) override { return QString(); }
    QString getItem(const QString &, const QString &, const QStringList &items, int, bool, bool *ok,
                    Parent) override
    {
        *ok = !items.isEmpty();
        return items.value(0);
    }
    int getInt(const QString &, const QString &, int value, int, int, int, bool *ok) override
    {
        *ok = true;
        return value;
    }
    QString getText(const QString &, const QString &, const QString &text, bool *ok) override
    {
        *ok = true;
        return text;
    }
    Button question(const QString &title, const QString &, int, Button defaultButton) override
    {
        questions << title;
        return defaultButton;
    }
    Button warning(const QString &, const QString &, int, Button defaultButton) override { return defaultButton; }
    Button critical(const QString &, const QString &, int, Button defaultButton, Parent) override
    {
        return defaultButton;
    }
    std::unique_ptr<ProgressDialog> progress(const QString &, const QString &, int, int) override
    {
        return std::make_unique<Progress>(*this);
    }
    void processEvents() override {}

private:
    struct Progress : ProgressDialog
    {
        explicit Progress(HurriedPrompts &prompts) : prompts(prompts) {}
        void setValue(int value) override { prompts.onProgressValue(value); }
        bool wasCanceled() const override { return prompts.canceled(); }
        void close() override {}
        HurriedPrompts &prompts;
    };
};
