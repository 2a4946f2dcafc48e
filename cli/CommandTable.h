#pragma once
// pnv3400ctl's commands as one table: a row names a command, its arguments,
// its options and its handler. Parsing, dispatch and both help texts (the
// program's and each command's) are made from the rows. A command's file
// builds its own row; a new command is that file, its row's place in the
// table (Program.cpp, declared in commands/Commands.h) and its line in CMake.

#include "EncoderSession.h"
#include "Results.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QStringList>

#include <functional>
#include <utility>

namespace pnv::ctl {

// What the global options say, wherever they stood.
struct Globals {
    EncoderAddress encoder{QStringLiteral("172.16.30.1"), 3001};
    bool json = false;
    bool verbose = false;
};

// What a handler is given.
struct Invocation {
    Globals globals;
    QStringList positional;
    const QCommandLineParser &parser;   // holds the command's own options
    const Output &output;               // for what a long command prints as it goes

    bool isSet(const QCommandLineOption &option) const { return parser.isSet(option); }
    QString value(const QCommandLineOption &option) const { return parser.value(option); }
};

using Handler = std::function<Result(const Invocation &)>;

// A row of the table. Rows are written with the named setters below, e.g.
//   Command("save", save).takes("FILE", 1, 1).summary("...")
struct Command {
    QString name;
    QString arguments;     // "FILE", "[FILE]", "ADDRESS..."; empty when there are none
    QString summaryText;   // its line in the program's help; empty for internal commands
    QString descriptionText;   // its own help
    QList<QCommandLineOption> options;
    int minPositional = 0;
    int maxPositional = 0;
    Handler run;
    bool internal = false;   // left out of the program's help: apply's and scan's workers use it
    QStringList ignores;     // global options without effect here ("encoder", "library"), left out of its help

    Command(QString commandName, Handler handler) : name(std::move(commandName)), run(std::move(handler)) {}
    Command &takes(const QString &names, int minimum, int maximum)
    {
        arguments = names;
        minPositional = minimum;
        maxPositional = maximum;
        return *this;
    }
    Command &summary(const QString &text) { summaryText = text; return *this; }
    Command &description(const QString &text) { descriptionText = text; return *this; }
    Command &withOptions(const QList<QCommandLineOption> &list) { options = list; return *this; }
    Command &ignoring(const QStringList &globals) { ignores = globals; return *this; }
    Command &usedInternally() { internal = true; return *this; }

    // "scan CIDR [--port P] [--jobs N] [--timeout MS]"
    QString synopsis() const;
};

struct Program {
    QString description;   // the help's first paragraph
    QString notes;         // what the help says after the commands
    QList<Command> commands;
};

// pnv3400ctl's own table.
const Program &program();

// Parses the command line (arguments[0] is the program), runs the command
// and prints its result. Returns the process's exit code.
int runCommandLine(const Program &program, const QStringList &arguments);

} // namespace pnv::ctl
