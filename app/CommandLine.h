#pragma once
// The utility's command line, judged before the application object exists:
// --help and --version answer without a display or the device library, and a
// mistyped option stops the program before it touches either.

#include <QString>
#include <QStringList>

namespace pnv {

struct CommandLineVerdict {
    enum class Action { Run, Exit };
    Action action = Action::Run;
    int exitCode = 0;
    QString out;  // for stdout
    QString err;  // for stderr
    // -style was given: Qt applies it, and the window keeps its hands off.
    bool styleChosen = false;
};

// arguments: the program's argv as given, the program's path first.
CommandLineVerdict judgeCommandLine(const QStringList &arguments);

} // namespace pnv
