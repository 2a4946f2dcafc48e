#pragma once
// The in-use looks of apply's rows, taken on a thread of their own just
// ahead of the writers: a row's worker is handed a look no older than
// kFreshLookMs (0.8 s) when it starts, never one taken for the whole plan before the
// first write (a device that appears at a row's new address meanwhile would
// be written over). Many rows are probed side by side, as the up-front look
// did, so that the looks cost about what the writes cost, not a probe bound
// per row. How far ahead it looks adapts: further when a writer had to wait
// for a look, less far when looks went stale before their rows started.

#include "AddressProbe.h"

#include <QObject>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace pnv::ctl {

class ProbesAhead final {
public:
    // A look older than this when its row starts is taken again: two probe
    // bounds, so that the writers' own jitter (a durable save, a busy
    // machine) does not send every batch's last rows back to be looked at again.
    static constexpr int kFreshLookMs = 2 * net::kProbeWaitMs;

    struct Look {
        net::ProbeTarget target;
        net::AddressProbe probe;
    };

    // `targets`: per row, the address and port it moves to, or nothing for a
    // row that needs no look. `ready` is called on `context`'s thread when
    // looks have arrived that a waiting row may use; `context` outlives this object.
    ProbesAhead(std::vector<std::optional<net::ProbeTarget>> targets, int jobs, QObject *context,
                std::function<void()> ready);
    ~ProbesAhead();
    ProbesAhead(const ProbesAhead &) = delete;
    ProbesAhead &operator=(const ProbesAhead &) = delete;

    // For a row about to start: its fresh look; or nothing (`*wait` true)
    // while one is under way, after which `ready` is called. A row without a
    // target needs none (`*wait` false, nothing returned).
    std::optional<Look> take(std::size_t row, bool *wait);

private:
    using Clock = std::chrono::steady_clock;
    struct Slot {
        std::optional<net::AddressProbe> probe;
        Clock::time_point at;
        bool queued = false;   // asked for again, or not yet probed
    };

    void probeLoop();
    // Under the lock: the rows to probe next, in row order.
    std::vector<std::size_t> nextBatch();

    std::vector<std::optional<net::ProbeTarget>> m_targets;
    std::vector<Slot> m_slots;
    QObject *m_context = nullptr;   // outlives this object
    std::function<void()> m_ready;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::size_t m_cursor = 0;          // the first row not probed yet
    std::size_t m_taken = 0;           // rows started so far (the highest asked for, plus one)
    std::size_t m_window = 0;          // how many rows past m_taken are probed ahead
    std::size_t m_minimumWindow = 0;
    std::size_t m_batchesDone = 0;
    std::size_t m_resizedAt = std::size_t(-1);   // the batch count when the window last changed
    // The writers' pace, measured between batches: rows started in two probe bounds.
    double m_pace = 0;
    std::size_t m_aheadLimit = std::size_t(-1);
    Clock::time_point m_pacedAt;
    std::size_t m_pacedTaken = 0;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace pnv::ctl
