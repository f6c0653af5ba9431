#include "collector/report_queue.h"

#include <unistd.h>

#include <cstdio>
#include <random>
#include <thread>
#include <utility>

namespace lvcollect {
namespace {

constexpr Clock::duration STORE_RETRY_PAUSE = std::chrono::seconds(1);
constexpr int STORE_ATTEMPTS_AT_EXIT = 5;
// Between the upkeep's steps (maintenance.h) while no report comes: 5 ms
// when more waits, so that reports come in between, else a second.
constexpr Clock::duration UPKEEP_BUSY_PAUSE = std::chrono::milliseconds(5);
constexpr Clock::duration UPKEEP_IDLE_PAUSE = std::chrono::seconds(1);
// A batch that grew past this many reports (the store stalled for a
// moment) gives its memory back once stored.
constexpr std::size_t KEPT_BATCH_CAPACITY = 4096;

double Seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

// The writer's batch names: the host, the process, and a random part, so
// that a restarted process with the same id counts its batches anew.
std::string SourceName()
{
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    std::random_device random;
    char tail[32];
    std::snprintf(tail, sizeof tail, ":%ld:%08x", static_cast<long>(getpid()),
                  static_cast<unsigned>(random()));
    return host + std::string(tail);
}

void Tell(std::vector<StoredCallback>& callbacks, bool stored)
{
    for (StoredCallback& callback : callbacks)
        callback(stored);
}

template <typename T>
void Empty(std::vector<T>* items)
{
    if (items->capacity() > KEPT_BATCH_CAPACITY)
        std::vector<T>().swap(*items);
    else
        items->clear();
}

}  // namespace

ReportQueue::ReportQueue() : source_(SourceName()) {}

bool ReportQueue::Push(Received&& received, StoredCallback stored)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.size() >= MAX_QUEUED_REPORTS)
            return false;
        if (pending_.empty())
            pendingSince_ = Clock::now();
        pending_.push_back(std::move(received));
        pendingCallbacks_.push_back(std::move(stored));
        figures_.longest = std::max(figures_.longest, pending_.size() + inBatch_);
    }
    ready_.notify_one();
    return true;
}

bool ReportQueue::Take(std::vector<Received>* batch, std::vector<StoredCallback>* callbacks,
                       Clock::duration wait)
{
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, wait, [this] { return !pending_.empty() || closed_; });
    if (pending_.empty())
        return false;
    batch->swap(pending_);
    callbacks->swap(pendingCallbacks_);
    batchSince_ = pendingSince_;
    inBatch_ = batch->size();
    return true;
}

void ReportQueue::Stored(const std::vector<Received>& batch, Clock::duration took)
{
    std::size_t valid = 0;
    for (const Received& received : batch)
        valid += received.parsed.valid;
    std::lock_guard<std::mutex> lock(mutex_);
    double waited = Seconds(Clock::now() - batchSince_);
    inBatch_ = 0;
    figures_.storedReports += valid;
    figures_.storedMalformed += batch.size() - valid;
    ++figures_.batches;
    figures_.batchSecondsSum += Seconds(took);
    figures_.waitSecondsSum += waited;
    for (std::size_t i = 0; i < BATCH_SECONDS_BOUNDS.size(); ++i) {
        figures_.batchesAtMost[i] += Seconds(took) <= BATCH_SECONDS_BOUNDS[i];
        figures_.waitsAtMost[i] += waited <= BATCH_SECONDS_BOUNDS[i];
    }
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

bool ReportQueue::IsClosing()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return closing_;
}

void ReportQueue::RunWriter(ReportStore& store, const std::function<bool()>& upkeep)
{
    store_ = &store;
    std::vector<Received> batch;
    std::vector<StoredCallback> callbacks;
    bool upkeepWaiting = false;
    for (;;) {
        if (!Take(&batch, &callbacks, upkeepWaiting ? UPKEEP_BUSY_PAUSE : UPKEEP_IDLE_PAUSE)) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (closed_ && pending_.empty())
                    return;
            }
            upkeepWaiting = upkeep && upkeep();
            continue;
        }
        BatchName name{source_, ++batches_, false};
        for (int attempt = 1;; ++attempt) {
            Clock::time_point started = Clock::now();
            try {
                store.Append(batch, name);
                Stored(batch, Clock::now() - started);
                Tell(callbacks, true);
                break;
            } catch (const StoreError& error) {
                std::fprintf(stderr, "lvcollect: %s\n", error.what());
                name.triedBefore = true;
                bool givenUp = IsClosing() && attempt >= STORE_ATTEMPTS_AT_EXIT;
                Failed(givenUp, batch.size());
                if (givenUp) {
                    std::fprintf(stderr, "lvcollect: %zu reports could not be stored and are not answered\n",
                                 batch.size());
                    Tell(callbacks, false);
                    break;
                }
                std::this_thread::sleep_for(STORE_RETRY_PAUSE);
            }
        }
        Empty(&batch);
        Empty(&callbacks);
        upkeepWaiting = upkeep && !IsClosing() && upkeep();
    }
}

void ReportQueue::Closing()
{
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
}

void ReportQueue::Close()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        closed_ = true;
    }
    ready_.notify_all();
}

QueueFigures ReportQueue::Figures()
{
    // The spool drains on a thread of its own: asked now, not at a commit.
    std::uint64_t inSpool = 0;
    if (ReportStore* store = store_.load())
        inSpool = store->WaitingInSpool();
    std::lock_guard<std::mutex> lock(mutex_);
    QueueFigures figures = figures_;
    figures.inSpool = inSpool;
    figures.waiting = pending_.size() + inBatch_;
    if (inBatch_ > 0)
        figures.oldestWaitingSeconds = Seconds(Clock::now() - batchSince_);
    else if (!pending_.empty())
        figures.oldestWaitingSeconds = Seconds(Clock::now() - pendingSince_);
    return figures;
}

}  // namespace lvcollect
