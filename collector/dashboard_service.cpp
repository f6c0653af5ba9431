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

void DashboardService::Request(DocumentsReady ready)
{
    std::shared_ptr<const DashboardDocuments> fresh;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (latest_ && latest_->ok && now_() - latest_->readMs < DASHBOARD_FRESH_MS) {
            fresh = latest_;
        } else {
            waiting_.push_back(std::move(ready));
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
        std::vector<DocumentsReady> served;
        served.swap(waiting_);
        lock.unlock();
        std::shared_ptr<const DashboardDocuments> documents = Read();
        lock.lock();
        latest_ = documents;
        ++reads_;
        lock.unlock();
        for (DocumentsReady& ready : served)
            ready(documents);
        lock.lock();
    }
}

std::shared_ptr<const DashboardDocuments> DashboardService::Read()
{
    auto documents = std::make_shared<DashboardDocuments>();
    documents->readMs = now_();
    try {
        if (!store_)
            store_ = open_();
        Dashboard dashboard = ReadDashboard(*store_, documents->readMs);
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
