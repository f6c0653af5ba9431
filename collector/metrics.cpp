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

// Cumulative counts of batches at most so many seconds long.
void Histogram(std::string* text, const std::string& name, const char* help,
               const std::array<std::uint64_t, BATCH_SECONDS_BOUNDS.size()>& atMost, std::uint64_t count,
               double sum)
{
    *text += "# HELP " + name + " " + help + "\n";
    *text += "# TYPE " + name + " histogram\n";
    for (std::size_t i = 0; i < BATCH_SECONDS_BOUNDS.size(); ++i)
        Sample(text, name + "_bucket{le=\"" + Number(BATCH_SECONDS_BOUNDS[i]) + "\"}", Number(atMost[i]));
    Sample(text, name + "_bucket{le=\"+Inf\"}", Number(count));
    Sample(text, name + "_sum", Number(sum));
    Sample(text, name + "_count", Number(count));
}

}  // namespace

std::string MetricsText(const FrontFigures& front, const QueueFigures& queue)
{
    std::string text;
    Counter(&text, "lvcollect_reports_answered_total",
            "Valid reports stored and answered with 200.", front.reports);
    Counter(&text, "lvcollect_reports_stored_total", "Valid reports committed to the store.",
            queue.storedReports);
    Counter(&text, "lvcollect_malformed_total",
            "Report queries that break the grammar, kept as malformed and answered with 400.",
            front.malformed);
    Counter(&text, "lvcollect_refused_busy_total",
            "Reports refused with 503 because too many waited to be stored.", front.busy);
    Counter(&text, "lvcollect_requests_cut_off_total",
            "Requests closed unanswered: too long, too slow or half sent.", front.cutOff);
    Counter(&text, "lvcollect_requests_unanswered_total",
            "Reports whose connection was closed unanswered because the store did not take them in time.",
            front.unanswered);
    Counter(&text, "lvcollect_other_requests_total",
            "Requests that are not reports: other paths and methods, bytes that are not HTTP.",
            front.notReports);
    Gauge(&text, "lvcollect_open_connections", "Connections open on the report port.",
          static_cast<double>(front.openConnections));
    Counter(&text, "lvcollect_connections_refused_total",
            "Connections closed at once because the most allowed were open.",
            front.refusedConnections);
    Gauge(&text, "lvcollect_reports_waiting",
          "Reports and malformed queries that wait to be stored, and so to be answered.",
          static_cast<double>(queue.waiting));
    Gauge(&text, "lvcollect_oldest_waiting_seconds",
          "Age of the oldest report not yet stored; 0 when none waits.",
          queue.oldestWaitingSeconds);
    Gauge(&text, "lvcollect_spool_reports",
          "Reports stored in the collector's spool while the database is away, not yet in the database.",
          static_cast<double>(queue.inSpool));
    Counter(&text, "lvcollect_store_failures_total",
            "Attempts to store a batch that the store refused (each is tried again).",
            queue.storeFailures);

    Histogram(&text, "lvcollect_store_batch_seconds", "Time to store one batch of reports (one transaction).",
              queue.batchesAtMost, queue.batches, queue.batchSecondsSum);
    Histogram(&text, "lvcollect_answer_wait_seconds",
              "Per batch, from its first report's arrival to its commit: the longest wait for an answer.",
              queue.waitsAtMost, queue.batches, queue.waitSecondsSum);
    return text;
}

}  // namespace lvcollect
