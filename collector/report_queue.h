// Between the HTTP front and the store: the reports that were answered and
// wait to be stored, and the one writer thread that stores them.
//
// The front pushes every report it accepts and answers at once; the writer
// takes whatever has queued and stores it in one transaction, at most every
// STORE_INTERVAL, so that the store sees few, large transactions. A store
// that fails (StoreError) is tried again; meanwhile reports keep queueing
// up to MAX_QUEUED_REPORTS, beyond which the front refuses them as busy.
#ifndef LV_COLLECTOR_REPORT_QUEUE_H
#define LV_COLLECTOR_REPORT_QUEUE_H

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "collector/store.h"

namespace lvcollect {

using Clock = std::chrono::steady_clock;

// Reports answered but not yet stored (about 1.3 KB each). At the limit the
// store has stalled for seconds of full load: further reports get 503.
constexpr std::size_t MAX_QUEUED_REPORTS = 200000;

// The upper bounds of the store-batch time histogram, in seconds.
constexpr std::array<double, 9> BATCH_SECONDS_BOUNDS = {0.001, 0.0025, 0.005, 0.01, 0.025,
                                                        0.05, 0.1, 0.5, 2.5};

// What the writer has done and what waits, taken at one moment.
struct QueueFigures {
    std::size_t waiting = 0;           // queued or in the batch being stored
    double oldestWaitingSeconds = 0;   // 0 when nothing waits
    std::size_t longest = 0;           // the most that ever waited at once
    std::uint64_t storedReports = 0;   // valid reports in committed batches
    std::uint64_t storedMalformed = 0;
    std::uint64_t lost = 0;            // answered, but the store refused them at exit
    std::uint64_t batches = 0;         // committed
    std::uint64_t storeFailures = 0;   // attempts that threw StoreError
    double batchSecondsSum = 0;
    std::array<std::uint64_t, BATCH_SECONDS_BOUNDS.size()> batchesAtMost{};   // cumulative
};

class ReportQueue {
public:
    // False when MAX_QUEUED_REPORTS wait already.
    bool Push(Received&& received);

    // Runs the writer until Close() and an empty queue; call it on its own
    // thread. At exit (Close) a failing store is tried STORE_ATTEMPTS_AT_EXIT
    // times before its batch is given up and counted as lost.
    void RunWriter(ReportStore& store);

    void Close();

    QueueFigures Figures();

private:
    // Moves every queued report to the end of *batch, when `wait` after
    // waiting for one; false once the queue is closed and empty.
    bool Take(std::vector<Received>* batch, bool wait);
    void Stored(const std::vector<Received>& batch, Clock::duration took);
    void Failed(bool givenUp, std::size_t count);

    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Received> pending_;
    Clock::time_point pendingSince_;   // when the oldest queued report came
    std::size_t inBatch_ = 0;          // taken by the writer, not yet stored
    Clock::time_point batchSince_;
    bool closed_ = false;
    QueueFigures figures_;
};

}  // namespace lvcollect

#endif
