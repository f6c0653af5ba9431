#include "collector/metrics.h"

#include <cstdio>

namespace lvcollect {

const char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {

std::string Number(std::uint64_t value)
{
    return std::to_string(value);
}

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

void Sample(std::string* text, const std::string& name, const std::string& value)
{
    *text += name;
    *text += ' ';
    *text += value;
    *text += '\n';
}

void Metric(std::string* text, const char* name, const char* type, const char* help,
            const std::string& value)
{
    *text += "# HELP ";
    *text += name;
    *text += ' ';
    *text += help;
    *text += "\n# TYPE ";
    *text += name;
    *text += ' ';
    *text += type;
    *text += '\n';
    Sample(text, name, value);
}

void Counter(std::string* text, const char* name, const char* help, std::uint64_t value)
{
    Metric(text, name, "counter", help, Number(value));
}

void Gauge(std::string* text, const char* name, const char* help, double value)
{
    Metric(text, name, "gauge", help, Number(value));
}

}  // namespace

std::string MetricsText(const FrontFigures& front, const QueueFigures& queue)
{
    std::string text;
    Counter(&text, "lvcollect_reports_answered_total",
            "Valid reports answered with 200 and queued to be stored.", front.reports);
    Counter(&text, "lvcollect_reports_stored_total", "Valid reports committed to the store.",
            queue.storedReports);
    Counter(&text, "lvcollect_malformed_total",
            "Report queries that break the grammar, answered with 400 and kept as malformed.",
            front.malformed);
    Counter(&text, "lvcollect_refused_busy_total",
            "Reports refused with 503 because too many waited to be stored.", front.busy);
    Counter(&text, "lvcollect_requests_cut_off_total",
            "Requests closed unanswered: too long, too slow or half sent.", front.cutOff);
    Counter(&text, "lvcollect_other_requests_total",
            "Requests that are not reports: other paths and methods, bytes that are not HTTP.",
            front.notReports);
    Gauge(&text, "lvcollect_open_connections", "Connections open on the report port.",
          static_cast<double>(front.openConnections));
    Counter(&text, "lvcollect_connections_refused_total",
            "Connections closed at once because the most allowed were open.",
            front.refusedConnections);
    Gauge(&text, "lvcollect_reports_waiting",
          "Reports and malformed queries answered but not yet stored.",
          static_cast<double>(queue.waiting));
    Gauge(&text, "lvcollect_oldest_waiting_seconds",
          "Age of the oldest answered report not yet stored; 0 when none waits.",
          queue.oldestWaitingSeconds);
    Counter(&text, "lvcollect_store_failures_total",
            "Attempts to store a batch that the store refused (each is tried again).",
            queue.storeFailures);

    // A histogram: cumulative counts of batches at most so many seconds long.
    const std::string batch = "lvcollect_store_batch_seconds";
    text += "# HELP " + batch + " Time to store one batch of reports (one transaction).\n";
    text += "# TYPE " + batch + " histogram\n";
    for (std::size_t i = 0; i < BATCH_SECONDS_BOUNDS.size(); ++i)
        Sample(&text, batch + "_bucket{le=\"" + Number(BATCH_SECONDS_BOUNDS[i]) + "\"}",
               Number(queue.batchesAtMost[i]));
    Sample(&text, batch + "_bucket{le=\"+Inf\"}", Number(queue.batches));
    Sample(&text, batch + "_sum", Number(queue.batchSecondsSum));
    Sample(&text, batch + "_count", Number(queue.batches));
    return text;
}

}  // namespace lvcollect
