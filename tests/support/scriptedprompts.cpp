// Prompts for tests: answers from a queue of expected dialogs and records every dialog it was shown.
#include "tests/support/scriptedprompts.h"

#include <QtTest>

class ScriptedProgress : public ProgressDialog
{
public:
    ScriptedProgress(ScriptedPrompts *owner, int index, int cancelAfter)
        : m_owner(owner), m_index(index), m_cancelAfter(cancelAfter)
    {
    }
    void setValue(int value) override
    {
        auto &p = m_owner->progresses[m_index];
        p.values.append(value);
        if (m_cancelAfter >= 0 && p.values.size() >= m_cancelAfter)
            p.canceled = true;
        if (m_owner->onProgressValue)
            m_owner->onProgressValue(value);
    }
    bool wasCanceled() const override { return m_owner->progresses[m_index].canceled; }
    void close() override { m_owner->progresses[m_index].closed = true; }

private:
    ScriptedPrompts *m_owner;
    int m_index;
    int m_cancelAfter;
};

ScriptedPrompts::~ScriptedPrompts() = default;

static ScriptedPrompts::Shown makeShown(ScriptedPrompts::Kind kind, const QString &title, const QString &text,
                                        const QString &dir = QString(), const QString &filter = QString())
{
    ScriptedPrompts::Shown s;
    s.kind = kind;
    s.title = title;
    s.text = text;
    s.dir = dir;
    s.filter = filter;
    return s;
}

QString ScriptedPrompts::kindName(Kind kind)
{
    static const char *const names[] = {"open file", "save file", "item", "integer", "text",
                                        "question", "warning", "critical"};
    return QString::fromLatin1(names[int(kind)]);
}

ScriptedPrompts &ScriptedPrompts::openFile(const QString &path)
{
    m_answers.append({Kind::OpenFile, !path.isNull(), path, 0, NoButton});
    return *this;
}

ScriptedPrompts &ScriptedPrompts::saveFile(const QString &path)
{
    m_answers.append({Kind::SaveFile, !path.isNull(), path, 0, NoButton});
    return *this;
}

ScriptedPrompts &ScriptedPrompts::item(const QString &choice)
{
    m_answers.append({Kind::Item, true, choice, 0, NoButton});
    return *this;
}

ScriptedPrompts &ScriptedPrompts::integer(int value)
{
    m_answers.append({Kind::Int, true, QString(), value, NoButton});
    return *this;
}

ScriptedPrompts &ScriptedPrompts::text(const QString &value)
{
    m_answers.append({Kind::Text, true, value, 0, NoButton});
    return *this;
}

ScriptedPrompts &ScriptedPrompts::cancel(Kind kind)
{
    m_answers.append({kind, false, QString(), 0, Cancel});
    return *this;
}

ScriptedPrompts &ScriptedPrompts::question(Button answer)
{
    m_answers.append({Kind::Question, true, QString(), 0, answer});
    return *this;
}

ScriptedPrompts &ScriptedPrompts::warning(Button answer)
{
    m_answers.append({Kind::Warning, true, QString(), 0, answer});
    return *this;
}

ScriptedPrompts &ScriptedPrompts::critical(Button answer)
{
    m_answers.append({Kind::Critical, true, QString(), 0, answer});
    return *this;
}

ScriptedPrompts &ScriptedPrompts::cancelProgressAfter(int values)
{
    m_cancelAfter.append(values);
    return *this;
}

bool ScriptedPrompts::allAnswered(const char *file, int line) const
{
    if (m_answers.isEmpty())
        return true;
    QStringList left;
    for (const Answer &a : m_answers)
        left << kindName(a.kind);
    QTest::qFail(qPrintable(QStringLiteral("dialogs expected but never shown: ") + left.join(QStringLiteral(", "))),
                 file, line);
    return false;
}

QList<ScriptedPrompts::Shown> ScriptedPrompts::shownOf(Kind kind) const
{
    QList<Shown> out;
    for (const Shown &s : shown)
        if (s.kind == kind)
            out.append(s);
    return out;
}

bool ScriptedPrompts::take(Kind kind, const Shown &shownNow, Answer *answer)
{
    shown.append(shownNow);
    if (onShown)
        onShown(shownNow);
    if (m_answers.isEmpty()) {
        QTest::qFail(qPrintable(QStringLiteral("unexpected %1 dialog \"%2\": %3")
                                    .arg(kindName(kind), shownNow.title, shownNow.text)),
                     __FILE__, __LINE__);
        return false;
    }
    if (m_answers.first().kind != kind) {
        QTest::qFail(qPrintable(QStringLiteral("a %1 dialog \"%2\" was shown where the script expected a %3 dialog")
                                    .arg(kindName(kind), shownNow.title, kindName(m_answers.first().kind))),
                     __FILE__, __LINE__);
        return false;
    }
    *answer = m_answers.takeFirst();
    return true;
}

QString ScriptedPrompts::getOpenFileName(const QString &caption, const QString &dir, const QString &filter)
{
    Shown s = makeShown(Kind::OpenFile, caption, QString(), dir, filter);
    Answer a;
    return take(Kind::OpenFile, s, &a) && a.accepted ? a.text : QString();
}

QString ScriptedPrompts::getSaveFileName(const QString &caption, const QString &dir, const QString &filter)
{
    Shown s = makeShown(Kind::SaveFile, caption, QString(), dir, filter);
    Answer a;
    return take(Kind::SaveFile, s, &a) && a.accepted ? a.text : QString();
}

QString ScriptedPrompts::getItem(const QString &title, const QString &label, const QStringList &items, int current,
                                 bool editable, bool *ok, Parent parent)
{
    Shown s = makeShown(Kind::Item, title, label);
    s.items = items;
    s.current = current;
    s.editable = editable;
    s.parent = parent;
    Answer a;
    const bool got = take(Kind::Item, s, &a) && a.accepted;
    if (got && !editable && !items.contains(a.text)) {
        QTest::qFail(qPrintable(QStringLiteral("item \"%1\" is not offered by \"%2\"").arg(a.text, title)), __FILE__,
                     __LINE__);
    }
    if (ok)
        *ok = got;
    return got ? a.text : (current >= 0 && current < items.size() ? items.at(current) : QString());
}

int ScriptedPrompts::getInt(const QString &title, const QString &label, int value, int min, int max, int step,
                            bool *ok)
{
    Shown s = makeShown(Kind::Int, title, label);
    s.value = value;
    s.min = min;
    s.max = max;
    s.step = step;
    Answer a;
    const bool got = take(Kind::Int, s, &a) && a.accepted;
    if (got && (a.number < min || a.number > max)) {
        QTest::qFail(qPrintable(QStringLiteral("%1 lies outside %2..%3 of \"%4\"").arg(a.number).arg(min).arg(max).arg(
                         title)),
                     __FILE__, __LINE__);
    }
    if (ok)
        *ok = got;
    return got ? a.number : value;
}

QString ScriptedPrompts::getText(const QString &title, const QString &label, const QString &text, bool *ok)
{
    Shown s = makeShown(Kind::Text, title, label, text);
    Answer a;
    const bool got = take(Kind::Text, s, &a) && a.accepted;
    if (ok)
        *ok = got;
    return got ? a.text : QString();
}

Prompts::Button ScriptedPrompts::question(const QString &title, const QString &text, int buttons,
                                          Button defaultButton)
{
    Shown s = makeShown(Kind::Question, title, text);
    s.buttons = buttons;
    s.defaultButton = defaultButton;
    Answer a;
    return take(Kind::Question, s, &a) ? a.button : NoButton;
}

Prompts::Button ScriptedPrompts::warning(const QString &title, const QString &text, int buttons,
                                         Button defaultButton)
{
    Shown s = makeShown(Kind::Warning, title, text);
    s.buttons = buttons;
    s.defaultButton = defaultButton;
    Answer a;
    return take(Kind::Warning, s, &a) ? a.button : NoButton;
}

Prompts::Button ScriptedPrompts::critical(const QString &title, const QString &text, int buttons,
                                          Button defaultButton, Parent parent)
{
    Shown s = makeShown(Kind::Critical, title, text);
    s.buttons = buttons;
    s.defaultButton = defaultButton;
    s.parent = parent;
    Answer a;
    return take(Kind::Critical, s, &a) ? a.button : NoButton;
}

std::unique_ptr<ProgressDialog> ScriptedPrompts::progress(const QString &label, const QString &cancelText, int min,
                                                          int max)
{
    Progress p;
    p.label = label;
    p.cancelText = cancelText;
    p.min = min;
    p.max = max;
    progresses.append(p);
    const int cancelAfter = m_cancelAfter.isEmpty() ? -1 : m_cancelAfter.takeFirst();
    return std::make_unique<ScriptedProgress>(this, progresses.size() - 1, cancelAfter);
}

void ScriptedPrompts::processEvents()
{
    ++processEventsCalls;
    if (onProcessEvents)
        onProcessEvents();
}
