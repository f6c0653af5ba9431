#include "collector/dashboard_service.h"

#include <utility>

#include "collector/dashboard.h"
#include "collector/funnel.h"

namespace lvcollect {

DashboardService::DashboardService(OpenStore open, Clock now)
    : open_(std::move(open)), now_(std::move(now)), reader_([this] { ReadLoop(); })
{
}

DashboardService::~DashboardService()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    reader_.join();
}

namespace {

std::pair<std::int64_t, std::int64_t> KeyOf(const Period& period)
{
    return {period.FromMs(), period.ToMs()};
}

}  // namespace

void DashboardService::Request(const Period& period, DocumentsReady ready)
{
    std::shared_ptr<const DashboardDocuments> fresh;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto latest = latest_.find(KeyOf(period));
        if (latest != latest_.end() && latest->second->ok && now_() - latest->second->readMs < DASHBOARD_FRESH_MS) {
            fresh = latest->second;
        } else {
            waiting_.push_back({period, std::move(ready)});
        }
    }
    if (fresh)
        ready(fresh);
    else
        wake_.notify_one();
}

std::uint64_t DashboardService::Reads()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
}

void DashboardService::ReadLoop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_)
            return;
        // Those who asked before the read starts; later ones wait for the next.
        std::vector<Waiting> served;
        served.swap(waiting_);
        lock.unlock();
        std::map<std::pair<std::int64_t, std::int64_t>, std::shared_ptr<const DashboardDocuments>> read;
        for (const Waiting& each : served) {
            auto key = KeyOf(each.period);
            if (!read.count(key))
                read[key] = Read(each.period);
        }
        lock.lock();
        if (latest_.size() > KEPT_READS)
            latest_.clear();
        for (const auto& [key, documents] : read)
            latest_[key] = documents;
        reads_ += read.size();
        lock.unlock();
        for (Waiting& each : served)
            each.ready(read[KeyOf(each.period)]);
        lock.lock();
    }
}

std::shared_ptr<const DashboardDocuments> DashboardService::Read(const Period& period)
{
    auto documents = std::make_shared<DashboardDocuments>();
    documents->readMs = now_();
    try {
        if (!store_)
            store_ = open_();
        Dashboard dashboard = ReadDashboard(*store_, documents->readMs, period);
        documents->html = DashboardHtml(dashboard);
        documents->json = SummaryJson(dashboard.funnel);
        documents->ok = true;
    } catch (const StoreError& error) {
        // Opened again for the next read: the server may be back by then.
        store_.reset();
        documents->error = error.what();
    }
    return documents;
}

}  // namespace lvcollect
