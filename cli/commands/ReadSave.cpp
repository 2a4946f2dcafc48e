// read and save: one read of the encoder, printed or stored.

#include "Shared.h"

#include "Messages.h"
#include "SafeFiles.h"
#include "TextFiles.h"

#include <unistd.h>

namespace pnv::ctl::commands {
namespace {

Result read(const Invocation &call)
{
    return withConfiguration(call.globals, [](const EncoderConfig &config, QJsonObject object) {
        const int prefix = net::prefixLength(config.mask);
        object[QStringLiteral("prefix")] = prefix < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(prefix);
        Result result;
        result.objects << object;
        result.lines << QStringLiteral("mac %1\nip %2\nport %3\ngateway %4\nmask %5")
                            .arg(config.macText(), net::formatDotted(config.ip))
                            .arg(config.port)
                            .arg(net::formatDotted(config.gateway), net::formatDotted(config.mask));
        return result;
    });
}

Result save(const Invocation &call)
{
    const QString path = call.positional.first();
    const Globals &globals = call.globals;
    return withConfiguration(globals, [&globals, &path](const EncoderConfig &config, QJsonObject object) {
        const QByteArray content = formatConfigFile(config, globals.encoder.text());
        // "-" is standard output, and then the file is all that goes there.
        const bool toStdout = path == QLatin1String("-");
        const FileResult saved = toStdout ? writeAll(STDOUT_FILENO, content, QStringLiteral("standard output"))
                                          : replaceFile(path, content);
        if (saved.status == FileResult::Status::Refused)
            return Result::usage(saved.error);
        if (!saved.ok())
            return Result::failure(ExitCode::Encoder, {saved.error + QStringLiteral("; nothing was changed")});
        if (toStdout)
            return Result();
        object[QStringLiteral("file")] = path;
        Result result;
        result.objects << object;
        result.lines << QStringLiteral("%1: saved to %2").arg(globals.encoder.text(), quotedName(path));
        return result;
    });
}

} // namespace

Command readCommand()
{
    return Command(QStringLiteral("read"), read)
        .summary(QStringLiteral("connect, read, disconnect; print the configuration"))
        .description(QStringLiteral("Connect, read, disconnect; print the configuration."));
}

Command saveCommand()
{
    return Command(QStringLiteral("save"), save)
        .takes(QStringLiteral("FILE"), 1, 1)
        .summary(QStringLiteral("read and store the configuration in FILE"))
        .description(QStringLiteral("Read the configuration and store it in FILE (replaced whole or not at all)."));
}

} // namespace pnv::ctl::commands
