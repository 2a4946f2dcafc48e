#include "CommandLine.h"

#include <QCommandLineParser>

#ifndef PNV_VERSION
#error "PNV_VERSION must name the project's version"
#endif

namespace pnv {
namespace {

// The options that QGuiApplication, QApplication and the xcb platform take
// out of argv themselves. They are declared so that the parser lets them
// through to Qt, and hidden because Qt documents them, not us.
struct QtOption {
    const char *name;
    bool takesValue;
};
constexpr QtOption kQtOptions[] = {
    {"platform", true},  {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
    {"qmljsdebugger", true}, {"qwindowgeometry", true}, {"qwindowicon", true}, {"qwindowtitle", true},
    {"reverse", false},  {"session", true},            {"display", true},       {"geometry", true},
    {"title", true},     {"icon", true},               {"name", true},          {"sync", false},
    {"nograb", false},   {"dograb", false},            {"style", true},         {"stylesheet", true},
    {"widgetcount", false},
};

} // namespace

CommandLineVerdict judgeCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    // Qt's own options are single-dash words ("-platform offscreen").
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("PNV-3400 Set-up Utility: reads and writes the network configuration of a PNV-3400 encoder\n"
                       "through the device library libtessalin.so, looked for in $TESSALIN_LIBRARY, next to the\n"
                       "program, then in the installed private library folder. Qt's own options, such as\n"
                       "-platform and -style, are accepted."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    for (const QtOption &qt : kQtOptions) {
        QCommandLineOption option(QString::fromLatin1(qt.name));
        if (qt.takesValue)
            option.setValueName(QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    CommandLineVerdict verdict;
    // QCommandLineParser takes the program name for its usage line from the
    // application object, which does not exist yet.
    const QString usage = parser.helpText().replace(QStringLiteral("<executable_name>"),
                                                     QStringLiteral("pnv3400-setup"));
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        const QString error = parser.errorText().isEmpty()
            ? QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst())
            : parser.errorText();
        verdict.action = CommandLineVerdict::Action::Exit;
        verdict.exitCode = 2;
        verdict.err = QStringLiteral("pnv3400-setup: %1\n\n%2").arg(error, usage);
    } else if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        verdict.action = CommandLineVerdict::Action::Exit;
        verdict.out = usage;
    } else if (parser.isSet(version)) {
        verdict.action = CommandLineVerdict::Action::Exit;
        verdict.out = QStringLiteral("pnv3400-setup " PNV_VERSION "\n");
    }
    return verdict;
}

} // namespace pnv
