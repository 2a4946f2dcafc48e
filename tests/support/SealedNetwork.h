#pragma once
// Tests may reach the encoder's factory address only inside the private
// network namespace that scripts/test.sh creates, where 172.16.30.1 sits on
// the namespace's own loopback. This tells whether we are in such a place.

#include <QFile>
#include <QString>

namespace pnv::test {

// True when the only network device this process can see is the loopback
// device. /proc/self/net/dev follows the process's own network namespace.
inline bool inSealedNetwork()
{
    QFile dev(QStringLiteral("/proc/self/net/dev"));
    if (!dev.open(QIODevice::ReadOnly))
        return false;
    int devices = 0;
    bool loopback = false;
    const QList<QByteArray> lines = dev.readAll().split('\n');
    for (int i = 2; i < lines.size(); ++i) {   // two header lines
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        ++devices;
        if (line.startsWith("lo:"))
            loopback = true;
    }
    return devices == 1 && loopback;
}

} // namespace pnv::test

// Skips the running test unless it runs in the sealed namespace.
#define PNV_REQUIRE_SEALED_NETWORK()                                                          \
    do {                                                                                      \
        if (!pnv::test::inSealedNetwork())                                                      \
            QSKIP("needs the sealed network namespace of scripts/test.sh; never run against " \
                  "the real network");                                                        \
    } while (0)
