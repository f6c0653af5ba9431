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

// A batch's name, the same on every try of it. A store whose commit can be
// cut off from its answer (PostgreSQL, across the network) keeps the names
// it stored, so that a batch tried again is stored once.
struct BatchName {
    std::string source;          // the writer's own name, new at every start
    std::int64_t number = 0;     // counts up from 1 within source
    bool triedBefore = false;    // an earlier try may have gone in
};

// One of several batches stored at once (ReportStore::AppendSeveral).
struct NamedBatch {
    const std::vector<Received>* reports;
    BatchName name;
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

    // Keeps the whole batch, durably, or, when it throws StoreError, none
    // of it.
    virtual void Append(const std::vector<Received>& batch, const BatchName& name) = 0;

    // Several batches in as few transactions as the store can (the
    // PostgreSQL store: one, all or none); a batch tried before is left out
    // when it is found stored. Here: one Append each.
    virtual void AppendSeveral(const std::vector<NamedBatch>& batches)
    {
        for (const NamedBatch& batch : batches)
            Append(*batch.reports, batch.name);
    }

    // Reports kept durably on the collector's own disk that wait to go into
    // the store proper (the spool, while a database is away).
    virtual std::uint64_t WaitingInSpool() { return 0; }

    // Nothing more will be appended: a spool stops draining and says how
    // many reports it keeps for the next start.
    virtual std::uint64_t Finish() { return 0; }

    // Every valid report, in the order of arrival (by the time it was
    // received, when several collectors store into one database).
    virtual void ForEachReport(const std::function<void(const StoredReport&)>& visit) = 0;

    // How many queries did not follow the grammar.
    virtual std::uint64_t MalformedCount() = 0;
};

}  // namespace lvcollect

#endif
