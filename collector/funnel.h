// The funnel of the download attempts, read from the summaries
// (summaries.h): how many start, how many end in an installed player, where
// and why the others fail, on which Windows versions and in which
// languages, and how long it takes.
//
// A client is a keyed hash of its address, new every UTC day
// (client_hash.h), so clients are counted per day: over several days the
// figure is a sum of days, and one machine that came back on another day
// counts again. The reports carry no identity of their own, so clients
// behind one address (a proxy, a shared network) count as one.
#ifndef LV_COLLECTOR_FUNNEL_H
#define LV_COLLECTOR_FUNNEL_H

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "collector/store.h"
#include "collector/summaries.h"

namespace lvcollect {

// Median and 95th percentile (nearest rank) of a set of values, read from
// their buckets: exact when both fall below EXACT_BELOW, else within 1 %.
struct Spread {
    std::uint64_t count = 0;
    std::uint32_t median = 0;
    std::uint32_t p95 = 0;
    bool exact = true;
};

struct KindCounts {
    std::uint64_t started = 0;
    std::uint64_t succeeded = 0;
    std::uint64_t failed = 0;
    std::uint64_t cancelled = 0;
};

// The reports of one operating-system pair, as the reports carry it.
struct VersionCounts : KindCounts {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    bool ntLine = false;
};

struct Funnel {
    Period period;                        // as asked
    std::int64_t firstHourMs = -1, lastHourMs = -1;   // of the reports counted; -1: none
    KindCounts all;
    std::map<std::uint32_t, std::uint64_t> failedByCode;
    std::uint64_t malformed = 0;
    // Per UTC day, summed over the days of the period.
    std::uint64_t clients = 0;            // clients that started an attempt
    std::uint64_t clientsRetried = 0;     // ... and started another after a failure that day
    std::uint64_t clientDays = 0;         // days with clients
    std::vector<std::int64_t> ownKeyDays; // days whose clients include some hashed with a collector's own key
    std::map<std::string, VersionCounts> byOs;   // "5.1 nt", "4.10 win"
    std::map<std::uint32_t, KindCounts> byLanguage;   // by oslanguage
    Spread successSeconds, successBytes, failureSeconds, failureBytes;
};

Funnel FunnelOf(const Summaries& summaries, const Period& period);

// The funnel of reports held in memory (tests): each client's text is
// taken as its hash.
class FunnelBuilder {
public:
    void Add(const StoredReport& stored);
    Funnel Finish(std::uint64_t malformed);

private:
    SummaryDelta delta_;
};

// A language's name from the table of the languages a build is made in
// ("English", "German"); nullptr for an id the table lacks.
const char* LanguageName(std::uint32_t osLanguage);
// "9 English", or the number alone.
std::string LanguageLabel(std::uint32_t osLanguage);

// "2024-05-01 to 2024-05-07", "all kept reports", ... for the heading.
std::string PeriodText(const Funnel& funnel);

// The catalogue's message for a result code, byte for byte; nullptr for a
// code that has none.
const char* CatalogueText(std::uint32_t code);

// The Windows that reports a version pair, for instance "Windows XP" for
// 5.1 on the NT line; nullptr for a pair that no Windows reports.
const char* WindowsName(std::uint32_t major, std::uint32_t minor, bool ntLine);

// The pair as the reports carry it, then its Windows name where it has one:
// "5.1 nt  Windows XP", or "7.5 nt" alone.
std::string VersionLabel(const std::string& key, const VersionCounts& counts);

// The pairs in the order of their numbers, the consumer line before the NT
// line, each with its key and, where there is one, its Windows name.
std::vector<std::pair<std::string, const VersionCounts*>> VersionsInOrder(const Funnel& funnel);

std::string SummaryText(const Funnel& funnel);
std::string SummaryJson(const Funnel& funnel);
std::string FunnelChartSvg(const Funnel& funnel);   // chart.cpp

}  // namespace lvcollect

#endif
