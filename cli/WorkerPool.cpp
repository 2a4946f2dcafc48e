#include "WorkerPool.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QSocketNotifier>

#include <unistd.h>

namespace pnv::ctl {

WorkerPool::WorkerPool(QString program, int jobs, QObject *parent)
    : QObject(parent), m_program(std::move(program)), m_jobs(std::max(1, jobs))
{
}

void WorkerPool::run(const std::vector<QStringList> &argumentLists, const std::function<void(const Result &)> &done)
{
    m_lists = &argumentLists;
    m_done = done;
    m_next = 0;
    m_running = 0;
    QEventLoop loop;
    while (m_running < m_jobs && !m_stopping && m_next < int(argumentLists.size()))
        startNext();
    if (m_running == 0)
        return;
    connect(this, &WorkerPool::allEnded, &loop, &QEventLoop::quit);
    loop.exec();
}

void WorkerPool::startNext()
{
    const int index = m_next++;
    auto *process = new QProcess(this);
    process->setProcessEnvironment(m_environment);
    if (m_forwardErrors)
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    else
        process->setStandardErrorFile(QProcess::nullDevice());
    process->setChildProcessModifier([] { ::setpgid(0, 0); });
    ++m_running;
    const auto finish = [this, process, index](int exitCode, const QString &problem) {
        Result result;
        result.index = index;
        result.exitCode = exitCode;
        result.problem = problem;
        for (const QByteArray &line : process->readAllStandardOutput().split('\n')) {
            if (line.trimmed().isEmpty())
                continue;
            const QJsonDocument document = QJsonDocument::fromJson(line);
            if (document.isObject())
                result.lines << document.object();
        }
        if (result.lines.isEmpty() && result.problem.isEmpty())
            result.problem = QStringLiteral("the worker gave no report (exit code %1)").arg(exitCode);
        process->deleteLater();
        --m_running;
        m_done(result);
        if (!m_stopping && m_next < int(m_lists->size()))
            startNext();
        if (m_running == 0)
            emit allEnded();
    };
    connect(process, &QProcess::finished, this, [finish, process](int exitCode, QProcess::ExitStatus status) {
        if (status == QProcess::CrashExit)
            finish(-1, QStringLiteral("the worker crashed (%1)").arg(process->errorString()));
        else
            finish(exitCode, {});
    });
    connect(process, &QProcess::errorOccurred, this, [finish, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish(-1, QStringLiteral("cannot start a worker: %1").arg(process->errorString()));
    });
    process->start(m_program, (*m_lists)[static_cast<std::size_t>(index)]);
}

} // namespace pnv::ctl
