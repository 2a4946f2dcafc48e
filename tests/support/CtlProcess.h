#pragma once
// Runs pnv3400ctl (from $PNV_BIN_DIR) to its end, bounded, and small file
// helpers the tests around it share.

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>

namespace pnv::test {

struct CtlRun {
    int exitCode = -1;   // -1: crashed or killed at the time-out
    QByteArray out, err;
    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
    QList<QJsonObject> jsonLines() const
    {
        QList<QJsonObject> lines;
        for (const QByteArray &line : out.split('\n'))
            if (!line.isEmpty())
                lines << QJsonDocument::fromJson(line).object();
        return lines;
    }
};

inline QString ctlPath() { return qEnvironmentVariable("PNV_BIN_DIR") + QStringLiteral("/pnv3400ctl"); }

// The test's own environment with one variable set.
inline QProcessEnvironment environmentWith(const QString &name, const QString &value)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(name, value);
    return environment;
}

inline CtlRun runProgram(const QString &program, const QStringList &arguments,
                         const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                         int timeoutMs = 30000)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    CtlRun run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        run.err = program.toUtf8() + " did not end within " + QByteArray::number(timeoutMs / 1000) + " s";
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

inline CtlRun runCtl(const QStringList &arguments,
                     const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                     int timeoutMs = 30000)
{
    return runProgram(ctlPath(), arguments, environment, timeoutMs);
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &bytes, QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile file(path);
    return file.open(mode) && file.write(bytes) == bytes.size();
}

} // namespace pnv::test
