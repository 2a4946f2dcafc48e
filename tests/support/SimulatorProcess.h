#pragma once
// Runs pnv3400-sim (from $PNV_BIN_DIR) for the length of a test.
//
//   pnv::test::SimulatorProcess sim;          // 127.0.0.1, a free port, a fresh state file
//   QVERIFY2(sim.start(), qPrintable(sim.errorString()));
//   S_Connect("127.0.0.1", 14, sim.port());
//
// start() waits, bounded, for the simulator's "listening on ADDRESS:PORT"
// line, so the port is known without guessing or racing. The state file lives
// in a temporary folder owned by this object unless Options::statePath names
// one. The destructor stops the simulator with SIGTERM, and kills it if it
// has not ended within 5 s.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <utility>

namespace pnv::test {

class SimulatorProcess final {
public:
    struct Options {
        QString listen = QStringLiteral("127.0.0.1");
        int port = 0;                // 0: any free port; -1: the port stored in the state
        QString statePath;           // empty: encoder.state in this object's temporary folder
        QStringList faults;          // one --fault per entry, e.g. "delay:500"
        QStringList extraArguments;  // e.g. "--factory-reset", "--mac", "02:00:00:00:00:01"
    };

    SimulatorProcess() : SimulatorProcess(Options()) {}
    explicit SimulatorProcess(Options options) : m_options(std::move(options))
    {
        m_process.setProgram(programPath());
        // A file, not a pipe: a test blocked in a library call must never
        // leave the simulator stuck on a full stderr pipe.
        m_process.setStandardErrorFile(m_stateDir.filePath(QStringLiteral("simulator.log")), QIODevice::Append);
    }
    ~SimulatorProcess()
    {
        if (!stop())
            kill();
    }
    SimulatorProcess(const SimulatorProcess &) = delete;
    SimulatorProcess &operator=(const SimulatorProcess &) = delete;

    static QString programPath()
    {
        return qEnvironmentVariable("PNV_BIN_DIR") + QStringLiteral("/pnv3400-sim");
    }

    // Starts the simulator and waits for it to listen. False with errorString() otherwise.
    bool start(int timeoutMs = 10000)
    {
        m_error.clear();
        m_port = 0;
        m_stdout.clear();
        QStringList arguments{QStringLiteral("--listen"), m_options.listen, QStringLiteral("--state"), statePath()};
        if (m_options.port >= 0)
            arguments << QStringLiteral("--port") << QString::number(m_options.port);
        for (const QString &fault : m_options.faults)
            arguments << QStringLiteral("--fault") << fault;
        arguments << m_options.extraArguments;
        m_process.setArguments(arguments);
        m_process.start();
        if (!m_process.waitForStarted(timeoutMs)) {
            m_error = QStringLiteral("cannot start %1: %2").arg(programPath(), m_process.errorString());
            return false;
        }
        const QDeadlineTimer deadline(timeoutMs);
        while (!m_stdout.contains('\n') && m_process.state() == QProcess::Running && !deadline.hasExpired()) {
            m_process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
            m_stdout += m_process.readAllStandardOutput();
        }
        const QByteArray line = m_stdout.left(m_stdout.indexOf('\n'));
        const QByteArray prefix("listening on ");
        const qsizetype colon = line.lastIndexOf(':');
        if (!line.startsWith(prefix) || colon < 0) {
            m_error = QStringLiteral("the simulator did not report listening (%1): %2")
                          .arg(m_process.state() == QProcess::Running ? QStringLiteral("still running")
                                                                      : QStringLiteral("exited"),
                               QString::fromLocal8Bit(log()));
            kill();
            return false;
        }
        m_listenAddress = QString::fromLatin1(line.mid(prefix.size(), colon - prefix.size()));
        m_port = static_cast<quint16>(line.mid(colon + 1).toUInt());
        return true;
    }

    // Ends the simulator with SIGTERM; true when it exited with code 0 in time (or was not running).
    bool stop(int timeoutMs = 5000)
    {
        if (m_process.state() == QProcess::NotRunning)
            return true;
        m_process.terminate();
        if (!m_process.waitForFinished(timeoutMs))
            return false;
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

    // SIGKILL, as a power cut would end an encoder.
    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    quint16 port() const { return m_port; }
    QString listenAddress() const { return m_listenAddress; }
    QString statePath() const
    {
        return m_options.statePath.isEmpty() ? m_stateDir.filePath(QStringLiteral("encoder.state"))
                                             : m_options.statePath;
    }
    QString errorString() const { return m_error; }
    // Everything the simulator has written to stderr so far (one line per request).
    QByteArray log() const
    {
        QFile file(m_stateDir.filePath(QStringLiteral("simulator.log")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QProcess &process() { return m_process; }

private:
    Options m_options;
    QTemporaryDir m_stateDir;
    QProcess m_process;
    QByteArray m_stdout;
    QString m_listenAddress;
    QString m_error;
    quint16 m_port = 0;
};

} // namespace pnv::test
