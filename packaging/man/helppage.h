// A program's --help text read into its parts and written out as manual page (roff) source.
#pragma once

#include <QList>
#include <QString>

// One block of a help section: an entry ("-o, --output <file>" and what it does) or, with no term, a paragraph.
struct HelpBlock
{
    QString term;
    QString text;
};

// A titled part of the help ("Options", "Arguments", "Commands"); the untitled first one is the description.
struct HelpSection
{
    QString title;
    QList<HelpBlock> blocks;
};

// What QCommandLineParser::helpText() and zrtool's command lists print, in parts.
struct HelpText
{
    QString usage; // the text after "Usage: "
    QList<HelpSection> sections;

    // The command words of a "Commands:" list, empty when the help has none.
    QStringList commands() const;
};

HelpText parseHelp(const QString &text);

// Text made safe for roff: backslashes and hyphens escaped, a leading '.' or '\'' kept from being a request.
QString roffEscape(const QString &text);

// The synopsis line: the command words in bold, the rest as printed.
QString roffSynopsis(const QString &usage, const QString &words);

// The sections of a page's top-level help: its description paragraphs, then ".SH OPTIONS", ".SH COMMANDS" ...
QString roffTopLevel(const HelpText &help);

// One command's help as a subsection of the page: ".SS <words>", the synopsis, description and entry lists.
QString roffCommand(const HelpText &help, const QString &words);
