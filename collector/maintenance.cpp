#include "collector/maintenance.h"

#include <cstdio>

namespace lvcollect {

std::int64_t FirstKeptDay(std::int64_t nowMs, int keepDays)
{
    return DayOf(nowMs) - keepDays;
}

void Maintenance::FetchKeys(ReportStore& store, std::int64_t nowMs)
{
    std::int64_t today = DayOf(nowMs);
    for (const auto& [day, key] : store.DayKeys(today, today + 1))
        hasher_.PutShared(day, key);
    // Nothing brings back a key of a day that has gone.
    std::int64_t firstKept = DayOf(nowMs - KEY_GRACE_MS);
    store.ForgetDayKeys(firstKept);
    hasher_.ForgetBefore(firstKept);
    nextKeyCheckMs_ = nowMs + KEY_CHECK_MS;
}

bool Maintenance::Run(ReportStore& store, std::int64_t nowMs)
{
    try {
        // Tomorrow's key is made a day ahead; a collector whose database
        // was away asks again a second later.
        if (nowMs >= nextKeyCheckMs_)
            FetchKeys(store, nowMs);
        failing_ = false;
        if (keepDays_ > 0 && (expiring_ || nowMs >= nextExpiryCheckMs_)) {
            expiring_ = store.ExpireStep(FirstKeptDay(nowMs, keepDays_));
            if (!expiring_)
                nextExpiryCheckMs_ = nowMs + EXPIRY_CHECK_MS;
            return expiring_;
        }
    } catch (const StoreError& error) {
        // Tried again later; the reports go on being stored meanwhile. Said
        // once, not every second of an outage.
        if (!failing_)
            std::fprintf(stderr, "lvcollect: %s; the day's keys and the expiry wait for it\n", error.what());
        failing_ = true;
        nextKeyCheckMs_ = nowMs + 1000;
        nextExpiryCheckMs_ = nowMs + EXPIRY_CHECK_MS;
        expiring_ = false;
    }
    return false;
}

}  // namespace lvcollect
