// Where received reports are kept: one small interface, behind which the
// SQLite file of one collector (sqlite_store.h) or the PostgreSQL database
// of a fleet of collectors (pg_store.h) keeps them; OpenStore
// (store_factory.h) picks one from the --db argument.
#ifndef LV_COLLECTOR_STORE_H
#define LV_COLLECTOR_STORE_H

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "collector/report_query.h"

namespace lvcollect {

// One request to the report path, as it arrived and as it was parsed. A
// valid query becomes a report; any other is kept with its reason.
struct Received {
    std::int64_t receivedMs = 0;   // Unix time in milliseconds
    std::string client;            // the peer's address
    std::string userAgent;         // empty when the request had none
    std::string query;             // the query exactly as received
    ParsedQuery parsed;
};

struct StoredReport {
    std::int64_t receivedMs = 0;
    std::string client;
    Report report;
    std::string userAgent;
};

// ReadOnly is for the commands that only read (summary, plot): they never
// create a store or its tables.
enum class StoreAccess { ReadWrite, ReadOnly };

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ReportStore {
public:
    virtual ~ReportStore() = default;

    // Keeps the whole batch, or, when it throws StoreError, none of it.
    virtual void Append(const std::vector<Received>& batch) = 0;

    // Every valid report, in the order of arrival (by the time it was
    // received, when several collectors store into one database).
    virtual void ForEachReport(const std::function<void(const StoredReport&)>& visit) = 0;

    // How many queries did not follow the grammar.
    virtual std::uint64_t MalformedCount() = 0;
};

}  // namespace lvcollect

#endif
