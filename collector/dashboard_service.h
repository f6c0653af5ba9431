// The dashboard's two documents (the page and the summary's JSON) for the
// admin listener, read from the store's summaries off the event loop: a
// read is quick, but a database's answer may still take longer than an
// event loop may wait while it answers the reports.
//
// One reader thread with a read-only store of its own (a second SQLite
// connection, or a second PostgreSQL one) reads on demand. A read of the
// same period younger than DASHBOARD_FRESH_MS serves a request at once;
// other requests wait for a read that starts after they came (not one under
// way), and one read serves all that waited for its period. So an answer misses no report stored more than
// DASHBOARD_FRESH_MS before it was asked for, and many open pages cost the
// store one read at a time, and at most one a second when reads are quick.
#ifndef LV_COLLECTOR_DASHBOARD_SERVICE_H
#define LV_COLLECTOR_DASHBOARD_SERVICE_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "collector/store.h"

namespace lvcollect {

constexpr std::int64_t DASHBOARD_FRESH_MS = 1000;

struct DashboardDocuments {
    bool ok = false;
    std::string html;       // the page
    std::string json;       // what summary --json prints
    std::string error;      // when not ok: why the store could not be read
    std::int64_t readMs = 0;
};

using DocumentsReady = std::function<void(std::shared_ptr<const DashboardDocuments>)>;

class DashboardService {
public:
    using OpenStore = std::function<std::unique_ptr<ReportStore>()>;
    using Clock = std::function<std::int64_t()>;   // Unix time in milliseconds

    DashboardService(OpenStore open, Clock now);
    ~DashboardService();   // ends the reader; requests still waiting get nothing
    DashboardService(const DashboardService&) = delete;
    DashboardService& operator=(const DashboardService&) = delete;

    // Never waits for the store: `ready` runs later on the reader thread,
    // or at once on the caller's when a fresh read is at hand.
    void Request(const Period& period, DocumentsReady ready);

    std::uint64_t Reads();   // how many times the store was read

private:
    void ReadLoop();
    std::shared_ptr<const DashboardDocuments> Read(const Period& period);
    // The periods asked for most recently are kept; others read again.
    static constexpr std::size_t KEPT_READS = 16;

    OpenStore open_;
    Clock now_;
    std::unique_ptr<ReportStore> store_;   // the reader's own
    std::mutex mutex_;
    std::condition_variable wake_;
    struct Waiting {
        Period period;
        DocumentsReady ready;
    };
    std::vector<Waiting> waiting_;
    std::map<std::pair<std::int64_t, std::int64_t>, std::shared_ptr<const DashboardDocuments>> latest_;
    std::uint64_t reads_ = 0;
    bool stopping_ = false;
    std::thread reader_;
};

}  // namespace lvcollect

#endif
