#pragma once
// pnv3400ctl's commands as one table: a row names a command, its arguments,
// its options and its handler. Parsing, dispatch and both help texts (the
// program's and each command's) are made from the rows, so a new command is
// a new row and nothing else.

#include "EncoderSession.h"
#include "Results.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QStringList>

#include <functional>

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

struct Command {
    QString name;
    QString arguments;     // "FILE", "[FILE]", "ADDRESS..."; empty when there are none
    QString summary;       // its line in the program's help
    QString description;   // its own help
    QList<QCommandLineOption> options;
    int minPositional = 0;
    int maxPositional = 0;
    std::function<Result(const Invocation &)> run;
    bool internal = false;   // left out of the program's help: scan's workers use it

    // "scan CIDR [--port P] [--jobs N] [--timeout MS]"
    QString synopsis() const;
};

struct Program {
    QString description;   // the help's first paragraph
    QString notes;         // what the help says after the commands
    QList<Command> commands;
};

// Parses the command line (arguments[0] is the program), runs the command
// and prints its result. Returns the process's exit code.
int runCommandLine(const Program &program, const QStringList &arguments);

} // namespace pnv::ctl
