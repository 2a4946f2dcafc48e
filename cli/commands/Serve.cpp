// serve: the worker side of apply and scan.

#include "Shared.h"

#include "StandardStreams.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>
#include <cstdlib>

namespace pnv::ctl::commands {
namespace {

// Serves the command lines read from its input, one JSON array of arguments
// per line, each run as pnv3400ctl would run it, with the device library
// bound once for all of them; after each, the line {"row-end": EXIT_CODE}.
// Ends when its input ends.
Result serve(const Invocation &)
{
    char *line = nullptr;
    std::size_t size = 0;
    ssize_t length;
    while ((length = ::getline(&line, &size, stdin)) > 0) {
        const QJsonArray list = QJsonDocument::fromJson(QByteArray(line, length)).array();
        QStringList arguments{QCoreApplication::applicationFilePath()};
        for (const QJsonValue &argument : list)
            arguments << argument.toString();
        const int code = runCommandLine(program(), arguments);
        Output::printText(QString::fromUtf8(QJsonDocument(QJsonObject{{QLatin1String(kRowEndKey), code}})
                                                .toJson(QJsonDocument::Compact))
                          + u'\n');
        // Whoever handed out the rows no longer hears them: take no more.
        if (pnv::standardOutputFailed())
            break;
    }
    std::free(line);
    return {};
}

} // namespace

Command serveCommand()
{
    return Command(QStringLiteral("serve"), serve)
        .description(QStringLiteral("Used by apply and scan: run the command lines read from the input, one after another."))
        .usedInternally();
}

} // namespace pnv::ctl::commands
