// What the writer does between batches: the fleet's keys of today and
// tomorrow fetched (made where missing) before their days begin, the keys
// of days that ended more than KEY_GRACE_MS ago deleted, and the reports
// older than --keep-days removed a short step at a time, so that the
// writer is never held up for long.
#ifndef LV_COLLECTOR_MAINTENANCE_H
#define LV_COLLECTOR_MAINTENANCE_H

#include <cstdint>

#include "collector/client_hash.h"
#include "collector/store.h"

namespace lvcollect {

// --keep-days by default: reports of 90 days, the summaries for ever.
constexpr int DEFAULT_KEEP_DAYS = 90;
// A day's key is deleted this long after its day ended: reports received
// at its very end are hashed and stored by then.
constexpr std::int64_t KEY_GRACE_MS = HOUR_MS;
// How often the keys are looked at, and at most how long the expiry waits
// between two checks for old reports.
constexpr std::int64_t KEY_CHECK_MS = 60 * 1000;
constexpr std::int64_t EXPIRY_CHECK_MS = 60 * 1000;

// The UTC day before which reports go, for keepDays > 0: reports of the
// keepDays whole days before today, and of today, stay.
std::int64_t FirstKeptDay(std::int64_t nowMs, int keepDays);

class Maintenance {
public:
    Maintenance(ClientHasher& hasher, int keepDays) : hasher_(hasher), keepDays_(keepDays) {}

    // The keys, at once (before the collector listens); throws StoreError.
    void FetchKeys(ReportStore& store, std::int64_t nowMs);

    // One short piece of work, if any is due; true when more is waiting
    // (the writer comes back soon rather than in a second).
    bool Run(ReportStore& store, std::int64_t nowMs);

private:
    ClientHasher& hasher_;
    const int keepDays_;
    std::int64_t nextKeyCheckMs_ = 0;
    std::int64_t nextExpiryCheckMs_ = 0;
    bool expiring_ = false;
    bool failing_ = false;
};

}  // namespace lvcollect

#endif
