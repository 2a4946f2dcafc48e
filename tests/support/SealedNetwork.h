#pragma once
// Tests may reach the encoder's factory address only inside the private
// network namespace that scripts/test.sh creates, where 172.16.30.1 sits on
// the namespace's own loopback. This tells whether we are in such a place.

#include <QByteArray>

#include <unistd.h>

namespace pnv::test {

// True in the namespace that scripts/sealed-net.sh made: it names that
// namespace in PNV_SEALED_NETNS, and /proc/self/ns/net names the one this
// process runs in. Neither changes while a test runs, whatever devices other
// tests add (a count of devices would see their veth pairs); a namespace of a
// test's own inside the sealed one is not the sealed one. Never the first
// process's namespace, the machine's own network, whatever the variable says.
inline QByteArray networkNamespaceOf(const char *process)
{
    char link[64] = {};
    const QByteArray path = QByteArray("/proc/") + process + "/ns/net";
    const ssize_t length = ::readlink(path.constData(), link, sizeof link - 1);
    return length > 0 ? QByteArray(link, int(length)) : QByteArray();
}

inline bool inSealedNetwork()
{
    const QByteArray sealed = qgetenv("PNV_SEALED_NETNS");
    return !sealed.isEmpty() && networkNamespaceOf("self") == sealed && networkNamespaceOf("1") != sealed;
}

} // namespace pnv::test

// Skips the running test unless it runs in the sealed namespace.
#define PNV_REQUIRE_SEALED_NETWORK()                                                          \
    do {                                                                                      \
        if (!pnv::test::inSealedNetwork())                                                      \
            QSKIP("needs the sealed network namespace of scripts/test.sh; never run against " \
                  "the real network");                                                        \
    } while (0)
