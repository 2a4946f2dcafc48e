#pragma once
// Misbehaviour on request, for tests and demonstrations (--fault KIND[:ARG]).
// Faults touch the replies to READ and WRITE only; the handshake stays sound
// so that a test can link first and then meet the fault (but for an encoder
// gone after a write, which serves no handshake any more).

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
    bool dropAfterWrite = false;          // drop-after-write  every write stored, then the link dropped unanswered
    std::optional<int> lateWriteMs;       // late-write:MS     every write stored at once, answered after MS
    bool goneAfterWrite = false;          // gone-after-write  the first write stored, then the link dropped and no new one served

    // Adds one --fault value; returns an error text, empty on success.
    QString add(const QString &faultText);
    static QString helpText();
};

} // namespace pnv::sim
