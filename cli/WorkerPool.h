#pragma once
// Runs the rows of a long command (apply, scan) in at most N worker
// processes of pnv3400ctl itself. The device library holds one link per
// process, so links at once need processes; each worker binds the library
// once and serves row after row (`pnv3400ctl serve`), which matters when
// binding is dear (the Wine bridge starts a Windows host per process). A
// worker that dies fails only the row it was running and is replaced.
// Workers run in their own process group: a Ctrl+C at the terminal reaches
// only this process, which then hands out no new row and lets the running
// ones finish, so that a write is never cut in the middle.

#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace pnv::ctl {

// The line a serving worker prints after each row: {"row-end": EXIT_CODE}.
inline constexpr const char *kRowEndKey = "row-end";

class WorkerPool final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WorkerPool)

public:
    struct Result {
        int index = 0;
        QList<QJsonObject> lines; // the JSON objects the worker printed for the row, in order
        QString problem;          // why there is no usable output, if so
    };

    WorkerPool(QString program, int jobs, QObject *parent = nullptr);

    void setEnvironment(const QProcessEnvironment &environment) { m_environment = environment; }
    // A worker's report carries its message; its stderr is wanted only with --verbose.
    void setForwardErrors(bool forward) { m_forwardErrors = forward; }
    // Runs every argument list (a command line of pnv3400ctl, without the
    // program); calls `done` for each as it ends, in the order they end.
    // Returns when every worker has ended.
    void run(const std::vector<QStringList> &argumentLists, const std::function<void(const Result &)> &done);
    // Asked for a row's arguments as a worker is about to start it, instead
    // of the list given to run(); nothing means "not yet": the worker waits
    // until rowReady() is called.
    void setRowArguments(std::function<std::optional<QStringList>(int index)> arguments)
    {
        m_rowArguments = std::move(arguments);
    }
    // Hands their rows to the workers waiting for their arguments.
    void rowReady();
    // Hands out no new row; the running ones finish.
    void stop()
    {
        m_stopping = true;
        rowReady();
    }
    // Rows handed out so far.
    int started() const { return m_started; }

signals:
    void allEnded();

private:
    struct Worker {
        int index = -1;   // the row it runs, -1 when idle
        bool waiting = false;   // for its row's arguments
        QByteArray pending;   // output after the last whole line
        QList<QJsonObject> lines;
    };

    bool rowsLeft() const { return !m_stopping && m_next < int(m_lists->size()); }
    void startWorker();
    void handOut(QProcess *process);
    void sendRow(QProcess *process);
    void readOutput(QProcess *process);
    void workerEnded(QProcess *process, const QString &problem);

    QString m_program;
    int m_jobs = 1;
    QProcessEnvironment m_environment = QProcessEnvironment::systemEnvironment();
    const std::vector<QStringList> *m_lists = nullptr;
    std::function<void(const Result &)> m_done;
    std::map<QProcess *, Worker> m_workers;
    std::function<std::optional<QStringList>(int index)> m_rowArguments;
    int m_next = 0;
    int m_started = 0;
    bool m_stopping = false;
    bool m_forwardErrors = false;
};

} // namespace pnv::ctl
