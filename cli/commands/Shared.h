#pragma once
// What several commands share: their options, the device library bound once
// per process, the read that most of them start with, and the worker pool of
// the long commands.

#include "CommandTable.h"
#include "SignalWatch.h"
#include "WorkerPool.h"
#include "WriteFlow.h"

#include <QCommandLineOption>

#include <functional>
#include <optional>

namespace pnv::ctl::commands {

// An option that only pnv3400ctl gives itself: accepted, never offered in help.
inline QCommandLineOption hidden(QCommandLineOption option)
{
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    return option;
}

struct Options {
    QCommandLineOption ip{QStringLiteral("ip"), QStringLiteral("New encoder address."), QStringLiteral("A")};
    QCommandLineOption port{QStringLiteral("port"), QStringLiteral("New encoder port."), QStringLiteral("P")};
    QCommandLineOption gateway{QStringLiteral("gateway"), QStringLiteral("New default gateway (0.0.0.0: none)."),
                               QStringLiteral("G")};
    QCommandLineOption mask{QStringLiteral("mask"), QStringLiteral("New subnet mask."), QStringLiteral("M")};
    QCommandLineOption dryRun{QStringLiteral("dry-run"),
                              QStringLiteral("Read and check, say what would be written; write nothing.")};
    QCommandLineOption force{QStringLiteral("force"),
                             QStringLiteral("Skip the address rules (never the syntax); the encoder may still refuse.")};
    QCommandLineOption allowInUse{QStringLiteral("allow-in-use"),
                                  QStringLiteral("Write a new ip even where something answers already; the rules still apply.")};
    // From apply to its workers: the in-use check of the row's new address,
    // made by apply for the whole plan at once, as JSON.
    QCommandLineOption probed = hidden({QStringLiteral("probed"), QStringLiteral("Used by apply."), QStringLiteral("JSON")});
    QCommandLineOption timeLimit{QStringLiteral("time-limit"),
                                 QStringLiteral("Start no row after SECONDS (1 to 86400); rows under way finish."),
                                 QStringLiteral("SECONDS")};
    QCommandLineOption jobs{QStringLiteral("jobs"), QStringLiteral("Worker processes at once."), QStringLiteral("N")};
    QCommandLineOption scanPort{QStringLiteral("port"), QStringLiteral("Port to try (default 3001)."),
                                QStringLiteral("P"), QStringLiteral("3001")};
    QCommandLineOption timeout{QStringLiteral("timeout"),
                               QStringLiteral("Milliseconds each library call may take (default 500)."),
                               QStringLiteral("MS"), QStringLiteral("500")};

    QList<QCommandLineOption> fields() const { return {ip, port, gateway, mask}; }

};
const Options &options();

// The fields given as options; those not given stay null.
net::FieldTexts fieldTexts(const Invocation &call);
WriteOptions writeOptions(const Invocation &call);

// An in-use check's result as apply hands it to a worker, and back.
QString probeText(const net::ProbeTarget &target, const net::AddressProbe &probe);
std::optional<std::pair<net::ProbeTarget, net::AddressProbe>> probeFromText(const QString &text);

// Decimal digits only, no sign, blank or leading zero, from `minimum` to `maximum`.
std::optional<int> strictNumber(const QString &text, int minimum, int maximum);

// --jobs, or `fallback` without it; nothing when it is out of range.
std::optional<int> jobsValue(const Invocation &call, int fallback);
extern const QString kJobsRange;

// The whole of FILE ("-": standard input) up to `limit`, or the usage error
// that it cannot be read.
std::optional<QByteArray> readWholeFile(const QString &path, qint64 limit, Result &failure);

// The device library for one command; its link is closed at the end, as the
// exit button does. --library behaves as TESSALIN_LIBRARY.
class LibraryUse final {
public:
    // A use that only checks the library binds: through the Wine bridge, no
    // host starts for it.
    enum class Purpose { Calls, CheckOnly };
    explicit LibraryUse(bool verbose, Purpose purpose = Purpose::Calls);
    ~LibraryUse();
    LibraryUse(const LibraryUse &) = delete;
    LibraryUse &operator=(const LibraryUse &) = delete;

    const pnv::TessalinApi *api() const { return m_loaded.library ? &m_loaded.library->api() : nullptr; }
    Result failure() const;

private:
    bool m_verbose = false;
    pnv::TessalinLibrary::LoadResult m_loaded;
};

// The library of a command that talks to one encoder, bound on first use and
// kept until releaseLibrary(), which main calls once the result is printed.
const LibraryUse &boundLibrary(bool verbose);
void releaseLibrary();

// Binds the library, reads the encoder and hands its configuration on, with
// its JSON form; or the result of what failed on the way.
Result withConfiguration(const Globals &globals, const std::function<Result(const EncoderConfig &, QJsonObject)> &use);

// The global options a worker runs with, for one encoder.
QStringList workerArguments(const Globals &globals, const EncoderAddress &encoder);

// A pool of workers that stops starting new ones on SIGINT or SIGTERM.
struct Workers {
    Workers(const Globals &globals, int jobs);
    WorkerPool pool;
    pnv::SignalWatch interrupts;
};

QString secondsText(double seconds);

// What write, apply and the program's help say about a new address.
extern const QString kNewAddressNote;

} // namespace pnv::ctl::commands
