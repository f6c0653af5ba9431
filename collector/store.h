// Where received reports are kept: one small interface, behind which the
// SQLite file of one collector (sqlite_store.h) or the PostgreSQL database
// of a fleet of collectors (pg_store.h) keeps them; OpenStore
// (store_factory.h) picks one from the --db argument.
#ifndef LV_COLLECTOR_STORE_H
#define LV_COLLECTOR_STORE_H

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "collector/client_hash.h"
#include "collector/report_query.h"
#include "collector/summaries.h"

namespace lvcollect {

// One request to the report path, as it arrived and as it was parsed. A
// valid query becomes a report; any other is kept with its reason.
struct Received {
    std::int64_t receivedMs = 0;   // Unix time in milliseconds
    std::string client;            // the client's hash (client_hash.h), never its address
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
// create a store or its tables. ReadWrite creates it, or upgrades one
// written by an earlier collector (store_upgrade.h) before it is used.
enum class StoreAccess { ReadWrite, ReadOnly };

// How the store of an earlier collector is upgraded: the key of the day
// under way is the fleet's (so that today's clients count as one across
// the upgrade), and reports older than keepDays are counted for the start's
// message.
struct UpgradeOptions {
    int keepDays = 0;
    std::int64_t nowMs = 0;
    bool progress = false;   // show progress on standard error (a terminal)
};

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The store is one that this collector can never write (a database whose
// schema a newer collector wrote): trying again is no use.
class StoreRefused : public StoreError {
public:
    using StoreError::StoreError;
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

    // Reaches the store if it is not reached yet, and checks its schema,
    // upgrading one of an earlier collector (which only this call does once
    // the collector listens); throws StoreError, StoreRefused for a store
    // that this collector can never write. Here: nothing to reach.
    virtual void Reach() {}

    // Non-empty once the store was found to be one that this collector can
    // never write (StoreRefused's sentence): the collector stops.
    virtual std::string Refusal() { return {}; }

    // Reports kept durably on the collector's own disk that wait to go into
    // the store proper (the spool, while a database is away).
    virtual std::uint64_t WaitingInSpool() { return 0; }

    // Nothing more will be appended: a spool stops draining and says how
    // many reports it keeps for the next start.
    virtual std::uint64_t Finish() { return 0; }

    // The summaries of a period, summed over the fleet: a handful of rows
    // per hour, however many reports.
    virtual Summaries ReadSummaries(const Period& period) = 0;

    // The `count` reports received last, newest first, from an index.
    virtual std::vector<StoredReport> Latest(std::size_t count) = 0;

    // The fleet's keys of the days firstDay to lastDay, made where missing
    // (by whichever collector comes first).
    virtual std::map<std::int64_t, DayKey> DayKeys(std::int64_t firstDay, std::int64_t lastDay) = 0;
    // Deletes the keys of every day before `day`.
    virtual void ForgetDayKeys(std::int64_t day) = 0;

    // One short step of the expiry of reports, malformed queries and
    // clients' days received before the UTC day `day`; the summaries stay.
    // False once nothing is left to remove.
    virtual bool ExpireStep(std::int64_t day) = 0;

    // How many reports were received before the UTC day `day`.
    virtual std::uint64_t ReportsBefore(std::int64_t day) = 0;
};

}  // namespace lvcollect

#endif
