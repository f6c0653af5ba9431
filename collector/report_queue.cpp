#include "collector/report_queue.h"

#include <cstdio>
#include <iterator>
#include <thread>
#include <utility>

namespace lvcollect {
namespace {

constexpr Clock::duration STORE_RETRY_PAUSE = std::chrono::seconds(1);
// The writer stores at most this often, so that under load a transaction
// carries hundreds of reports instead of a few.
constexpr Clock::duration STORE_INTERVAL = std::chrono::milliseconds(20);
constexpr int STORE_ATTEMPTS_AT_EXIT = 5;
// A batch that grew past this many reports (the store stalled for a
// moment) gives its memory back once stored.
constexpr std::size_t KEPT_BATCH_CAPACITY = 4096;

double Seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

}  // namespace

bool ReportQueue::Push(Received&& received)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.size() >= MAX_QUEUED_REPORTS)
            return false;
        if (pending_.empty())
            pendingSince_ = Clock::now();
        pending_.push_back(std::move(received));
        figures_.longest = std::max(figures_.longest, pending_.size() + inBatch_);
    }
    ready_.notify_one();
    return true;
}

bool ReportQueue::Take(std::vector<Received>* batch, bool wait)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (wait)
        ready_.wait(lock, [this] { return !pending_.empty() || closed_; });
    if (pending_.empty())
        return !closed_;
    if (batch->empty()) {
        batch->swap(pending_);
        batchSince_ = pendingSince_;
    } else {
        std::move(pending_.begin(), pending_.end(), std::back_inserter(*batch));
        pending_.clear();
    }
    inBatch_ = batch->size();
    return true;
}

void ReportQueue::Stored(const std::vector<Received>& batch, Clock::duration took)
{
    std::size_t valid = 0;
    for (const Received& received : batch)
        valid += received.parsed.valid;
    std::lock_guard<std::mutex> lock(mutex_);
    inBatch_ = 0;
    figures_.storedReports += valid;
    figures_.storedMalformed += batch.size() - valid;
    ++figures_.batches;
    figures_.batchSecondsSum += Seconds(took);
    for (std::size_t i = 0; i < BATCH_SECONDS_BOUNDS.size(); ++i)
        figures_.batchesAtMost[i] += Seconds(took) <= BATCH_SECONDS_BOUNDS[i];
}

void ReportQueue::Failed(bool givenUp, std::size_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++figures_.storeFailures;
    if (givenUp) {
        inBatch_ = 0;
        figures_.lost += count;
    }
}

void ReportQueue::RunWriter(ReportStore& store)
{
    std::vector<Received> batch;
    Clock::time_point lastStore = Clock::now() - STORE_INTERVAL;
    while (Take(&batch, true)) {
        bool closing;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing = closed_;
        }
        if (!closing) {
            // Let more reports gather; they are answered meanwhile.
            std::this_thread::sleep_until(lastStore + STORE_INTERVAL);
            Take(&batch, false);
        }
        lastStore = Clock::now();
        for (int attempt = 1;; ++attempt) {
            Clock::time_point started = Clock::now();
            try {
                store.Append(batch);
                Stored(batch, Clock::now() - started);
                break;
            } catch (const StoreError& error) {
                std::fprintf(stderr, "lvcollect: %s\n", error.what());
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    closing = closed_;
                }
                bool givenUp = closing && attempt >= STORE_ATTEMPTS_AT_EXIT;
                Failed(givenUp, batch.size());
                if (givenUp) {
                    std::fprintf(stderr, "lvcollect: %zu reports could not be stored\n", batch.size());
                    break;
                }
                std::this_thread::sleep_for(STORE_RETRY_PAUSE);
            }
        }
        if (batch.capacity() > KEPT_BATCH_CAPACITY)
            std::vector<Received>().swap(batch);
        else
            batch.clear();
    }
}

void ReportQueue::Close()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

QueueFigures ReportQueue::Figures()
{
    std::lock_guard<std::mutex> lock(mutex_);
    QueueFigures figures = figures_;
    figures.waiting = pending_.size() + inBatch_;
    if (inBatch_ > 0)
        figures.oldestWaitingSeconds = Seconds(Clock::now() - batchSince_);
    else if (!pending_.empty())
        figures.oldestWaitingSeconds = Seconds(Clock::now() - pendingSince_);
    return figures;
}

}  // namespace lvcollect
