#include "CommandTable.h"
#include "Messages.h"

#include "AddressRules.h"
#include "WriteFlow.h"

#include <QCoreApplication>
#include <QFile>

namespace pnv::ctl {
namespace {

struct GlobalOptions {
    QCommandLineOption encoder{QStringLiteral("encoder"),
                               QStringLiteral("The encoder to talk to (default 172.16.30.1:3001, the factory address)."),
                               QStringLiteral("ADDRESS[:PORT]")};
    QCommandLineOption json{QStringLiteral("json"), QStringLiteral("Print JSON for machines.")};
    QCommandLineOption library{QStringLiteral("library"),
                               QStringLiteral("The device library to bind (as TESSALIN_LIBRARY does)."),
                               QStringLiteral("PATH")};
    QCommandLineOption verbose{QStringLiteral("verbose"),
                               QStringLiteral("Log every library call, its result and its duration on stderr.")};

    void addTo(QCommandLineParser &parser) const { parser.addOptions({encoder, json, library, verbose}); }
};

// The program's help after its description: the commands, the notes, and
// the outcome and exit code tables in columns a script can read.
QString programHelp(const Program &program)
{
    QString help = program.description + QStringLiteral("\n\nCommands:\n");
    for (const Command &command : program.commands) {
        if (command.internal)
            continue;
        const QString synopsis = QStringLiteral("  ") + command.synopsis();
        help += synopsis.size() <= 25 ? synopsis.leftJustified(27) : synopsis + u'\n' + QString(27, u' ');
        help += command.summary + u'\n';
    }
    help += u'\n' + program.notes + QStringLiteral("\nOutcomes of a write:\n");
    help += QStringLiteral("  %1 %2 %3 %4 %5\n")
                .arg(QStringLiteral("outcome").leftJustified(12), QStringLiteral("exit").leftJustified(5),
                     QStringLiteral("changed").leftJustified(8), QStringLiteral("failed").leftJustified(7),
                     QStringLiteral("meaning"));
    const auto yesNo = [](bool value) { return value ? QStringLiteral("yes") : QStringLiteral("no"); };
    for (const OutcomeRow &row : outcomeTable())
        help += QStringLiteral("  %1 %2 %3 %4 %5\n")
                    .arg(QString::fromLatin1(row.name).leftJustified(12))
                    .arg(QString::number(static_cast<int>(row.exit)).leftJustified(5))
                    .arg(yesNo(row.changed).leftJustified(8), yesNo(row.failed).leftJustified(7),
                         QLatin1String(row.meaning));
    help += QStringLiteral("\nExit codes:\n");
    for (const ExitCodeRow &row : exitCodeTable())
        help += QStringLiteral("  %1 %2\n")
                    .arg(QString::number(static_cast<int>(row.code)).leftJustified(5), QLatin1String(row.meaning));
    return help + QStringLiteral("\n'pnv3400ctl COMMAND --help' describes one command.\n");
}

QString missingOrUnexpected(const QStringList &positional, int minimum)
{
    return positional.size() < minimum ? QStringLiteral("missing argument")
                                       : QStringLiteral("unexpected argument %1").arg(printable(positional.last()));
}

} // namespace

QString Command::synopsis() const
{
    QString text = name;
    if (!arguments.isEmpty())
        text += u' ' + arguments;
    for (const QCommandLineOption &option : options)
        if (!(option.flags() & QCommandLineOption::HiddenFromHelp))
            text += option.valueName().isEmpty()
                        ? QStringLiteral(" [--%1]").arg(option.names().first())
                        : QStringLiteral(" [--%1 %2]").arg(option.names().first(), option.valueName());
    return text;
}

int runCommandLine(const Program &program, const QStringList &arguments)
{
    Output output;
    const auto finish = [&output](const Result &result) {
        output.print(result);
        return result.exitCode();
    };

    const GlobalOptions globalOptions;
    QCommandLineParser parser;
    parser.setApplicationDescription(programHelp(program));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    globalOptions.addTo(parser);
    QStringList names;
    for (const Command &command : program.commands)
        if (!command.internal)
            names << command.name;
    parser.addPositionalArgument(QStringLiteral("command"),
                                 names.mid(0, names.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" or ")
                                     + names.last());
    if (!parser.parse(arguments))
        return finish(Result::usage(printable(parser.errorText())));
    if (parser.isSet(help)) {
        Output::printText(parser.helpText());
        return 0;
    }
    if (parser.isSet(version)) {
        Output::printText(QCoreApplication::applicationName() + u' ' + QCoreApplication::applicationVersion() + u'\n');
        return 0;
    }
    QStringList rest = parser.positionalArguments();
    if (rest.isEmpty())
        return finish(Result::usage(QStringLiteral("a command is needed; try 'pnv3400ctl --help'")));
    const QString name = rest.takeFirst();
    const auto command = std::find_if(program.commands.begin(), program.commands.end(),
                                      [&name](const Command &c) { return c.name == name; });
    if (command == program.commands.end())
        return finish(Result::usage(QStringLiteral("unknown command \"%1\"; try 'pnv3400ctl --help'").arg(printable(name))));

    // The command's own options, with the global ones allowed among them;
    // those the command has no use for are accepted but not offered in its help.
    GlobalOptions localGlobals;
    for (QCommandLineOption *global : {&localGlobals.encoder, &localGlobals.library, &localGlobals.verbose})
        if (command->ignores.contains(global->names().first()))
            global->setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineParser sub;
    sub.setApplicationDescription(command->description);
    sub.addPositionalArgument(command->name, command->summary,
                             (command->name + u' ' + command->arguments).trimmed());
    sub.addHelpOption();
    localGlobals.addTo(sub);
    sub.addOptions(command->options);
    if (!sub.parse(QStringList{arguments.first()} + rest))
        return finish(Result::usage(QStringLiteral("%1: %2").arg(printable(name), printable(sub.errorText()))));
    if (sub.isSet(QStringLiteral("help"))) {
        Output::printText(sub.helpText());
        return 0;
    }
    // An option given twice is a mistake in a script, not a choice of the last.
    for (const QCommandLineParser *given : {&parser, &sub})
        for (const QString &option : given->optionNames())
            if (given->values(option).size() > 1)
                return finish(Result::usage(QStringLiteral("%1: --%2 is given more than once").arg(name, option)));
    for (const QString &option : {QStringLiteral("encoder"), QStringLiteral("library")})
        if (parser.isSet(option) && sub.isSet(option))
            return finish(Result::usage(QStringLiteral("%1: --%2 is given more than once").arg(name, option)));
    const QStringList positional = sub.positionalArguments();
    if (positional.size() < command->minPositional || positional.size() > command->maxPositional)
        return finish(Result::usage(QStringLiteral("%1: %2").arg(name, missingOrUnexpected(positional, command->minPositional))));

    const auto given = [&](const QCommandLineOption GlobalOptions::*option) {
        return sub.isSet(localGlobals.*option) || parser.isSet(globalOptions.*option);
    };
    const auto value = [&](const QCommandLineOption GlobalOptions::*option) {
        return sub.isSet(localGlobals.*option) ? sub.value(localGlobals.*option) : parser.value(globalOptions.*option);
    };
    Globals globals;
    globals.json = given(&GlobalOptions::json);
    globals.verbose = given(&GlobalOptions::verbose);
    output.setJson(globals.json);
    // An empty --encoder is no encoder at all, never the factory default: a
    // script with an unset variable must not configure some other device.
    if (given(&GlobalOptions::encoder)) {
        const QString text = value(&GlobalOptions::encoder);
        const auto encoder = parseEncoderAddress(text);
        if (!encoder)
            return finish(Result::usage(
                QStringLiteral("--encoder \"%1\" is not ADDRESS[:PORT] (dotted address, port 1 to 65535)").arg(printable(text))));
        globals.encoder = *encoder;
    }
    if (given(&GlobalOptions::library)) {
        const QString library = value(&GlobalOptions::library);
        if (library.isEmpty())
            return finish(Result::usage(QStringLiteral("--library needs the path of the device library")));
        qputenv("TESSALIN_LIBRARY", QFile::encodeName(library));   // workers inherit it
    }
    return finish(command->run(Invocation{globals, positional, sub, output}));
}

} // namespace pnv::ctl
