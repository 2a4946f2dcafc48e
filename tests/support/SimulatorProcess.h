#pragma once
// Runs pnv3400-sim (from $PNV_BIN_DIR) for the length of a test: one encoder,
// or a fleet of them on consecutive addresses.
//
//   pnv::test::SimulatorProcess sim;          // 127.0.0.1, a free port, a fresh state file
//   QVERIFY2(sim.start(), qPrintable(sim.errorString()));
//   S_Connect("127.0.0.1", 14, sim.port());
//   QCOMPARE(sim.stateValue("gateway"), "172.16.0.1");
//
// start() waits, bounded, for the simulator's "listening on ADDRESS:PORT"
// line (one per encoder), so the port is known without guessing or racing.
// A fleet first has its addresses put on the loopback device by
// scripts/fleet-addresses.sh (from $PNV_SOURCE_DIR), which refuses to run
// outside the sealed network namespace. State files live in a temporary
// folder owned by this object unless Options::statePath names one. The
// destructor stops the simulator with SIGTERM, and kills it if it has not
// ended within 5 s.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <utility>

namespace pnv::test {

class SimulatorProcess final {
public:
    struct Options {
        QString listen = QStringLiteral("127.0.0.1");   // with a fleet, its first address
        int port = 0;                // 0: any free port (3001 for a fleet); -1: the port stored in the state
        QString statePath;           // empty: encoder.state in this object's temporary folder
        QStringList faults;          // one --fault per entry, e.g. "delay:500"
        QStringList extraArguments;  // e.g. "--factory-reset", "--mac", "02:00:00:00:00:01"
        int fleet = 0;               // more than 0: that many encoders, state files in stateDir()
        int batch = 0;               // more than 0: that many, one after another at `listen`, state files in stateDir()
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

    // Starts the simulator and waits for every encoder to listen. False with errorString() otherwise.
    bool start(int timeoutMs = 20000)
    {
        m_error.clear();
        m_port = 0;
        m_stdout.clear();
        m_listening.clear();
        QStringList arguments{QStringLiteral("--listen"), m_options.listen};
        if (m_options.fleet > 0) {
            if (!addFleetAddresses())
                return false;
            arguments << QStringLiteral("--fleet") << QString::number(m_options.fleet) << QStringLiteral("--state-dir")
                      << stateDir() << QStringLiteral("--port") << QString::number(m_options.port > 0 ? m_options.port : 3001);
        } else if (m_options.batch > 0) {
            arguments << QStringLiteral("--batch") << QString::number(m_options.batch) << QStringLiteral("--state-dir")
                      << stateDir() << QStringLiteral("--port") << QString::number(m_options.port > 0 ? m_options.port : 3001);
        } else {
            arguments << QStringLiteral("--state") << statePath();
            if (m_options.port >= 0)
                arguments << QStringLiteral("--port") << QString::number(m_options.port);
        }
        for (const QString &fault : m_options.faults)
            arguments << QStringLiteral("--fault") << fault;
        arguments << m_options.extraArguments;
        m_process.setArguments(arguments);
        m_process.start();
        if (!m_process.waitForStarted(timeoutMs)) {
            m_error = QStringLiteral("cannot start %1: %2").arg(programPath(), m_process.errorString());
            return false;
        }
        const int encoders = qMax(1, m_options.fleet);
        const QDeadlineTimer deadline(timeoutMs);
        static const QRegularExpression listening(QStringLiteral("^listening on (.+):(\\d+)$"));
        // The same readiness rule as pnvtest.py and sim.sh: only "listening on" lines count.
        while (m_listening.size() < encoders && m_process.state() == QProcess::Running && !deadline.hasExpired()) {
            m_process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
            m_stdout += m_process.readAllStandardOutput();
            m_listening.clear();
            for (const QString &line : QString::fromLocal8Bit(m_stdout).split(u'\n', Qt::SkipEmptyParts))
                if (listening.match(line).hasMatch())
                    m_listening << line;
        }
        if (m_listening.size() != encoders) {
            m_error = QStringLiteral("the simulator did not report listening (%1): %2")
                          .arg(m_process.state() == QProcess::Running ? QStringLiteral("still running")
                                                                      : QStringLiteral("exited"),
                               QString::fromLocal8Bit(log()));
            kill();
            return false;
        }
        const auto first = listening.match(m_listening.first());
        m_listenAddress = first.captured(1);
        m_port = static_cast<quint16>(first.captured(2).toUInt());
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
    QString listenAddress() const { return m_listenAddress; }   // the first encoder's
    // The "listening on ADDRESS:PORT" lines, one per encoder, in order.
    QStringList listening() const { return m_listening; }
    // The state file of the encoder, or of the fleet's encoder at `address`.
    QString statePath(const QString &address = QString()) const
    {
        if (m_options.fleet > 0)
            return stateDir() + u'/' + (address.isEmpty() ? m_listenAddress : address) + QStringLiteral(".state");
        return m_options.statePath.isEmpty() ? m_stateDir.filePath(QStringLiteral("encoder.state"))
                                             : m_options.statePath;
    }
    QString stateDir() const { return m_stateDir.filePath(QStringLiteral("states")); }
    // The state file of a batch's encoder, from 1.
    QString batchStatePath(int index) const { return stateDir() + QStringLiteral("/encoder-%1.state").arg(index); }
    // What the next start() uses: a restart may change the faults, as an installer reconnecting an encoder would.
    Options &options() { return m_options; }
    // The value of "KEY = VALUE" in that state file; empty when there is none.
    QString stateValue(const QString &key, const QString &address = QString()) const
    {
        return valueIn(statePath(address), key);
    }
    // The value of "KEY = VALUE" in the state file at `path`; empty when there is none.
    static QString valueIn(const QString &path, const QString &key)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        static const QRegularExpression separator(QStringLiteral("\\s*=\\s*"));
        for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n')) {
            const QStringList parts = line.split(separator);
            if (parts.size() == 2 && parts[0] == key)
                return parts[1].trimmed();
        }
        return {};
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
    bool addFleetAddresses()
    {
        QProcess script;
        script.setProcessChannelMode(QProcess::MergedChannels);
        script.start(QStringLiteral("bash"), {qEnvironmentVariable("PNV_SOURCE_DIR") + QStringLiteral("/scripts/fleet-addresses.sh"),
                                              m_options.listen, QString::number(m_options.fleet)});
        if (script.waitForFinished(10000) && script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0)
            return true;
        m_error = QStringLiteral("fleet-addresses.sh: ") + QString::fromLocal8Bit(script.readAll());
        return false;
    }

    Options m_options;
    QTemporaryDir m_stateDir;
    QProcess m_process;
    QByteArray m_stdout;
    QStringList m_listening;
    QString m_listenAddress;
    QString m_error;
    quint16 m_port = 0;
};

} // namespace pnv::test
