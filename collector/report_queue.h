// Between the HTTP front and the store: the reports that wait to be stored
// and answered, and the one writer thread that stores them.
//
// The front pushes every report it accepts with what to do once it is
// stored; the answer goes out only then, so that an answered report is a
// stored one, whatever becomes of the process afterwards. The writer stores
// whatever has queued in one transaction as soon as it is free (group
// commit): under load a transaction carries every report that came while
// the last one committed, and no report waits for a commit of its own. A
// store that fails (StoreError) is tried again; meanwhile reports keep
// queueing up to MAX_QUEUED_REPORTS, beyond which the front refuses them as
// busy.
#ifndef LV_COLLECTOR_REPORT_QUEUE_H
#define LV_COLLECTOR_REPORT_QUEUE_H

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "collector/store.h"

namespace lvcollect {

using Clock = std::chrono::steady_clock;

// Reports waiting to be stored (about 1.3 KB each). At the limit the store
// has stalled for seconds of full load: further reports get 503.
constexpr std::size_t MAX_QUEUED_REPORTS = 200000;

// The upper bounds of the store-batch time histograms, in seconds.
// A commit on a local disk takes tenths of a millisecond.
constexpr std::array<double, 12> BATCH_SECONDS_BOUNDS = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                         0.01, 0.025, 0.05, 0.1, 0.5, 2.5};

// Told, on the writer's thread, whether the report was stored (false: it was
// given up at exit). It must only hand that on, to where the answer is sent.
using StoredCallback = std::function<void(bool stored)>;

// What the writer has done and what waits, taken at one moment.
struct QueueFigures {
    std::size_t waiting = 0;           // queued or in the batch being stored
    double oldestWaitingSeconds = 0;   // 0 when nothing waits
    std::size_t longest = 0;           // the most that ever waited at once
    std::uint64_t storedReports = 0;   // valid reports in committed batches
    std::uint64_t storedMalformed = 0;
    std::uint64_t lost = 0;            // the store refused them at exit; never answered
    std::uint64_t batches = 0;         // committed
    std::uint64_t storeFailures = 0;   // attempts that threw StoreError
    std::uint64_t inSpool = 0;         // stored in the spool, not yet in the database
    double batchSecondsSum = 0;
    std::array<std::uint64_t, BATCH_SECONDS_BOUNDS.size()> batchesAtMost{};   // cumulative
    // From the arrival of a batch's first report to its commit: how long an
    // answer waited at most, batch by batch.
    double waitSecondsSum = 0;
    std::array<std::uint64_t, BATCH_SECONDS_BOUNDS.size()> waitsAtMost{};   // cumulative
};

class ReportQueue {
public:
    ReportQueue();

    // False when MAX_QUEUED_REPORTS wait already; then `stored` is dropped
    // uncalled.
    bool Push(Received&& received, StoredCallback stored);

    // Runs the writer until Close() and an empty queue; call it on its own
    // thread. Once Closing(), a failing store is tried STORE_ATTEMPTS_AT_EXIT
    // times before its batch is given up and counted as lost. `upkeep` runs
    // after each batch and, while no report comes, once a second; when it
    // says more is waiting, it runs again as soon as the queue is empty.
    void RunWriter(ReportStore& store, const std::function<bool()>& upkeep = {});

    // The server stops: reports still come from requests under way, but a
    // failing store is no longer waited for without end.
    void Closing();
    // No more reports will come.
    void Close();

    QueueFigures Figures();

private:
    // Moves every queued report to *batch, after waiting for one; false
    // once the queue is closed and empty.
    // Waits at most `wait`: false with an empty batch then.
    bool Take(std::vector<Received>* batch, std::vector<StoredCallback>* callbacks, Clock::duration wait);
    void Stored(const std::vector<Received>& batch, Clock::duration took);
    void Failed(bool givenUp, std::size_t count);
    bool IsClosing();

    const std::string source_;   // this writer's batch names
    std::atomic<ReportStore*> store_{nullptr};   // the writer's, once it runs
    std::int64_t batches_ = 0;

    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Received> pending_;
    std::vector<StoredCallback> pendingCallbacks_;
    Clock::time_point pendingSince_;   // when the oldest queued report came
    std::size_t inBatch_ = 0;          // taken by the writer, not yet stored
    Clock::time_point batchSince_;
    bool closing_ = false;
    bool closed_ = false;
    QueueFigures figures_;
};

}  // namespace lvcollect

#endif
