#pragma once
// One commission per factory address at a time on this computer and in this
// network namespace, whatever its plan or journal: two runs on one bench
// would each give their rows to the same encoders. The lock is an abstract
// Unix socket named after the address, which belongs to the network namespace
// and goes with the process however it ends; a second run that finds it
// taken asks the holder which plan it runs.

#include "EncoderAddress.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QSocketNotifier;

namespace pnv::ctl {

class BenchLock final {
public:
    BenchLock();
    ~BenchLock();
    BenchLock(const BenchLock &) = delete;
    BenchLock &operator=(const BenchLock &) = delete;

    // Takes the lock for `encoder`, saying `planPath` to whoever asks; an
    // empty text, or why not (naming the holder's process and plan).
    QString take(const EncoderAddress &encoder, const QString &planPath);

private:
    void answer();

    int m_fd = -1;
    QByteArray m_about;   // "PID\nPLAN\n"
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace pnv::ctl
