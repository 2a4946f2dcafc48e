#pragma once
// Misbehaviour on request, for tests and demonstrations (--fault KIND[:ARG]).
// Faults touch the replies to READ and WRITE only; the handshake stays sound
// so that a test can link first and then meet the fault.

#include <QString>
#include <QStringList>
#include <optional>

namespace pnv::sim {

struct FaultPlan {
    bool noReply = false;                 // no-reply
    int delayMs = 0;                      // delay:MS
    std::optional<int> cutAfter;          // cut:N      send N bytes, then nothing more
    std::optional<int> closeAfter;        // close:N    send N bytes, then close
    bool badChecksum = false;             // bad-checksum
    bool wrongSequence = false;           // wrong-sequence
    std::optional<int> nextReadStatus;    // read-status:CODE   the next read only
    std::optional<int> nextWriteStatus;   // write-status:CODE  the next write only, nothing stored
    bool verifyFail = false;              // verify-fail  every write reads back differently, nothing stored
    bool loseWrite = false;               // lose-write   every write acknowledged and echoed, nothing stored

    // Adds one --fault value; returns an error text, empty on success.
    QString add(const QString &faultText);
    static QString helpText();
};

} // namespace pnv::sim
