#include "collector/sqlite_store.h"

#include <openssl/crypto.h>
#include <sqlite3.h>

#include <cstdio>
#include <utility>

namespace lvcollect {
namespace {

constexpr int SCHEMA_VERSION = 2;
// The first collector's store: reports with the clients' addresses, no
// summaries. Upgraded in place at the first start of this one.
constexpr int FIRST_SCHEMA_VERSION = 1;
// How long a statement waits for a lock that another process holds (a
// summary reading while the server writes needs none in WAL mode).
constexpr int BUSY_TIMEOUT_MS = 5000;
// Rows one step of the expiry deletes: a few milliseconds of the writer's.
constexpr int EXPIRY_STEP_ROWS = 500;
// Reports whose summaries the upgrade writes at once.
constexpr std::uint64_t UPGRADE_CHUNK_REPORTS = 100000;

const char kSchema[] =
    "CREATE TABLE reports ("
    " id INTEGER PRIMARY KEY,"
    " received_ms INTEGER NOT NULL,"
    " client_hash TEXT NOT NULL,"
    " user_agent TEXT NOT NULL,"
    " kind TEXT NOT NULL CHECK (kind IN ('start', 'success', 'failure', 'cancel')),"
    " code INTEGER NOT NULL,"
    " seconds INTEGER,"
    " bytes INTEGER,"
    " current_url TEXT,"
    " os_major INTEGER NOT NULL,"
    " os_minor INTEGER NOT NULL,"
    " os_line TEXT NOT NULL CHECK (os_line IN ('nt', 'win')),"
    " language INTEGER NOT NULL,"
    " query TEXT NOT NULL);"
    "CREATE TABLE malformed ("
    " id INTEGER PRIMARY KEY,"
    " received_ms INTEGER NOT NULL,"
    " client_hash TEXT NOT NULL,"
    " user_agent TEXT NOT NULL,"
    " reason TEXT NOT NULL,"
    " query TEXT NOT NULL);"
    "CREATE TABLE report_hours ("
    " hour_ms INTEGER PRIMARY KEY, started INTEGER NOT NULL, succeeded INTEGER NOT NULL);"
    "CREATE TABLE report_day_counts ("
    " day_ms INTEGER NOT NULL, kind TEXT NOT NULL, code INTEGER NOT NULL,"
    " os_major INTEGER NOT NULL, os_minor INTEGER NOT NULL, os_line TEXT NOT NULL,"
    " language INTEGER NOT NULL, reports INTEGER NOT NULL,"
    " PRIMARY KEY (day_ms, kind, code, os_major, os_minor, os_line, language)) WITHOUT ROWID;"
    "CREATE TABLE report_spreads ("
    " day_ms INTEGER NOT NULL, kind TEXT NOT NULL, measure TEXT NOT NULL, bucket INTEGER NOT NULL,"
    " reports INTEGER NOT NULL,"
    " PRIMARY KEY (day_ms, kind, measure, bucket)) WITHOUT ROWID;"
    "CREATE TABLE malformed_counts ("
    " hour_ms INTEGER PRIMARY KEY, queries INTEGER NOT NULL);"
    "CREATE TABLE day_clients ("
    " day INTEGER NOT NULL, client_hash TEXT NOT NULL,"
    " first_failure_ms INTEGER, last_start_ms INTEGER,"
    " became_client INTEGER NOT NULL, became_retried INTEGER NOT NULL,"
    " PRIMARY KEY (day, client_hash)) WITHOUT ROWID;"
    "CREATE TABLE day_counts ("
    " day INTEGER PRIMARY KEY, clients INTEGER NOT NULL, retried INTEGER NOT NULL,"
    " own_key_clients INTEGER NOT NULL);"
    "CREATE TABLE day_keys (day INTEGER PRIMARY KEY, key BLOB NOT NULL);";

const char kInsertReport[] =
    "INSERT INTO reports (id, received_ms, client_hash, user_agent, kind, code, seconds, bytes,"
    " current_url, os_major, os_minor, os_line, language, query)"
    " VALUES (?14, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";
const char kInsertMalformed[] =
    "INSERT INTO malformed (id, received_ms, client_hash, user_agent, reason, query)"
    " VALUES (?6, ?1, ?2, ?3, ?4, ?5)";
const char kAddHour[] =
    "INSERT INTO report_hours VALUES (?1, ?2, ?3)"
    " ON CONFLICT DO UPDATE SET started = started + excluded.started, succeeded = succeeded + excluded.succeeded";
const char kAddDayCount[] =
    "INSERT INTO report_day_counts VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"
    " ON CONFLICT DO UPDATE SET reports = reports + excluded.reports";
const char kAddSpread[] =
    "INSERT INTO report_spreads VALUES (?1, ?2, ?3, ?4, ?5)"
    " ON CONFLICT DO UPDATE SET reports = reports + excluded.reports";
const char kAddMalformed[] =
    "INSERT INTO malformed_counts VALUES (?1, ?2)"
    " ON CONFLICT DO UPDATE SET queries = queries + excluded.queries";
// The flags say what this statement changed, computed from the row as it
// was (a SET sees the old values): a client that started for the first
// time that day, one that first needed Try Again.
const char kAddClient[] =
    "INSERT INTO day_clients VALUES (?1, ?2, ?3, ?4, ?4 IS NOT NULL, coalesce(?3 <= ?4, 0))"
    " ON CONFLICT DO UPDATE SET"
    " first_failure_ms = coalesce(min(first_failure_ms, excluded.first_failure_ms), first_failure_ms,"
    "  excluded.first_failure_ms),"
    " last_start_ms = coalesce(max(last_start_ms, excluded.last_start_ms), last_start_ms,"
    "  excluded.last_start_ms),"
    " became_client = last_start_ms IS NULL AND excluded.last_start_ms IS NOT NULL,"
    " became_retried = NOT coalesce(first_failure_ms <= last_start_ms, 0) AND"
    "  coalesce(coalesce(min(first_failure_ms, excluded.first_failure_ms), first_failure_ms,"
    "   excluded.first_failure_ms) <= coalesce(max(last_start_ms, excluded.last_start_ms),"
    "   last_start_ms, excluded.last_start_ms), 0)"
    " RETURNING became_client, became_retried";
const char kAddDay[] =
    "INSERT INTO day_counts VALUES (?1, ?2, ?3, ?4)"
    " ON CONFLICT DO UPDATE SET clients = clients + excluded.clients, retried = retried + excluded.retried,"
    " own_key_clients = own_key_clients + excluded.own_key_clients";

// The rows come as they are, summed by the reader: a map of a few hundred
// keys costs less than SQLite's sorting of thousands of rows.
const char kSelectCounts[] =
    "SELECT kind, code, os_major, os_minor, os_line, language, reports FROM report_day_counts"
    " WHERE day_ms >= ?1 AND day_ms < ?2";
const char kSelectHours[] =
    "SELECT hour_ms, started, succeeded FROM report_hours WHERE hour_ms >= ?1 AND hour_ms < ?2";
const char kSelectSpan[] =
    "SELECT min(day_ms), max(day_ms) FROM report_day_counts WHERE day_ms >= ?1 AND day_ms < ?2";
const char kSelectSpreads[] =
    "SELECT kind, measure, bucket, reports FROM report_spreads WHERE day_ms >= ?1 AND day_ms < ?2";
const char kSelectMalformed[] = "SELECT sum(queries) FROM malformed_counts WHERE hour_ms >= ?1 AND hour_ms < ?2";
const char kSelectDays[] =
    "SELECT day, clients, retried, own_key_clients FROM day_counts WHERE day >= ?1 AND day < ?2 ORDER BY day";
// One collector stores in the order of arrival: the newest rows are last.
const char kSelectLatest[] =
    "SELECT received_ms, client_hash, kind, code, seconds, bytes, current_url, os_major, os_minor,"
    " os_line, user_agent, language FROM reports ORDER BY id DESC LIMIT ?1";

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

std::string Text(const unsigned char* text, int bytes)
{
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(bytes))
                : std::string();
}

std::string ColumnText(sqlite3_stmt* s, int column)
{
    return Text(sqlite3_column_text(s, column), sqlite3_column_bytes(s, column));
}

class SqliteStore : public ReportStore {
public:
    SqliteStore(const std::string& path, StoreAccess access, const UpgradeOptions& upgrade) : path_(path)
    {
        int flags = access == StoreAccess::ReadOnly ? SQLITE_OPEN_READONLY
                                                    : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
        sqlite3* raw = nullptr;
        int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
        db_.reset(raw);
        if (rc != SQLITE_OK)
            throw StoreError("cannot open " + path + ": " +
                             (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
        sqlite3_busy_timeout(db_.get(), BUSY_TIMEOUT_MS);
        int version = UserVersion();
        if (version > SCHEMA_VERSION)
            throw StoreError(path + " was written by a newer lvcollect (schema version " +
                             std::to_string(version) + "; this one knows up to " +
                             std::to_string(SCHEMA_VERSION) + "): run that one, or a newer one");
        if (access == StoreAccess::ReadOnly) {
            if (version == FIRST_SCHEMA_VERSION)
                throw StoreError(path + " was written by an earlier lvcollect: start lvcollect serve on "
                                        "it once to upgrade it");
            if (version != SCHEMA_VERSION)
                throw StoreError(path + " holds no reports of lvcollect");
            return;
        }
        // WAL: readers never block the writer. NORMAL: a commit is in the
        // log file once COMMIT returns, so a killed process loses nothing
        // it answered; the log is synced to the disk at each checkpoint, so
        // a power cut may take the commits since the last one.
        Execute("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;");
        // The day's clients are a B-tree of random hashes: its pages are
        // kept in memory (64 MB) rather than read again at each batch.
        Execute("PRAGMA cache_size = -65536;");
        if (version == 0) {
            Execute("BEGIN IMMEDIATE");
            Execute(kSchema);
            Execute("PRAGMA user_version = 2; COMMIT");
        } else if (version == FIRST_SCHEMA_VERSION) {
            Upgrade(upgrade);
        }
        Prepare();
    }

    // One transaction in one file: it commits or not; the name is not needed.
    void Append(const std::vector<Received>& batch, const BatchName&) override
    {
        Execute("BEGIN IMMEDIATE");
        try {
            SummaryDelta delta;
            for (const Received& received : batch) {
                if (received.parsed.valid) {
                    InsertReport(received, 0);
                    delta.AddReport(received.receivedMs, received.client, received.parsed.report);
                } else {
                    InsertMalformed(received, 0);
                    delta.AddMalformed(received.receivedMs);
                }
            }
            ApplyDelta(delta);
            Execute("COMMIT");
        } catch (const StoreError&) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    Summaries ReadSummaries(const Period& period) override
    {
        // One read transaction: the summaries of one moment.
        Execute("BEGIN");
        try {
            Summaries summaries = Read(period);
            Execute("COMMIT");
            return summaries;
        } catch (const StoreError&) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    std::vector<StoredReport> Latest(std::size_t count) override
    {
        Statement select = PrepareOne(kSelectLatest);
        sqlite3_stmt* s = select.get();
        sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(count));
        std::vector<StoredReport> latest;
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            StoredReport stored;
            stored.receivedMs = sqlite3_column_int64(s, 0);
            stored.client = ColumnText(s, 1);
            Report& report = stored.report;
            if (!KindOfName(ColumnText(s, 2), &report.kind))
                throw StoreError("a report of unknown kind in the store");
            report.code = static_cast<std::uint32_t>(sqlite3_column_int64(s, 3));
            report.seconds = static_cast<std::uint32_t>(sqlite3_column_int64(s, 4));
            report.bytes = static_cast<std::uint32_t>(sqlite3_column_int64(s, 5));
            report.currentUrl = ColumnText(s, 6);
            report.osMajor = static_cast<std::uint32_t>(sqlite3_column_int64(s, 7));
            report.osMinor = static_cast<std::uint32_t>(sqlite3_column_int64(s, 8));
            report.ntLine = ColumnText(s, 9) == "nt";
            stored.userAgent = ColumnText(s, 10);
            report.osLanguage = static_cast<std::uint32_t>(sqlite3_column_int64(s, 11));
            latest.push_back(std::move(stored));
        }
        if (rc != SQLITE_DONE)
            Fail("reading the latest reports");
        return latest;
    }

    std::map<std::int64_t, DayKey> DayKeys(std::int64_t firstDay, std::int64_t lastDay) override
    {
        Execute("BEGIN IMMEDIATE");
        try {
            std::map<std::int64_t, DayKey> keys = KeysOf(firstDay, lastDay);
            Execute("COMMIT");
            return keys;
        } catch (const StoreError&) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    void ForgetDayKeys(std::int64_t day) override
    {
        // A deleted key is overwritten in its page, not left in free space
        // until the page is used again.
        Execute("PRAGMA secure_delete = ON");
        Statement remove = PrepareOne("DELETE FROM day_keys WHERE day < ?1");
        sqlite3_bind_int64(remove.get(), 1, day);
        Step(remove.get(), "deleting the keys of past days");
        Execute("PRAGMA secure_delete = OFF");
        // The deleted pages are overwritten now, not whenever they are reused.
        Execute("PRAGMA wal_checkpoint(PASSIVE)");
    }

    bool ExpireStep(std::int64_t day) override
    {
        // The oldest rows are the first: each step deletes from the front
        // of the table, never searching the rest.
        static const char* const kSteps[] = {
            "DELETE FROM reports WHERE id IN (SELECT id FROM reports ORDER BY id LIMIT ?2)"
            " AND received_ms < ?1 * 86400000",
            "DELETE FROM malformed WHERE id IN (SELECT id FROM malformed ORDER BY id LIMIT ?2)"
            " AND received_ms < ?1 * 86400000",
            "DELETE FROM day_clients WHERE (day, client_hash) IN"
            " (SELECT day, client_hash FROM day_clients WHERE day < ?1 LIMIT ?2)",
        };
        for (const char* sql : kSteps) {
            Statement step = PrepareOne(sql);
            sqlite3_bind_int64(step.get(), 1, day);
            sqlite3_bind_int(step.get(), 2, EXPIRY_STEP_ROWS);
            Step(step.get(), "removing old reports");
            if (sqlite3_changes(db_.get()) > 0)
                return true;
        }
        return false;
    }

    std::uint64_t ReportsBefore(std::int64_t day) override
    {
        Statement count = PrepareOne("SELECT count(*) FROM reports WHERE id < coalesce("
                                     "(SELECT min(id) FROM reports WHERE received_ms >= ?1), 1 << 62)");
        sqlite3_bind_int64(count.get(), 1, day * DAY_MS);
        if (sqlite3_step(count.get()) != SQLITE_ROW)
            Fail("counting the old reports");
        return static_cast<std::uint64_t>(sqlite3_column_int64(count.get(), 0));
    }

private:
    [[noreturn]] void Fail(const std::string& what)
    {
        throw StoreError(what + ": " + sqlite3_errmsg(db_.get()));
    }

    void Execute(const char* sql)
    {
        if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            Fail(sql);
    }

    int UserVersion()
    {
        Statement version = PrepareOne("PRAGMA user_version");
        if (sqlite3_step(version.get()) != SQLITE_ROW)
            Fail("reading the schema version");
        return sqlite3_column_int(version.get(), 0);
    }

    Statement PrepareOne(const char* sql)
    {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK)
            Fail(sql);
        return Statement(raw);
    }

    void Prepare()
    {
        insertReport_ = PrepareOne(kInsertReport);
        insertMalformed_ = PrepareOne(kInsertMalformed);
        addHour_ = PrepareOne(kAddHour);
        addDayCount_ = PrepareOne(kAddDayCount);
        addSpread_ = PrepareOne(kAddSpread);
        addMalformed_ = PrepareOne(kAddMalformed);
        addClient_ = PrepareOne(kAddClient);
        addDay_ = PrepareOne(kAddDay);
    }

    // Texts are bound with their length: they may hold any byte. Not
    // copied: each lives until Step has reset the statement and cleared
    // its bindings.
    static void BindText(sqlite3_stmt* s, int index, const std::string& text)
    {
        sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    }

    void Step(sqlite3_stmt* s, const char* what)
    {
        int rc = sqlite3_step(s);
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        if (rc != SQLITE_DONE)
            Fail(what);
    }

    // id 0: the next one.
    void InsertReport(const Received& received, std::int64_t id)
    {
        const Report& report = received.parsed.report;
        sqlite3_stmt* s = insertReport_.get();
        sqlite3_bind_int64(s, 1, received.receivedMs);
        BindText(s, 2, received.client);
        BindText(s, 3, received.userAgent);
        sqlite3_bind_text(s, 4, KindName(report.kind), -1, SQLITE_STATIC);
        sqlite3_bind_int64(s, 5, report.code);
        if (report.kind != ReportKind::Start) {
            sqlite3_bind_int64(s, 6, report.seconds);
            sqlite3_bind_int64(s, 7, report.bytes);
            BindText(s, 8, report.currentUrl);
        }
        sqlite3_bind_int64(s, 9, report.osMajor);
        sqlite3_bind_int64(s, 10, report.osMinor);
        sqlite3_bind_text(s, 11, report.ntLine ? "nt" : "win", -1, SQLITE_STATIC);
        sqlite3_bind_int64(s, 12, report.osLanguage);
        BindText(s, 13, received.query);
        if (id > 0)
            sqlite3_bind_int64(s, 14, id);
        Step(s, "storing a report");
    }

    void InsertMalformed(const Received& received, std::int64_t id)
    {
        sqlite3_stmt* s = insertMalformed_.get();
        sqlite3_bind_int64(s, 1, received.receivedMs);
        BindText(s, 2, received.client);
        BindText(s, 3, received.userAgent);
        BindText(s, 4, received.parsed.reason);
        BindText(s, 5, received.query);
        if (id > 0)
            sqlite3_bind_int64(s, 6, id);
        Step(s, "storing a malformed query");
    }

    void AddCount(sqlite3_stmt* s, const CountKey& key, std::uint64_t count)
    {
        sqlite3_bind_int64(s, 1, key.hourMs);
        sqlite3_bind_text(s, 2, KindName(key.kind), -1, SQLITE_STATIC);
        sqlite3_bind_int64(s, 3, key.code);
        sqlite3_bind_int64(s, 4, key.osMajor);
        sqlite3_bind_int64(s, 5, key.osMinor);
        sqlite3_bind_text(s, 6, key.ntLine ? "nt" : "win", -1, SQLITE_STATIC);
        sqlite3_bind_int64(s, 7, key.language);
        sqlite3_bind_int64(s, 8, static_cast<sqlite3_int64>(count));
        Step(s, "counting the reports");
    }

    void ApplyDelta(const SummaryDelta& delta)
    {
        std::map<CountKey, std::uint64_t> dayCounts;
        for (const auto& [key, count] : delta.counts) {
            CountKey day = key;
            day.hourMs = DayOf(key.hourMs) * DAY_MS;
            dayCounts[day] += count;
        }
        for (const auto& [key, count] : dayCounts)
            AddCount(addDayCount_.get(), key, count);
        for (const auto& [hourMs, counts] : HourTotals(delta)) {
            sqlite3_stmt* s = addHour_.get();
            sqlite3_bind_int64(s, 1, hourMs);
            sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(counts.first));
            sqlite3_bind_int64(s, 3, static_cast<sqlite3_int64>(counts.second));
            Step(s, "counting the hours");
        }
        for (const auto& [key, count] : delta.spreads) {
            sqlite3_stmt* s = addSpread_.get();
            sqlite3_bind_int64(s, 1, key.dayMs);
            sqlite3_bind_text(s, 2, KindName(key.kind), -1, SQLITE_STATIC);
            sqlite3_bind_text(s, 3, MeasureName(key.measure), -1, SQLITE_STATIC);
            sqlite3_bind_int64(s, 4, key.bucket);
            sqlite3_bind_int64(s, 5, static_cast<sqlite3_int64>(count));
            Step(s, "counting the spreads");
        }
        for (const auto& [hourMs, count] : delta.malformed) {
            sqlite3_stmt* s = addMalformed_.get();
            sqlite3_bind_int64(s, 1, hourMs);
            sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(count));
            Step(s, "counting the malformed queries");
        }
        struct DayAdded {
            std::uint64_t clients = 0, retried = 0, ownKeyClients = 0;
        };
        std::map<std::int64_t, DayAdded> days;
        for (const auto& [dayClient, times] : delta.clients) {
            sqlite3_stmt* s = addClient_.get();
            sqlite3_bind_int64(s, 1, dayClient.first);
            BindText(s, 2, dayClient.second);
            if (times.firstFailureMs >= 0)
                sqlite3_bind_int64(s, 3, times.firstFailureMs);
            if (times.lastStartMs >= 0)
                sqlite3_bind_int64(s, 4, times.lastStartMs);
            int rc = sqlite3_step(s);
            bool becameClient = false, becameRetried = false;
            if (rc == SQLITE_ROW) {
                becameClient = sqlite3_column_int(s, 0) != 0;
                becameRetried = sqlite3_column_int(s, 1) != 0;
                rc = sqlite3_step(s);
            }
            sqlite3_reset(s);
            sqlite3_clear_bindings(s);
            if (rc != SQLITE_DONE)
                Fail("counting the clients");
            if (!becameClient && !becameRetried)
                continue;
            DayAdded& day = days[dayClient.first];
            day.clients += becameClient;
            day.retried += becameRetried;
            day.ownKeyClients += becameClient && dayClient.second[0] == OWN_KEY_MARK;
        }
        for (const auto& [number, day] : days) {
            sqlite3_stmt* s = addDay_.get();
            sqlite3_bind_int64(s, 1, number);
            sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(day.clients));
            sqlite3_bind_int64(s, 3, static_cast<sqlite3_int64>(day.retried));
            sqlite3_bind_int64(s, 4, static_cast<sqlite3_int64>(day.ownKeyClients));
            Step(s, "counting the clients");
        }
    }

    // Binds the period's bounds (1 and 2) in milliseconds, or in days.
    static void BindPeriod(sqlite3_stmt* s, const Period& period, bool days)
    {
        std::int64_t from = period.FromMs(), to = period.ToMs();
        if (days) {
            from = period.hasFrom ? period.fromDay : INT64_MIN;
            to = period.hasTo ? period.toDay + 1 : INT64_MAX;
        }
        sqlite3_bind_int64(s, 1, from);
        sqlite3_bind_int64(s, 2, to);
    }

    Summaries Read(const Period& period)
    {
        Summaries summaries;
        Statement counts = PrepareOne(kSelectCounts);
        sqlite3_stmt* s = counts.get();
        BindPeriod(s, period, false);
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            CountKey key;
            if (!KindOfName(ColumnText(s, 0), &key.kind))
                throw StoreError("a count of unknown kind in the store");
            key.code = static_cast<std::uint32_t>(sqlite3_column_int64(s, 1));
            key.osMajor = static_cast<std::uint32_t>(sqlite3_column_int64(s, 2));
            key.osMinor = static_cast<std::uint32_t>(sqlite3_column_int64(s, 3));
            key.ntLine = ColumnText(s, 4) == "nt";
            key.language = static_cast<std::uint32_t>(sqlite3_column_int64(s, 5));
            summaries.counts[key] += static_cast<std::uint64_t>(sqlite3_column_int64(s, 6));
        }
        if (rc != SQLITE_DONE)
            Fail("reading the counts");
        Statement hours = PrepareOne(kSelectHours);
        s = hours.get();
        BindPeriod(s, period, false);
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            auto& hour = summaries.hourly[sqlite3_column_int64(s, 0)];
            hour.first += static_cast<std::uint64_t>(sqlite3_column_int64(s, 1));
            hour.second += static_cast<std::uint64_t>(sqlite3_column_int64(s, 2));
        }
        if (rc != SQLITE_DONE)
            Fail("reading the hours");
        Statement span = PrepareOne(kSelectSpan);
        s = span.get();
        BindPeriod(s, period, false);
        if (sqlite3_step(s) != SQLITE_ROW)
            Fail("reading the span");
        if (sqlite3_column_type(s, 0) != SQLITE_NULL) {
            summaries.firstHourMs = sqlite3_column_int64(s, 0);
            summaries.lastHourMs = sqlite3_column_int64(s, 1);
        }
        Statement spreads = PrepareOne(kSelectSpreads);
        s = spreads.get();
        BindPeriod(s, period, false);
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            SpreadKey key;
            if (!KindOfName(ColumnText(s, 0), &key.kind) || !MeasureOfName(ColumnText(s, 1), &key.measure))
                throw StoreError("a spread of unknown kind in the store");
            key.bucket = static_cast<std::uint32_t>(sqlite3_column_int64(s, 2));
            summaries.spreads[key] += static_cast<std::uint64_t>(sqlite3_column_int64(s, 3));
        }
        if (rc != SQLITE_DONE)
            Fail("reading the spreads");
        Statement malformed = PrepareOne(kSelectMalformed);
        s = malformed.get();
        BindPeriod(s, period, false);
        if (sqlite3_step(s) != SQLITE_ROW)
            Fail("reading the malformed queries");
        summaries.malformed = static_cast<std::uint64_t>(sqlite3_column_int64(s, 0));
        Statement days = PrepareOne(kSelectDays);
        s = days.get();
        BindPeriod(s, period, true);
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            DayClients day;
            day.day = sqlite3_column_int64(s, 0);
            day.clients = static_cast<std::uint64_t>(sqlite3_column_int64(s, 1));
            day.retried = static_cast<std::uint64_t>(sqlite3_column_int64(s, 2));
            day.ownKeys = sqlite3_column_int64(s, 3) > 0;
            summaries.days.push_back(day);
        }
        if (rc != SQLITE_DONE)
            Fail("reading the clients");
        return summaries;
    }

    // Within a write transaction.
    std::map<std::int64_t, DayKey> KeysOf(std::int64_t firstDay, std::int64_t lastDay)
    {
        Statement insert = PrepareOne("INSERT OR IGNORE INTO day_keys VALUES (?1, ?2)");
        for (std::int64_t day = firstDay; day <= lastDay; ++day) {
            DayKey fresh = RandomDayKey();
            sqlite3_bind_int64(insert.get(), 1, day);
            sqlite3_bind_blob(insert.get(), 2, fresh.data(), static_cast<int>(fresh.size()), SQLITE_STATIC);
            Step(insert.get(), "making a day's key");
            OPENSSL_cleanse(fresh.data(), fresh.size());
        }
        std::map<std::int64_t, DayKey> keys;
        Statement select = PrepareOne("SELECT day, key FROM day_keys WHERE day BETWEEN ?1 AND ?2");
        sqlite3_bind_int64(select.get(), 1, firstDay);
        sqlite3_bind_int64(select.get(), 2, lastDay);
        int rc;
        while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
            if (sqlite3_column_bytes(select.get(), 1) != static_cast<int>(DAY_KEY_BYTES))
                throw StoreError("a day's key of the wrong size in the store");
            DayKey& key = keys[sqlite3_column_int64(select.get(), 0)];
            const void* blob = sqlite3_column_blob(select.get(), 1);
            std::copy_n(static_cast<const unsigned char*>(blob), DAY_KEY_BYTES, key.begin());
        }
        if (rc != SQLITE_DONE)
            Fail("reading the days' keys");
        return keys;
    }

    // The store of the first collector: its reports and malformed queries
    // move to the new tables with their clients hashed, each past day
    // under a key made for it and destroyed at the end, the day under way
    // under the store's own; the summaries are built from them; the old
    // tables go, and VACUUM writes the file anew so that no address stays
    // in a free page.
    void Upgrade(const UpgradeOptions& options)
    {
        // A rollback journal while the tables are moved: it holds the few
        // pages changed in place, where the log would take every new one,
        // and VACUUM writes the file anew once more.
        Execute("PRAGMA journal_mode = DELETE");
        Execute("BEGIN IMMEDIATE");
        try {
            Execute("ALTER TABLE reports RENAME TO reports_v1; ALTER TABLE malformed RENAME TO malformed_v1;");
            Execute(kSchema);
            Prepare();
            std::int64_t today = DayOf(options.nowMs);
            std::map<std::int64_t, DayKey> keys = KeysOf(today, today + 1);
            std::uint64_t rows = 0, done = 0;
            {
                Statement total =
                    PrepareOne("SELECT (SELECT count(*) FROM reports_v1) + (SELECT count(*) FROM malformed_v1)");
                if (sqlite3_step(total.get()) != SQLITE_ROW)
                    Fail("counting the reports to upgrade");
                rows = static_cast<std::uint64_t>(sqlite3_column_int64(total.get(), 0));
            }
            for (bool valid : {true, false}) {
                Statement select = PrepareOne(
                    valid ? "SELECT id, received_ms, client, user_agent, query FROM reports_v1 ORDER BY id"
                          : "SELECT id, received_ms, client, user_agent, query, reason FROM malformed_v1 ORDER BY id");
                sqlite3_stmt* s = select.get();
                SummaryDelta delta;
                int rc;
                while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
                    Received received;
                    std::int64_t id = sqlite3_column_int64(s, 0);
                    received.receivedMs = sqlite3_column_int64(s, 1);
                    std::int64_t day = DayOf(received.receivedMs);
                    auto key = keys.find(day);
                    if (key == keys.end())
                        key = keys.emplace(day, RandomDayKey()).first;
                    received.client = ClientHash(key->second, ColumnText(s, 2));
                    received.userAgent = ColumnText(s, 3);
                    received.query = ColumnText(s, 4);
                    received.parsed = ParseReportQuery(received.query);
                    if (valid && received.parsed.valid) {
                        InsertReport(received, id);
                        delta.AddReport(received.receivedMs, received.client, received.parsed.report);
                    } else {
                        // A malformed query keeps the reason it was given.
                        if (!valid)
                            received.parsed.reason = ColumnText(s, 5);
                        received.parsed.valid = false;
                        InsertMalformed(received, valid ? 0 : id);
                        delta.AddMalformed(received.receivedMs);
                    }
                    if (++done % UPGRADE_CHUNK_REPORTS == 0) {
                        ApplyDelta(delta);
                        delta = SummaryDelta();
                        if (options.progress)
                            std::fprintf(stderr, "\rlvcollect: upgrading %s: %llu of %llu reports", path_.c_str(),
                                         static_cast<unsigned long long>(done), static_cast<unsigned long long>(rows));
                    }
                }
                if (rc != SQLITE_DONE)
                    Fail("reading the reports to upgrade");
                ApplyDelta(delta);
            }
            for (auto& [day, key] : keys)
                OPENSSL_cleanse(key.data(), key.size());
            Execute("DROP TABLE reports_v1; DROP TABLE malformed_v1; PRAGMA user_version = 2; COMMIT");
        } catch (const StoreError&) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        if (options.progress)
            std::fprintf(stderr, "\rlvcollect: upgrading %s: writing the file anew%20s", path_.c_str(), "");
        Execute("VACUUM");
        Execute("PRAGMA journal_mode = WAL");
        if (options.progress)
            std::fputs("\n", stderr);
    }

    const std::string path_;
    // The database first: members go in reverse order, so the statements
    // are finalized before it closes.
    Database db_;
    Statement insertReport_, insertMalformed_, addHour_, addDayCount_, addSpread_, addMalformed_, addClient_, addDay_;
};

}  // namespace

std::unique_ptr<ReportStore> OpenSqliteStore(const std::string& path, StoreAccess access,
                                             const UpgradeOptions& upgrade)
{
    return std::make_unique<SqliteStore>(path, access, upgrade);
}

}  // namespace lvcollect
