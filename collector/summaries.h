// The summaries that the stores keep as reports arrive, in the same
// transaction as the reports, so that every read (summary, plot, the
// dashboard) costs the same however many reports are stored.
//
// Three kinds of rows, each summed when read:
//   counts: reports per UTC day and per everything a read shows of one
//     (kind, code, Windows version and line, language): reads are of whole
//     days, and a batch adds to a day's row what it would add to its
//     hour's; per UTC hour, what the hourly chart shows (attempts started,
//     successes);
//   spreads: the seconds and bytes of the results, per UTC day and kind,
//     in buckets from which the median and 95th percentile come out within
//     1 % (exactly below EXACT_BELOW);
//   clients: per UTC day and client (a keyed hash, client_hash.h), the
//     first failure's time and the last start's time, and per day how many
//     clients started and how many of them needed Try Again.
// A fleet's collectors each add to rows of their own (store.h), so that no
// two batches queue on one row, and a read sums them.
#ifndef LV_COLLECTOR_SUMMARIES_H
#define LV_COLLECTOR_SUMMARIES_H

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "collector/report_query.h"

namespace lvcollect {

constexpr std::int64_t HOUR_MS = 3600 * 1000;
constexpr std::int64_t DAY_MS = 24 * HOUR_MS;

// The start of the UTC hour, and the number of the UTC day (days since
// 1970-01-01), of a time in milliseconds.
std::int64_t HourOf(std::int64_t unixMs);
std::int64_t DayOf(std::int64_t unixMs);

// Values below this have a bucket each: exact. Above, an octave has
// BUCKETS_PER_OCTAVE buckets, each under 1/128 of its values wide, and a
// bucket reads as its middle: within 0.4 % of any value in it.
constexpr std::uint32_t EXACT_BELOW = 256;
constexpr std::uint32_t BUCKETS_PER_OCTAVE = 128;
std::uint32_t BucketOf(std::uint32_t value);
std::uint32_t BucketValue(std::uint32_t bucket);

enum class Measure { Seconds, Bytes };
const char* MeasureName(Measure measure);   // "seconds", "bytes"
bool MeasureOfName(const std::string& name, Measure* measure);

struct CountKey {
    std::int64_t hourMs = 0;
    ReportKind kind = ReportKind::Start;
    std::uint32_t code = 0;
    std::uint32_t osMajor = 0;
    std::uint32_t osMinor = 0;
    bool ntLine = false;
    std::uint32_t language = 0;
    auto Tied() const { return std::tie(hourMs, kind, code, osMajor, osMinor, ntLine, language); }
    bool operator<(const CountKey& other) const { return Tied() < other.Tied(); }
};

struct SpreadKey {
    std::int64_t dayMs = 0;                  // where its UTC day begins
    ReportKind kind = ReportKind::Success;   // Success or Failure
    Measure measure = Measure::Seconds;
    std::uint32_t bucket = 0;
    auto Tied() const { return std::tie(dayMs, kind, measure, bucket); }
    bool operator<(const SpreadKey& other) const { return Tied() < other.Tied(); }
};

// One client's day; -1: no such report yet.
struct ClientTimes {
    std::int64_t firstFailureMs = -1;
    std::int64_t lastStartMs = -1;
    void Merge(const ClientTimes& other);
    bool Started() const { return lastStartMs >= 0; }
    bool NeededTryAgain() const { return firstFailureMs >= 0 && firstFailureMs <= lastStartMs; }
};

// A client hash made with a collector's own key (client_hash.h) begins so.
constexpr char OWN_KEY_MARK = '~';

// What a batch of reports adds to the summaries.
struct SummaryDelta {
    std::map<CountKey, std::uint64_t> counts;
    std::map<SpreadKey, std::uint64_t> spreads;
    std::map<std::pair<std::int64_t, std::string>, ClientTimes> clients;   // (day, client hash)
    std::map<std::int64_t, std::uint64_t> malformed;                       // by hour

    void AddReport(std::int64_t receivedMs, const std::string& client, const Report& report);
    void AddMalformed(std::int64_t receivedMs);
    bool Empty() const { return counts.empty() && malformed.empty(); }
};

// A period of whole UTC days: [fromDay, toDay], either end open.
struct Period {
    bool hasFrom = false, hasTo = false;
    std::int64_t fromDay = 0, toDay = 0;
    std::int64_t FromMs() const;   // INT64_MIN when open
    std::int64_t ToMs() const;     // exclusive; INT64_MAX when open
    bool Contains(std::int64_t unixMs) const { return unixMs >= FromMs() && unixMs < ToMs(); }
};

// "2024-05-01" as a day number; false for anything else.
bool ParseDay(const std::string& text, std::int64_t* day);
std::string DayText(std::int64_t day);

struct DayClients {
    std::int64_t day = 0;
    std::uint64_t clients = 0;   // that started an attempt
    std::uint64_t retried = 0;   // ... and started another after a failure
    bool ownKeys = false;        // some were hashed with a collector's own key
};

// The summaries of a period as a store reads them back: every row summed
// over the period and the fleet, the counts also hour by hour.
struct Summaries {
    std::map<CountKey, std::uint64_t> counts;   // hourMs 0: the whole period
    std::map<SpreadKey, std::uint64_t> spreads; // dayMs 0
    std::vector<DayClients> days;               // in order
    std::uint64_t malformed = 0;
    // Attempts and successes per hour, for the hourly chart.
    std::map<std::int64_t, std::pair<std::uint64_t, std::uint64_t>> hourly;
    std::int64_t firstHourMs = -1, lastHourMs = -1;   // of the counts read; -1: none
};

// The attempts and successes of each hour of a delta (the hourly chart's).
std::map<std::int64_t, std::pair<std::uint64_t, std::uint64_t>> HourTotals(const SummaryDelta& delta);

// The summaries of a delta alone, over a period (tests, and the funnel of
// reports that were never stored).
Summaries SummariesOf(const SummaryDelta& delta, const Period& period);

}  // namespace lvcollect

#endif
