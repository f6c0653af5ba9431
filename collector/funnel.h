// The funnel of the download attempts, counted from the stored reports:
// how many start, how many end in an installed player, where and why the
// others fail, on which Windows versions, and how long it takes.
//
// A client is a peer address (an IPv4 address the same in either of its
// socket forms). The reports carry no identity of their own, so clients
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

namespace lvcollect {

// Median and 95th percentile (nearest rank) of a set of values.
struct Spread {
    std::uint64_t count = 0;
    std::uint32_t median = 0;
    std::uint32_t p95 = 0;
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
    KindCounts all;
    std::map<std::uint32_t, std::uint64_t> failedByCode;
    std::uint64_t malformed = 0;
    std::uint64_t clients = 0;            // addresses that started an attempt
    std::uint64_t clientsRetried = 0;     // ... and started another after a failure
    std::map<std::string, VersionCounts> byOs;   // "5.1 nt", "4.10 win"
    Spread successSeconds, successBytes, failureSeconds, failureBytes;
};

class FunnelBuilder {
public:
    void Add(const StoredReport& stored);   // in the order of arrival
    Funnel Finish(std::uint64_t malformed);

private:
    struct Client {
        bool started = false;
        bool lastResultFailed = false;
        bool retried = false;
    };
    Funnel funnel_;
    std::unordered_map<std::string, Client> clients_;
    std::vector<std::uint32_t> successSeconds_, successBytes_, failureSeconds_, failureBytes_;
};

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
