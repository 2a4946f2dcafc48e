#include "CommandLine.h"

#include <QCommandLineParser>

#ifndef PNV_VERSION
#error "PNV_VERSION must name the project's version"
#endif

namespace pnv {
namespace {

// The options that QGuiApplication, QApplication and the xcb platform take
// out of argv themselves. They are declared so that the parser lets them
// through to Qt; --help leaves them out, --help-all lists them.
struct QtOption {
    const char *name;
    const char *valueName;   // null: takes no value
    const char *description;
};
constexpr QtOption kQtOptions[] = {
    {"platform", "name", "The platform plugin: xcb, wayland, offscreen, ..."},
    {"platformpluginpath", "path", "Where to look for platform plugins."},
    {"platformtheme", "name", "The platform theme."},
    {"plugin", "name", "A further plugin to load, such as an input device."},
    {"qmljsdebugger", "value", "The QML/JS debugger's settings."},
    {"qwindowgeometry", "geometry", "The main window's geometry, as WIDTHxHEIGHT+X+Y."},
    {"qwindowicon", "file", "The main window's icon."},
    {"qwindowtitle", "title", "The main window's title."},
    {"reverse", nullptr, "Right-to-left layout."},
    {"session", "name", "The session to restore."},
    {"display", "name", "The X display (xcb)."},
    {"geometry", "geometry", "As -qwindowgeometry (xcb)."},
    {"title", "title", "As -qwindowtitle (xcb)."},
    {"icon", "file", "As -qwindowicon (xcb)."},
    {"name", "name", "The application's name for the window system (xcb)."},
    {"sync", nullptr, "Synchronous X calls, for debugging (xcb)."},
    {"nograb", nullptr, "Never grab the mouse or the keyboard."},
    {"dograb", nullptr, "Grab even when running under a debugger."},
    {"style", "style", "The widget style, such as Fusion or Windows; it wins over the window's own."},
    {"stylesheet", "file", "A style sheet for the whole application."},
    {"widgetcount", nullptr, "Print how many widgets were left at exit."},
};

} // namespace

// The parser for the utility's options and Qt's; Qt's are listed only when
// `listQtOptions` is true.
static void declareOptions(QCommandLineParser &parser, bool listQtOptions)
{
    // Qt's own options are single-dash words ("-platform offscreen").
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("PNV-3400 Set-up Utility: reads and writes the network configuration of a PNV-3400 encoder\n"
                       "through the device library libtessalin.so, looked for in $TESSALIN_LIBRARY, next to the\n"
                       "program, then in the installed private library folder. Qt's own options, such as\n"
                       "-platform and -style, are accepted (--help-all lists them)."));
    parser.addHelpOption();
    parser.addVersionOption();
    for (const QtOption &qt : kQtOptions) {
        QCommandLineOption option(QString::fromLatin1(qt.name), QString::fromLatin1(qt.description));
        if (qt.valueName)
            option.setValueName(QString::fromLatin1(qt.valueName));
        if (!listQtOptions)
            option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

// QCommandLineParser takes the program name for its usage line from the
// application object, which does not exist yet.
static QString usageOf(const QCommandLineParser &parser)
{
    return parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("pnv3400-setup"));
}

CommandLineVerdict judgeCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    declareOptions(parser, false);

    CommandLineVerdict verdict;
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        const QString error = parser.errorText().isEmpty()
            ? QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst())
            : parser.errorText();
        verdict.action = CommandLineVerdict::Action::Exit;
        verdict.exitCode = 2;
        verdict.err = QStringLiteral("pnv3400-setup: %1\n\n%2").arg(error, usageOf(parser));
    } else if (parser.isSet(QStringLiteral("help-all"))) {
        QCommandLineParser all;
        declareOptions(all, true);
        verdict.action = CommandLineVerdict::Action::Exit;
        verdict.out = usageOf(all);
    } else if (parser.isSet(QStringLiteral("help"))) {
        verdict.action = CommandLineVerdict::Action::Exit;
        verdict.out = usageOf(parser);
    } else if (parser.isSet(QStringLiteral("version"))) {
        verdict.action = CommandLineVerdict::Action::Exit;
        verdict.out = QStringLiteral("pnv3400-setup " PNV_VERSION "\n");
    }
    verdict.styleChosen = parser.isSet(QStringLiteral("style"));
    return verdict;
}

} // namespace pnv
