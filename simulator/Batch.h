#pragma once
// Encoders fresh from the factory, served one after another at one address
// and port, as an installer commissioning a site connects them: each answers
// until its configuration has been written and its client has let go; then it
// is unplugged (nothing answers) and, a moment later, the next one is plugged
// in. Each has its own state file, DIR/encoder-K.state, and so its own MAC.
// An encoder whose state no longer holds the factory configuration has been
// commissioned already and is not served again, so a restarted simulator goes
// on where the last one stopped.

#include "ClientSession.h"
#include "EncoderDevice.h"
#include "EncoderServer.h"
#include "FaultPlan.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

namespace pnv::sim {

struct BatchOptions {
    QHostAddress address;
    quint16 port = 3001;
    int count = 1;
    QString stateDir;
    FaultPlan faults;   // every encoder meets the same faults, each with its own one-shot ones
    SessionLimits limits;
    bool factoryReset = false;
    int swapMs = 500;   // from one encoder unplugged to the next plugged in
    bool pairs = false; // two at once behind the one address, answering alternate connections
};

class Batch final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Batch)

public:
    static constexpr int kMaxEncoders = 4096;
    static constexpr int kMaxSwapMs = 60000;

    explicit Batch(QObject *parent = nullptr);
    ~Batch() override;

    // Prepares every state file and plugs in the first encoder still fresh
    // from the factory. Returns an error text, empty on success.
    QString start(const BatchOptions &options);
    // "ADDRESS:PORT" the encoders answer at.
    QString listening() const;
    static QString statePath(const QString &stateDir, int index);   // index from 1

private:
    QString plugIn();
    // The next encoder still fresh from the factory, from m_index on; null when none is left.
    std::unique_ptr<EncoderDevice> nextFresh(QString &error);
    void unplug();
    void sessionsEnded();

    BatchOptions m_options;
    int m_index = 0;   // the encoder plugged in, from 1; 0 before the first
    std::unique_ptr<EncoderDevice> m_device;
    std::unique_ptr<EncoderDevice> m_partner;   // with pairs: the second one plugged in beside it
    EncoderServer *m_server = nullptr;
    bool m_written = false;
    QTimer m_swap;
};

} // namespace pnv::sim
