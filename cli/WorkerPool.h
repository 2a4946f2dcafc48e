#pragma once
// Runs pnv3400ctl itself in worker processes, up to N at once. The device
// library holds one link per process, so every link needs a process of its
// own. Workers run in their own process group: a Ctrl+C at the terminal
// reaches only this process, which then starts no new worker and lets the
// running ones finish, so that a write is never cut in the middle.

#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <functional>
#include <vector>

namespace pnv::ctl {

class WorkerPool final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WorkerPool)

public:
    struct Result {
        int index = 0;
        int exitCode = -1;        // -1: the worker crashed or could not start
        QList<QJsonObject> lines; // the JSON objects the worker printed, in order
        QString problem;          // why there is no usable output, if so
    };

    WorkerPool(QString program, int jobs, QObject *parent = nullptr);

    void setEnvironment(const QProcessEnvironment &environment) { m_environment = environment; }
    // A worker's report carries its message; its stderr is wanted only with --verbose.
    void setForwardErrors(bool forward) { m_forwardErrors = forward; }
    // Runs every argument list; calls `done` for each as it ends, in the order
    // they end. Returns when all started workers have ended.
    void run(const std::vector<QStringList> &argumentLists, const std::function<void(const Result &)> &done);
    // Starts no new worker; the running ones finish.
    void stop() { m_stopping = true; }
    int started() const { return m_next; }

signals:
    void allEnded();

private:
    void startNext();

    QString m_program;
    int m_jobs = 1;
    QProcessEnvironment m_environment = QProcessEnvironment::systemEnvironment();
    const std::vector<QStringList> *m_lists = nullptr;
    std::function<void(const Result &)> m_done;
    int m_next = 0;
    int m_running = 0;
    bool m_stopping = false;
    bool m_forwardErrors = false;
};

} // namespace pnv::ctl
