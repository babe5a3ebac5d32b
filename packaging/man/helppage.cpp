// A program's --help text read into its parts and written out as manual page (roff) source.
#include "packaging/man/helppage.h"

#include <QRegularExpression>

namespace {

const QString kCommands = QStringLiteral("Commands");
const QString kArguments = QStringLiteral("Arguments");

// "Options:" and the like: a short capitalised title alone on an unindented line.
bool isSectionTitle(const QString &line)
{
    static const QRegularExpression title(QStringLiteral("^[A-Z][A-Za-z]*( [A-Za-z]+){0,2}:$"));
    return title.match(line).hasMatch();
}

// An entry line: two spaces, the term, then its text. Option terms hold single spaces ("-o, --output <file>"),
// so their text starts after a gap of two or more; a command word ends at the first space.
bool splitEntry(const QString &line, bool commandList, HelpBlock *block)
{
    static const QRegularExpression option(QStringLiteral("^  (\\S(?:.*?\\S)?)(?: {2,}(\\S.*))?$"));
    static const QRegularExpression command(QStringLiteral("^  (\\S+)(?: +(\\S.*))?$"));
    const QRegularExpressionMatch m = (commandList ? command : option).match(line);
    if (!m.hasMatch())
        return false;
    *block = {m.captured(1), m.captured(2)};
    return true;
}

void appendWords(QString *text, const QString &more)
{
    if (!text->isEmpty())
        *text += QLatin1Char(' ');
    *text += more;
}

// An entry's term: option names and command words in bold, <values> and argument names in italics.
QString roffTerm(const QString &term, bool italic)
{
    static const QRegularExpression token(QStringLiteral("[^\\s,]+"));
    QString out;
    int at = 0;
    for (auto it = token.globalMatch(term); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        out += roffEscape(term.mid(at, m.capturedStart() - at));
        const bool value = italic || m.captured().startsWith(QLatin1Char('<'));
        out += (value ? QStringLiteral("\\fI") : QStringLiteral("\\fB")) + roffEscape(m.captured())
               + QStringLiteral("\\fR");
        at = m.capturedEnd();
    }
    return out + roffEscape(term.mid(at));
}

// A paragraph of the help, line for line.
QString paragraph(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines)
        line = roffEscape(line);
    return lines.join(QLatin1String("\n.br\n"));
}

// The blocks of one section: entries as tagged paragraphs (indented by .RS inside a subsection), text as
// paragraphs.
QString roffBlocks(const HelpSection &section, bool indent)
{
    QString out;
    bool inList = false;
    for (const HelpBlock &block : section.blocks) {
        const bool entry = !block.term.isEmpty();
        if (entry && indent && !inList)
            out += QStringLiteral(".RS\n");
        if (!entry && indent && inList)
            out += QStringLiteral(".RE\n");
        inList = entry;
        if (entry)
            out += QStringLiteral(".TP\n%1\n%2\n")
                       .arg(roffTerm(block.term, section.title == kArguments), roffEscape(block.text));
        else
            out += QStringLiteral(".PP\n%1\n").arg(paragraph(block.text));
    }
    if (indent && inList)
        out += QStringLiteral(".RE\n");
    return out;
}

} // namespace

QStringList HelpText::commands() const
{
    QStringList words;
    for (const HelpSection &section : sections)
        if (section.title == kCommands)
            for (const HelpBlock &block : section.blocks)
                if (!block.term.isEmpty())
                    words << block.term;
    return words;
}

HelpText parseHelp(const QString &text)
{
    HelpText help;
    help.sections.append(HelpSection{});
    bool paragraphOpen = false; // the last block is a paragraph that the next text line continues
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        HelpSection &section = help.sections.last();
        HelpBlock entry;
        if (line.trimmed().isEmpty()) {
            paragraphOpen = false;
        } else if (help.usage.isEmpty() && line.startsWith(QLatin1String("Usage: "))) {
            help.usage = line.mid(7).trimmed();
        } else if (isSectionTitle(line)) {
            help.sections.append(HelpSection{line.chopped(1), {}});
            paragraphOpen = false;
        } else if (line.startsWith(QLatin1String("   ")) && !section.blocks.isEmpty()
                   && !section.blocks.last().term.isEmpty()) {
            appendWords(&section.blocks.last().text, line.trimmed()); // a wrapped entry text
        } else if (line.startsWith(QLatin1String("  ")) && splitEntry(line, section.title == kCommands, &entry)) {
            section.blocks.append(entry);
            paragraphOpen = false;
        } else if (paragraphOpen) {
            section.blocks.last().text += QLatin1Char('\n') + line.trimmed(); // lines of a text are kept
        } else {
            section.blocks.append({QString(), line.trimmed()});
            paragraphOpen = true;
        }
    }
    return help;
}

QString roffEscape(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('\\'), QLatin1String("\\e"));
    out.replace(QLatin1Char('-'), QLatin1String("\\-"));
    if (out.startsWith(QLatin1Char('.')) || out.startsWith(QLatin1Char('\'')))
        out.prepend(QLatin1String("\\&"));
    return out;
}

QString roffSynopsis(const QString &usage, const QString &words)
{
    if (!usage.startsWith(words))
        return roffEscape(usage) + QLatin1Char('\n');
    return QStringLiteral("\\fB%1\\fR%2\n").arg(roffEscape(words), roffEscape(usage.mid(words.size())));
}

QString roffTopLevel(const HelpText &help)
{
    QString out;
    for (const HelpSection &section : help.sections) {
        if (!section.title.isEmpty())
            out += QStringLiteral(".SH %1\n").arg(roffEscape(section.title.toUpper()));
        out += roffBlocks(section, false);
    }
    return out;
}

QString roffCommand(const HelpText &help, const QString &words)
{
    QString out = QStringLiteral(".SS \"%1\"\n").arg(roffEscape(words)) + roffSynopsis(help.usage, words);
    for (const HelpSection &section : help.sections) {
        if (!section.title.isEmpty())
            out += QStringLiteral(".PP\n%1:\n").arg(roffEscape(section.title));
        out += roffBlocks(section, true);
    }
    return out;
}
