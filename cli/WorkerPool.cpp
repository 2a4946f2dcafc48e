#include "WorkerPool.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>

#include <csignal>
#include <sys/prctl.h>
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
    m_started = 0;
    const int workers = std::min<int>(m_jobs, int(argumentLists.size()));
    for (int i = 0; i < workers && rowsLeft(); ++i)
        startWorker();
    if (m_workers.empty())
        return;
    QEventLoop loop;
    connect(this, &WorkerPool::allEnded, &loop, &QEventLoop::quit);
    loop.exec();
}

void WorkerPool::startWorker()
{
    auto *process = new QProcess(this);
    process->setProcessEnvironment(m_environment);
    if (m_forwardErrors)
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    else
        process->setStandardErrorFile(QProcess::nullDevice());
    // A worker ends with this process however it ends: SIGTERM lets it finish
    // the row under way, and its input then ends. One whose parent is gone
    // before the request took hold ends at once.
    const pid_t parent = ::getpid();
    process->setChildProcessModifier([parent] {
        ::setpgid(0, 0);
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)
            ::_exit(1);
    });
    m_workers[process] = Worker{};
    connect(process, &QProcess::readyReadStandardOutput, this, [this, process] { readOutput(process); });
    connect(process, &QProcess::finished, this, [this, process](int exitCode, QProcess::ExitStatus status) {
        workerEnded(process, status == QProcess::CrashExit
                                 ? QStringLiteral("the worker crashed (%1)").arg(process->errorString())
                                 : QStringLiteral("the worker ended during the row (exit code %1)").arg(exitCode));
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            workerEnded(process, QStringLiteral("cannot start a worker: %1").arg(process->errorString()));
    });
    process->start(m_program, {QStringLiteral("serve")});
    handOut(process);   // written once it runs
}

void WorkerPool::handOut(QProcess *process)
{
    Worker &worker = m_workers[process];
    if (!rowsLeft()) {
        worker.index = -1;
        process->closeWriteChannel();   // the worker ends when its input does
        return;
    }
    worker.index = m_next++;
    worker.lines.clear();
    sendRow(process);
}

void WorkerPool::sendRow(QProcess *process)
{
    Worker &worker = m_workers[process];
    std::optional<QStringList> arguments = m_rowArguments ? m_rowArguments(worker.index)
                                                          : (*m_lists)[static_cast<std::size_t>(worker.index)];
    worker.waiting = !arguments;
    if (worker.waiting)
        return;
    ++m_started;
    process->write(QJsonDocument(QJsonArray::fromStringList(*arguments)).toJson(QJsonDocument::Compact) + '\n');
}

void WorkerPool::rowReady()
{
    for (auto &[process, worker] : m_workers) {
        if (!worker.waiting)
            continue;
        if (m_stopping) {
            // Stopped while it waited: its row is not started.
            worker.waiting = false;
            worker.index = -1;
            process->closeWriteChannel();
            continue;
        }
        sendRow(process);
    }
}

void WorkerPool::readOutput(QProcess *process)
{
    Worker &worker = m_workers[process];
    worker.pending += process->readAllStandardOutput();
    qsizetype end;
    while ((end = worker.pending.indexOf('\n')) >= 0) {
        const QByteArray line = worker.pending.left(end);
        worker.pending.remove(0, end + 1);
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (!document.isObject() || worker.index < 0)
            continue;
        const QJsonObject object = document.object();
        if (!object.contains(QLatin1String(kRowEndKey))) {
            worker.lines << object;
            continue;
        }
        Result result;
        result.index = worker.index;
        result.lines = worker.lines;
        if (result.lines.isEmpty())
            result.problem = QStringLiteral("the worker gave no report (exit code %1)")
                                 .arg(object.value(QLatin1String(kRowEndKey)).toInt(-1));
        m_done(result);
        handOut(process);
    }
}

void WorkerPool::workerEnded(QProcess *process, const QString &problem)
{
    const auto found = m_workers.find(process);
    if (found == m_workers.end())
        return;   // both "finished" and an error came
    readOutput(process);
    if (found->second.index >= 0) {
        Result result;
        result.index = found->second.index;
        result.lines = found->second.lines;
        result.problem = problem;
        m_done(result);
    }
    m_workers.erase(found);
    process->deleteLater();
    // A worker that died is replaced while rows remain; one that could not
    // start has used up its row, so this ends.
    if (rowsLeft())
        startWorker();
    if (m_workers.empty())
        emit allEnded();
}

} // namespace pnv::ctl
