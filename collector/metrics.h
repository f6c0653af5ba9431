// The collector's health in the Prometheus text format (version 0.0.4), for
// the vendor's monitoring: what the front answered and refused, what waits
// to be stored, and how long the store takes.
#ifndef LV_COLLECTOR_METRICS_H
#define LV_COLLECTOR_METRICS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "collector/report_queue.h"

namespace lvcollect {

// The front's counts since start. Kept by the event loop's thread alone.
struct FrontFigures {
    std::uint64_t reports = 0;              // valid reports stored and answered 200
    std::uint64_t malformed = 0;            // queries kept as malformed and answered 400
    std::uint64_t notReports = 0;           // other paths and methods, and bytes that are not HTTP
    std::uint64_t busy = 0;                 // refused with 503: the queue was full
    std::uint64_t cutOff = 0;               // requests too long, too slow or half sent
    std::uint64_t unanswered = 0;           // closed: their reports not stored in time
    std::uint64_t refusedConnections = 0;   // closed at once: MaxConnections were open
    std::size_t openConnections = 0;        // on the report port
};

extern const char kMetricsContentType[];

std::string MetricsText(const FrontFigures& front, const QueueFigures& queue);

}  // namespace lvcollect

#endif
