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

struct Funnel {
    KindCounts all;
    std::map<std::uint32_t, std::uint64_t> failedByCode;
    std::uint64_t malformed = 0;
    std::uint64_t clients = 0;            // addresses that started an attempt
    std::uint64_t clientsRetried = 0;     // ... and started another after a failure
    std::map<std::string, KindCounts> byOs;   // "5.1 nt", "4.10 win"
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

std::string SummaryText(const Funnel& funnel);
std::string SummaryJson(const Funnel& funnel);
std::string FunnelChartSvg(const Funnel& funnel);   // chart.cpp

}  // namespace lvcollect

#endif
