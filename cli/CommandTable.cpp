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
        help += command.summaryText + u'\n';
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

namespace {

// One command line, parsed in steps; each step either goes on or ends the
// run with the result that says why (a help text is an end with nothing more to say).
class CommandLineRun {
public:
    CommandLineRun(const Program &program, const QStringList &arguments) : m_program(program), m_arguments(arguments) {}

    int run()
    {
        for (const auto step : {&CommandLineRun::parseProgramOptions, &CommandLineRun::findCommand,
                                &CommandLineRun::parseCommandOptions, &CommandLineRun::refuseRepeats,
                                &CommandLineRun::readGlobals})
            if (const std::optional<Result> end = (this->*step)())
                return finish(*end);
        return finish(m_command->run(Invocation{m_globals, m_sub.positionalArguments(), m_sub, m_output}));
    }

private:
    int finish(const Result &result)
    {
        // Before the options are read, a usage error still answers as --json asks.
        if (!m_globalsRead && m_arguments.contains(QStringLiteral("--json")))
            m_output.setJson(true);
        m_output.print(result);
        return result.exitCode();
    }

    // The options before the command, and the command's name.
    std::optional<Result> parseProgramOptions()
    {
        m_parser.setApplicationDescription(programHelp(m_program));
        m_parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
        const QCommandLineOption help = m_parser.addHelpOption();
        const QCommandLineOption version = m_parser.addVersionOption();
        m_programOptions.addTo(m_parser);
        QStringList names;
        for (const Command &command : m_program.commands)
            if (!command.internal)
                names << command.name;
        m_parser.addPositionalArgument(QStringLiteral("command"),
                                       names.mid(0, names.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" or ")
                                           + names.last());
        if (!m_parser.parse(m_arguments))
            return Result::usage(printable(m_parser.errorText()));
        if (m_parser.isSet(help)) {
            Output::printText(m_parser.helpText());
            return Result();
        }
        if (m_parser.isSet(version)) {
            Output::printText(QCoreApplication::applicationName() + u' ' + QCoreApplication::applicationVersion() + u'\n');
            return Result();
        }
        m_rest = m_parser.positionalArguments();
        if (m_rest.isEmpty())
            return Result::usage(QStringLiteral("a command is needed; try 'pnv3400ctl --help'"));
        return std::nullopt;
    }

    std::optional<Result> findCommand()
    {
        const QString name = m_rest.takeFirst();
        const auto found = std::find_if(m_program.commands.begin(), m_program.commands.end(),
                                        [&name](const Command &c) { return c.name == name; });
        if (found == m_program.commands.end())
            return Result::usage(QStringLiteral("unknown command \"%1\"; try 'pnv3400ctl --help'").arg(printable(name)));
        m_command = &*found;
        return std::nullopt;
    }

    // The command's own options, with the global ones allowed among them;
    // those the command has no use for are accepted but not offered in its help.
    std::optional<Result> parseCommandOptions()
    {
        const Command &command = *m_command;
        for (QCommandLineOption *global : {&m_commandGlobals.encoder, &m_commandGlobals.library, &m_commandGlobals.verbose})
            if (command.ignores.contains(global->names().first()))
                global->setFlags(QCommandLineOption::HiddenFromHelp);
        m_sub.setApplicationDescription(command.descriptionText);
        m_sub.addPositionalArgument(command.name, command.summaryText, (command.name + u' ' + command.arguments).trimmed());
        m_sub.addHelpOption();
        m_commandGlobals.addTo(m_sub);
        m_sub.addOptions(command.options);
        if (!m_sub.parse(QStringList{m_arguments.first()} + m_rest))
            return Result::usage(QStringLiteral("%1: %2").arg(printable(command.name), printable(m_sub.errorText())));
        if (m_sub.isSet(QStringLiteral("help"))) {
            Output::printText(m_sub.helpText());
            return Result();
        }
        const QStringList positional = m_sub.positionalArguments();
        if (positional.size() < command.minPositional || positional.size() > command.maxPositional)
            return Result::usage(
                QStringLiteral("%1: %2").arg(command.name, missingOrUnexpected(positional, command.minPositional)));
        return std::nullopt;
    }

    // An option given twice is a mistake in a script, not a choice of the last.
    std::optional<Result> refuseRepeats()
    {
        const auto twice = [this](const QString &option) {
            return Result::usage(QStringLiteral("%1: --%2 is given more than once").arg(m_command->name, option));
        };
        for (const QCommandLineParser *given : {&m_parser, &m_sub})
            for (const QString &option : given->optionNames())
                if (given->values(option).size() > 1)
                    return twice(option);
        for (const QString &option : {QStringLiteral("encoder"), QStringLiteral("library")})
            if (m_parser.isSet(option) && m_sub.isSet(option))
                return twice(option);
        return std::nullopt;
    }

    std::optional<Result> readGlobals()
    {
        const auto given = [this](const QCommandLineOption GlobalOptions::*option) {
            return m_sub.isSet(m_commandGlobals.*option) || m_parser.isSet(m_programOptions.*option);
        };
        const auto value = [this](const QCommandLineOption GlobalOptions::*option) {
            return m_sub.isSet(m_commandGlobals.*option) ? m_sub.value(m_commandGlobals.*option)
                                                         : m_parser.value(m_programOptions.*option);
        };
        m_globalsRead = true;
        m_globals.json = given(&GlobalOptions::json);
        m_globals.verbose = given(&GlobalOptions::verbose);
        m_output.setJson(m_globals.json);
        // An empty --encoder is no encoder at all, never the factory default: a
        // script with an unset variable must not configure some other device.
        if (given(&GlobalOptions::encoder)) {
            const QString text = value(&GlobalOptions::encoder);
            const auto encoder = parseEncoderAddress(text);
            if (!encoder)
                return Result::usage(QStringLiteral("--encoder \"%1\" is not ADDRESS[:PORT] (dotted address, port 1 to 65535)")
                                         .arg(printable(text)));
            m_globals.encoder = *encoder;
        }
        if (given(&GlobalOptions::library)) {
            const QString library = value(&GlobalOptions::library);
            if (library.isEmpty())
                return Result::usage(QStringLiteral("--library needs the path of the device library"));
            qputenv("TESSALIN_LIBRARY", QFile::encodeName(library));   // workers inherit it
        }
        return std::nullopt;
    }

    const Program &m_program;
    const QStringList &m_arguments;
    Output m_output;
    const GlobalOptions m_programOptions;
    GlobalOptions m_commandGlobals;
    QCommandLineParser m_parser;
    QCommandLineParser m_sub;
    QStringList m_rest;
    const Command *m_command = nullptr;
    Globals m_globals;
    bool m_globalsRead = false;
};

} // namespace

int runCommandLine(const Program &program, const QStringList &arguments)
{
    return CommandLineRun(program, arguments).run();
}

} // namespace pnv::ctl
