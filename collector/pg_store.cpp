#include "collector/pg_store.h"

#include <libpq-fe.h>
#include <openssl/crypto.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <set>
#include <utility>

namespace lvcollect {
namespace {

constexpr int SCHEMA_VERSION = 2;
// The first collector's database: reports with the clients' addresses, no
// summaries, no partitions. Upgraded in place by the first of these to
// start on it.
constexpr int FIRST_SCHEMA_VERSION = 1;
// The same in every collector: the advisory lock under which one of several
// collectors starting at once creates (or upgrades) the tables while the
// others wait, and under which partitions are made.
constexpr long long SCHEMA_LOCK_KEY = 0x4c56636f6c6c6563;   // "LVcollec"
// Rows that one FETCH brings when the upgrade reads the old reports.
constexpr int FETCH_ROWS = 10000;
// COPY data is handed to libpq in pieces of about this size.
constexpr std::size_t COPY_CHUNK_BYTES = 1 << 20;
// Reports whose summaries the upgrade writes at once.
constexpr std::uint64_t UPGRADE_CHUNK_REPORTS = 100000;
// The tables partitioned by UTC day, each partition named TABLE_YYYYMMDD:
// a day's expiry drops whole partitions.
const char* const kDayTables[] = {"reports", "malformed", "day_clients"};

using Clock = std::chrono::steady_clock;

// Defaults for the connection, before the URI, which may set any of them: a
// database host that does not answer makes a connection fail within
// CONNECT_TIMEOUT_S (libpq's least), and an idle connection to a host that
// has gone is found out by TCP keepalive instead of the system's two hours.
const char CONNECT_TIMEOUT_S[] = "3";
const char KEEPALIVES_IDLE_S[] = "30";
const char KEEPALIVES_INTERVAL_S[] = "10";
const char KEEPALIVES_COUNT[] = "3";
const char TCP_USER_TIMEOUT_MS[] = "60000";   // sent data left unacknowledged

// How long the collector waits for the database's answers, in its own
// deadline over every statement of a call (libpq itself waits without end
// for a host that accepted the bytes and answers nothing). A batch's
// reports wait for their answer meanwhile, which the front gives up at 30 s:
// a batch not stored within WRITE_TIME_LIMIT goes to the spool and is
// answered from there. The writer's upkeep (two calls for the day's keys,
// one step of the expiry) may come before a batch: at most 3 + 3 + 5 + 5 s
// in all, when the database answers, slowly, just within each. The spool's
// drain and the benchmarks' fill carry up to 20,000 reports a transaction
// and hold up no answer; the upgrade, and the reads of summary and the
// dashboard, wait as long as they take.
constexpr Clock::duration WRITE_TIME_LIMIT = std::chrono::seconds(5);
constexpr Clock::duration DRAIN_TIME_LIMIT = std::chrono::seconds(60);
constexpr Clock::duration KEYS_TIME_LIMIT = std::chrono::seconds(3);
constexpr Clock::duration EXPIRY_STEP_TIME_LIMIT = std::chrono::seconds(5);
constexpr Clock::duration NO_TIME_LIMIT = Clock::duration::max();

// The summaries' rows are each collector's own (the collector column, the
// name of its run): no two collectors' batches wait for one row. Reads sum
// them.
const char kSchema[] =
    "CREATE TABLE reports ("
    " id bigserial,"
    " received_ms bigint NOT NULL,"
    " client_hash text NOT NULL,"
    " user_agent bytea NOT NULL,"
    " kind text NOT NULL CHECK (kind IN ('start', 'success', 'failure', 'cancel')),"
    " code bigint NOT NULL,"
    " seconds bigint,"
    " bytes bigint,"
    " current_url bytea,"
    " os_major bigint NOT NULL,"
    " os_minor bigint NOT NULL,"
    " os_line text NOT NULL CHECK (os_line IN ('nt', 'win')),"
    " language bigint NOT NULL,"
    " query bytea NOT NULL) PARTITION BY RANGE (received_ms);"
    "CREATE INDEX reports_received ON reports (received_ms);"
    "CREATE TABLE malformed ("
    " id bigserial,"
    " received_ms bigint NOT NULL,"
    " client_hash text NOT NULL,"
    " user_agent bytea NOT NULL,"
    " reason text NOT NULL,"
    " query bytea NOT NULL) PARTITION BY RANGE (received_ms);"
    "CREATE TABLE report_hours ("
    " hour_ms bigint NOT NULL, collector text NOT NULL, started bigint NOT NULL, succeeded bigint NOT NULL,"
    " PRIMARY KEY (hour_ms, collector));"
    "CREATE TABLE report_day_counts ("
    " day_ms bigint NOT NULL, collector text NOT NULL, kind text NOT NULL, code bigint NOT NULL,"
    " os_major bigint NOT NULL, os_minor bigint NOT NULL, os_line text NOT NULL,"
    " language bigint NOT NULL, reports bigint NOT NULL,"
    " PRIMARY KEY (day_ms, collector, kind, code, os_major, os_minor, os_line, language));"
    "CREATE TABLE report_spreads ("
    " day_ms bigint NOT NULL, collector text NOT NULL, kind text NOT NULL, measure text NOT NULL,"
    " bucket bigint NOT NULL, reports bigint NOT NULL,"
    " PRIMARY KEY (day_ms, collector, kind, measure, bucket));"
    "CREATE TABLE malformed_counts ("
    " hour_ms bigint NOT NULL, collector text NOT NULL, queries bigint NOT NULL,"
    " PRIMARY KEY (hour_ms, collector));"
    "CREATE TABLE day_clients ("
    " day bigint NOT NULL, client_hash text NOT NULL,"
    " first_failure_ms bigint, last_start_ms bigint,"
    " became_client boolean NOT NULL, became_retried boolean NOT NULL,"
    " PRIMARY KEY (day, client_hash)) PARTITION BY RANGE (day);"
    "CREATE TABLE day_counts ("
    " day bigint NOT NULL, collector text NOT NULL, clients bigint NOT NULL, retried bigint NOT NULL,"
    " own_key_clients bigint NOT NULL, PRIMARY KEY (day, collector));"
    "CREATE TABLE day_keys (day bigint PRIMARY KEY, key bytea NOT NULL);";
const char kBatchesSchema[] =
    "CREATE TABLE stored_batches ("
    " collector text NOT NULL,"
    " batch bigint NOT NULL,"
    " reports bigint NOT NULL,"
    " malformed bigint NOT NULL,"
    " stored_ms bigint NOT NULL,"
    " PRIMARY KEY (collector, batch));"
    "CREATE TABLE schema_version (version integer NOT NULL);"
    "INSERT INTO schema_version VALUES (2);";

const char kCopyReports[] =
    "COPY reports (received_ms, client_hash, user_agent, kind, code, seconds, bytes, current_url,"
    " os_major, os_minor, os_line, language, query) FROM STDIN (FORMAT binary)";
constexpr short REPORT_FIELDS = 13;
const char kCopyMalformed[] =
    "COPY malformed (received_ms, client_hash, user_agent, reason, query) FROM STDIN (FORMAT binary)";
constexpr short MALFORMED_FIELDS = 5;
const char kSelectBatches[] =
    "SELECT collector, batch FROM stored_batches"
    " JOIN unnest($1::text[], $2::bigint[]) AS n(c, b) ON collector = c AND batch = b";
// The hours' rows and the days' in one statement.
// What a transaction adds besides the rows, in one statement (one round
// trip to the database, however many tables): the batches' names, the
// reports per hour and per day, the spreads, the malformed queries, the
// clients' days and the days' counts. The summaries' rows are each
// collector's own ($1), so that no two collectors' batches wait for one
// row; a client's day is the one row collectors share: each changes it
// under its row lock, and the flags say what this statement changed,
// computed from the row as it was when locked (a SET sees the old values):
// a client that started for the first time that day, one that first
// needed Try Again. In the order of the key, so that two collectors lock
// their rows in one order.
const char kSummariesStatement[] = "lv_summaries";
const char kAddSummaries[] =
    "WITH"
    " batches AS (INSERT INTO stored_batches (collector, batch, reports, malformed, stored_ms)"
    "  SELECT c, b, r, m, (extract(epoch FROM clock_timestamp()) * 1000)::bigint"
    "  FROM unnest($2::text[], $3::bigint[], $4::bigint[], $5::bigint[]) AS n(c, b, r, m)),"
    " u(h, k, c, ma, mi, l, g, n) AS (SELECT * FROM unnest($6::bigint[], $7::text[], $8::bigint[],"
    "  $9::bigint[], $10::bigint[], $11::text[], $12::bigint[], $13::bigint[])),"
    " hours AS (INSERT INTO report_hours (hour_ms, collector, started, succeeded)"
    "  SELECT h, $1, coalesce(sum(n) FILTER (WHERE k = 'start'), 0),"
    "  coalesce(sum(n) FILTER (WHERE k = 'success'), 0) FROM u GROUP BY h"
    "  ON CONFLICT (hour_ms, collector) DO UPDATE SET started = report_hours.started + excluded.started,"
    "  succeeded = report_hours.succeeded + excluded.succeeded),"
    " days AS (INSERT INTO report_day_counts (day_ms, collector, kind, code, os_major, os_minor, os_line,"
    "  language, reports) SELECT h - (h % 86400000 + 86400000) % 86400000, $1, k, c, ma, mi, l, g, sum(n)"
    "  FROM u GROUP BY 1, 2, 3, 4, 5, 6, 7, 8"
    "  ON CONFLICT (day_ms, collector, kind, code, os_major, os_minor, os_line, language)"
    "  DO UPDATE SET reports = report_day_counts.reports + excluded.reports),"
    " spreads AS (INSERT INTO report_spreads (day_ms, collector, kind, measure, bucket, reports)"
    "  SELECT d, $1, k, m, b, n FROM unnest($14::bigint[], $15::text[], $16::text[], $17::bigint[],"
    "  $18::bigint[]) AS s(d, k, m, b, n)"
    "  ON CONFLICT (day_ms, collector, kind, measure, bucket)"
    "  DO UPDATE SET reports = report_spreads.reports + excluded.reports),"
    " malformed AS (INSERT INTO malformed_counts (hour_ms, collector, queries)"
    "  SELECT h, $1, n FROM unnest($19::bigint[], $20::bigint[]) AS m(h, n)"
    "  ON CONFLICT (hour_ms, collector) DO UPDATE SET queries = malformed_counts.queries + excluded.queries),"
    " changed AS (INSERT INTO day_clients AS d (day, client_hash, first_failure_ms, last_start_ms,"
    "  became_client, became_retried)"
    "  SELECT y, c, f, l, l IS NOT NULL, coalesce(f <= l, false)"
    "  FROM unnest($21::bigint[], $22::text[], $23::bigint[], $24::bigint[]) AS v(y, c, f, l) ORDER BY y, c"
    "  ON CONFLICT (day, client_hash) DO UPDATE SET"
    "  first_failure_ms = least(d.first_failure_ms, excluded.first_failure_ms),"
    "  last_start_ms = greatest(d.last_start_ms, excluded.last_start_ms),"
    "  became_client = d.last_start_ms IS NULL AND excluded.last_start_ms IS NOT NULL,"
    "  became_retried = NOT coalesce(d.first_failure_ms <= d.last_start_ms, false) AND"
    "   coalesce(least(d.first_failure_ms, excluded.first_failure_ms) <="
    "    greatest(d.last_start_ms, excluded.last_start_ms), false)"
    "  RETURNING day, client_hash, became_client, became_retried),"
    " added AS (SELECT day, sum(became_client::int) AS clients, sum(became_retried::int) AS retried,"
    "  sum((became_client AND left(client_hash, 1) = '~')::int) AS own FROM changed"
    "  WHERE became_client OR became_retried GROUP BY day)"
    " INSERT INTO day_counts (day, collector, clients, retried, own_key_clients)"
    " SELECT day, $1, clients, retried, own FROM added"
    " ON CONFLICT (day, collector) DO UPDATE SET clients = day_counts.clients + excluded.clients,"
    " retried = day_counts.retried + excluded.retried,"
    " own_key_clients = day_counts.own_key_clients + excluded.own_key_clients";

const char kSelectCounts[] =
    "SELECT kind, code, os_major, os_minor, os_line, language, sum(reports) FROM report_day_counts"
    " WHERE day_ms >= $1 AND day_ms < $2 GROUP BY kind, code, os_major, os_minor, os_line, language";
const char kSelectHours[] =
    "SELECT hour_ms, sum(started), sum(succeeded) FROM report_hours WHERE hour_ms >= $1 AND hour_ms < $2"
    " GROUP BY hour_ms";
const char kSelectSpan[] =
    "SELECT min(day_ms), max(day_ms) FROM report_day_counts WHERE day_ms >= $1 AND day_ms < $2";
const char kSelectSpreads[] =
    "SELECT kind, measure, bucket, sum(reports) FROM report_spreads WHERE day_ms >= $1 AND day_ms < $2"
    " GROUP BY kind, measure, bucket";
const char kSelectMalformed[] =
    "SELECT coalesce(sum(queries), 0) FROM malformed_counts WHERE hour_ms >= $1 AND hour_ms < $2";
const char kSelectDays[] =
    "SELECT day, sum(clients), sum(retried), sum(own_key_clients) FROM day_counts"
    " WHERE day >= $1 AND day < $2 GROUP BY day ORDER BY day";
const char kSelectLatest[] =
    "SELECT received_ms, client_hash, kind, code, seconds, bytes, current_url, os_major, os_minor,"
    " os_line, user_agent, language FROM reports ORDER BY received_ms DESC, id DESC LIMIT $1";

struct ConnectionCloser {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct ResultClearer {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;
using Result = std::unique_ptr<PGresult, ResultClearer>;

// A PostgreSQL array in its text form, each element quoted.
std::string ArrayLiteral(const std::vector<std::string>& elements)
{
    std::string literal = "{";
    for (const std::string& element : elements) {
        if (literal.size() > 1)
            literal += ',';
        literal += '"';
        for (char c : element) {
            if (c == '"' || c == '\\')
                literal += '\\';
            literal += c;
        }
        literal += '"';
    }
    return literal + "}";
}

// libpq's messages end in a newline and may run over several lines.
std::string OneLine(const char* message)
{
    std::string line;
    for (const char* c = message; *c; ++c) {
        bool blank = *c == '\n' || *c == '\t' || *c == '\r';
        if (!blank)
            line += *c;
        else if (!line.empty() && line.back() != ' ')
            line += ' ';
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

// Binary COPY rows (the format of PostgreSQL's COPY BINARY): a signature, a
// tuple per row with each field's length before it, and a trailer. No text
// is escaped, so the bytes of a query go in as they came.
class CopyRows {
public:
    CopyRows()
    {
        buffer_.append("PGCOPY\n\377\r\n\0", 11);
        Int32(0);   // flags
        Int32(0);   // header extension length
    }

    void Row(short fields) { Int16(fields); }

    void Int64Field(std::int64_t value)
    {
        Int32(8);
        for (int shift = 56; shift >= 0; shift -= 8)
            buffer_ += static_cast<char>((static_cast<std::uint64_t>(value) >> shift) & 0xff);
    }

    void BytesField(const char* bytes, std::size_t size)
    {
        Int32(static_cast<std::int32_t>(size));
        buffer_.append(bytes, size);
    }
    void BytesField(const std::string& bytes) { BytesField(bytes.data(), bytes.size()); }
    void TextField(const char* text) { BytesField(text, std::strlen(text)); }
    void NullField() { Int32(-1); }

    void End() { Int16(-1); }

    std::string& Buffer() { return buffer_; }

private:
    void Int16(std::int16_t value)
    {
        buffer_ += static_cast<char>((static_cast<std::uint16_t>(value) >> 8) & 0xff);
        buffer_ += static_cast<char>(static_cast<std::uint16_t>(value) & 0xff);
    }
    void Int32(std::int32_t value)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            buffer_ += static_cast<char>((static_cast<std::uint32_t>(value) >> shift) & 0xff);
    }

    std::string buffer_;
};

std::int64_t Int64At(const PGresult* result, int row, int column)
{
    if (PQgetisnull(result, row, column) || PQgetlength(result, row, column) != 8)
        return 0;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(PQgetvalue(result, row, column));
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value = value << 8 | bytes[i];
    return static_cast<std::int64_t>(value);
}

std::string BytesAt(const PGresult* result, int row, int column)
{
    return std::string(PQgetvalue(result, row, column),
                       static_cast<std::size_t>(PQgetlength(result, row, column)));
}

std::string Int64Text(std::int64_t value)
{
    return std::to_string(value);
}

// An array of numbers in its text form; -1 stands for NULL.
std::string NumberArray(const std::vector<std::int64_t>& numbers, bool minusOneIsNull = false)
{
    std::string literal = "{";
    for (std::int64_t number : numbers) {
        if (literal.size() > 1)
            literal += ',';
        literal += minusOneIsNull && number < 0 ? "NULL" : std::to_string(number);
    }
    return literal + "}";
}

// "reports_20240501": a table's partition of a UTC day.
std::string PartitionName(const char* table, std::int64_t day)
{
    std::string text = DayText(day);
    return std::string(table) + "_" + text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2);
}

// The day of a partition's name; false for another table's.
bool PartitionDay(const std::string& name, const char* table, std::int64_t* day)
{
    std::string prefix = std::string(table) + "_";
    if (name.size() != prefix.size() + 8 || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    std::string digits = name.substr(prefix.size());
    return ParseDay(digits.substr(0, 4) + "-" + digits.substr(4, 2) + "-" + digits.substr(6, 2), day);
}

class PostgresStore : public ReportStore {
public:
    // Connects now, checking (and upgrading) the schema; without `away`,
    // a failure to connect throws, with it, the store is made all the same
    // and *away says why, for a collector that listens before its database
    // is there.
    PostgresStore(std::string uri, StoreAccess access, const UpgradeOptions& upgrade, std::string* away)
        : uri_(std::move(uri)), access_(access), upgrade_(upgrade)
    {
        try {
            Connect(true);
        } catch (const Unreachable& error) {
            if (!away)
                throw;
            *away = error.what();
        }
    }

    // All or nothing, as the interface asks. Any failure closes the
    // connection (a failed transaction has nothing worth keeping on it); the
    // next call connects again. When the connection broke during COMMIT the
    // batch may be in: a batch tried before is first looked for in
    // stored_batches, by its name, so that nothing is stored twice.
    void Append(const std::vector<Received>& batch, const BatchName& name) override
    {
        AppendWithin({NamedBatch{&batch, name}}, WRITE_TIME_LIMIT);
    }

    // One transaction for them all: a spool drained after an outage goes
    // in at the database's pace, not at one commit per batch it kept.
    void AppendSeveral(const std::vector<NamedBatch>& batches) override
    {
        AppendWithin(batches, DRAIN_TIME_LIMIT);
    }

    void Reach() override
    {
        Within limit(this, DRAIN_TIME_LIMIT);
        if (!connection_)
            Connect(true);
    }

    Summaries ReadSummaries(const Period& period) override
    {
        Summaries summaries;
        Guarded([&] {
            // One snapshot for every part of the answer.
            Execute("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
            summaries = Read(period);
            Execute("COMMIT");
        });
        return summaries;
    }

    std::vector<StoredReport> Latest(std::size_t count) override
    {
        std::vector<StoredReport> latest;
        Guarded([&] {
            std::string limit = std::to_string(count);
            const char* values[] = {limit.c_str()};
            Result rows(ExecParams(kSelectLatest, 1, nullptr, values, nullptr, nullptr, 1));
            Check(rows.get(), PGRES_TUPLES_OK, "reading the latest reports");
            for (int row = 0; row < PQntuples(rows.get()); ++row)
                latest.push_back(ReportAt(rows.get(), row));
        });
        return latest;
    }

    std::map<std::int64_t, DayKey> DayKeys(std::int64_t firstDay, std::int64_t lastDay) override
    {
        std::map<std::int64_t, DayKey> keys;
        Within within(this, KEYS_TIME_LIMIT);
        Guarded([&] {
            Execute("BEGIN");
            keys = KeysOf(firstDay, lastDay);
            Execute("COMMIT");
        });
        return keys;
    }

    void ForgetDayKeys(std::int64_t day) override
    {
        Within within(this, KEYS_TIME_LIMIT);
        Guarded([&] {
            Query("DELETE FROM day_keys WHERE day < $1", {Int64Text(day)}, PGRES_COMMAND_OK,
                  "deleting the keys of past days");
            // The deleted rows are removed from the table's pages now.
            Execute("VACUUM day_keys");
        });
    }

    bool ExpireStep(std::int64_t day) override
    {
        bool dropped = false;
        Within within(this, EXPIRY_STEP_TIME_LIMIT);
        Guarded([&] {
            // The oldest partition of any of the day tables, one a step.
            Result found(Exec("SELECT c.relname, p.relname FROM pg_inherits i"
                              " JOIN pg_class c ON c.oid = i.inhrelid JOIN pg_class p ON p.oid = i.inhparent"
                              " WHERE p.relname IN ('reports', 'malformed', 'day_clients')"
                              " AND p.relnamespace = 'public'::regnamespace"));
            Check(found.get(), PGRES_TUPLES_OK, "listing the partitions");
            std::string oldest;
            std::int64_t oldestDay = day;
            for (int row = 0; row < PQntuples(found.get()); ++row) {
                std::string name = PQgetvalue(found.get(), row, 0);
                std::string parent = PQgetvalue(found.get(), row, 1);
                std::int64_t partitionDay = 0;
                if (PartitionDay(name, parent.c_str(), &partitionDay) && partitionDay < oldestDay) {
                    oldestDay = partitionDay;
                    oldest = name;
                }
            }
            if (oldest.empty())
                return;
            std::string drop = "DROP TABLE IF EXISTS " + oldest;
            Execute(drop.c_str());
            partitions_.clear();
            dropped = true;
        });
        return dropped;
    }

    std::uint64_t ReportsBefore(std::int64_t day) override
    {
        std::uint64_t count = 0;
        Guarded([&] {
            Result result = Query("SELECT count(*) FROM reports WHERE received_ms < $1",
                                  {Int64Text(day * DAY_MS)}, PGRES_TUPLES_OK, "counting the old reports");
            count = std::strtoull(PQgetvalue(result.get(), 0, 0), nullptr, 10);
        });
        return count;
    }

private:
    // The writer's batch, or the drain's several, within `limit`.
    void AppendWithin(const std::vector<NamedBatch>& batches, Clock::duration limit)
    {
        Within within(this, limit);
        Guarded([&] {
            std::vector<NamedBatch> fresh;
            std::vector<const NamedBatch*> tried;
            for (const NamedBatch& batch : batches)
                if (batch.name.triedBefore)
                    tried.push_back(&batch);
            std::set<std::pair<std::string, std::int64_t>> stored = StoredNames(tried);
            for (const NamedBatch& batch : batches)
                if (!batch.reports->empty() && !stored.count({batch.name.source, batch.name.number}))
                    fresh.push_back(batch);
            if (!fresh.empty())
                Store(fresh);
        });
    }

    // A connection that could not be made: the database is away, or will
    // not have this collector.
    class Unreachable : public StoreError {
    public:
        using StoreError::StoreError;
    };

    // The deadline of every statement until it goes out of scope: `limit`
    // from now. The last made rules (the upgrade's, none, inside a drain's).
    class Within {
    public:
        Within(PostgresStore* store, Clock::duration limit)
            : store_(store), savedDeadline_(store->deadline_), savedLimit_(store->limit_)
        {
            store->deadline_ = limit == NO_TIME_LIMIT ? Clock::time_point::max() : Clock::now() + limit;
            store->limit_ = limit;
        }
        ~Within()
        {
            store_->deadline_ = savedDeadline_;
            store_->limit_ = savedLimit_;
        }
        Within(const Within&) = delete;
        Within& operator=(const Within&) = delete;

    private:
        PostgresStore* store_;
        Clock::time_point savedDeadline_;
        Clock::duration savedLimit_;
    };

    // Runs `work` on a connection, made first if there is none (one that
    // finds a schema to upgrade leaves that to Reach); any failure leaves
    // none.
    template <typename Work>
    void Guarded(Work work)
    {
        if (!connection_)
            Connect(false);
        try {
            work();
        } catch (const StoreError&) {
            connection_.reset();
            partitions_.clear();
            throw;
        }
    }

    [[noreturn]] void Fail(const std::string& what)
    {
        throw StoreError("PostgreSQL, " + what + ": " + OneLine(PQerrorMessage(connection_.get())));
    }

    void Check(const PGresult* result, ExecStatusType expected, const std::string& what)
    {
        if (PQresultStatus(result) != expected) {
            const char* message = result ? PQresultErrorMessage(result) : "";
            if (*message)
                throw StoreError("PostgreSQL, " + what + ": " + OneLine(message));
            Fail(what);
        }
    }

    void Execute(const char* sql)
    {
        Result result(Exec(sql));
        Check(result.get(), PGRES_COMMAND_OK, sql);
    }

    // PQexec and PQexecParams, but sent without blocking and waited for
    // until the deadline: past it, StoreError, and the connection, which is
    // in the middle of an exchange, is closed by the caller (Guarded).
    Result Exec(const char* sql)
    {
        if (!PQsendQuery(connection_.get(), sql))
            Fail("sending a statement");
        return Await(sql);
    }

    Result ExecParams(const char* sql, int count, const Oid* types, const char* const* values, const int* lengths,
                      const int* formats, int resultFormat)
    {
        if (!PQsendQueryParams(connection_.get(), sql, count, types, values, lengths, formats, resultFormat))
            Fail("sending a statement");
        return Await(sql);
    }

    Result Prepare(const char* name, const char* sql)
    {
        if (!PQsendPrepare(connection_.get(), name, sql, 0, nullptr))
            Fail("preparing a statement");
        return Await(name);
    }

    // Text parameters, a text result.
    Result ExecPrepared(const char* name, int count, const char* const* values)
    {
        if (!PQsendQueryPrepared(connection_.get(), name, count, values, nullptr, nullptr, 0))
            Fail("sending a statement");
        return Await(name);
    }

    // Waits until the socket is ready for `events` (POLLIN, POLLOUT), or
    // throws at the deadline; the events that came.
    short WaitFor(short events, const char* what)
    {
        for (;;) {
            int timeout = -1;
            if (deadline_ != Clock::time_point::max()) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
                if (left.count() <= 0)
                    TimedOut(what);
                timeout = static_cast<int>(left.count()) + 1;
            }
            pollfd socket = {PQsocket(connection_.get()), events, 0};
            int ready = poll(&socket, 1, timeout);
            if (ready > 0)
                return socket.revents;
            if (ready == 0)
                TimedOut(what);
            if (errno != EINTR)
                Fail(what);
        }
    }

    [[noreturn]] void TimedOut(const char* what)
    {
        std::string said = what;
        if (said.size() > 60)
            said = said.substr(0, 57) + "...";
        throw StoreError("PostgreSQL did not answer within " +
                         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit_).count()) +
                         " s (" + said + ")");
    }

    // What libpq holds to send, sent (reading meanwhile what comes back,
    // as libpq asks of a caller that does not block).
    void Flush(const char* what)
    {
        for (;;) {
            int left = PQflush(connection_.get());
            if (left == 0)
                return;
            if (left < 0)
                Fail(what);
            if ((WaitFor(POLLIN | POLLOUT, what) & POLLIN) && !PQconsumeInput(connection_.get()))
                Fail(what);
        }
    }

    // The statement's last result, or its first error; a COPY's start as
    // soon as it comes.
    Result Await(const char* what)
    {
        Flush(what);
        Result last;
        for (;;) {
            while (PQisBusy(connection_.get())) {
                WaitFor(POLLIN, what);
                if (!PQconsumeInput(connection_.get()))
                    Fail(what);
            }
            Result next(PQgetResult(connection_.get()));
            if (!next)
                return last;
            ExecStatusType status = PQresultStatus(next.get());
            if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH)
                return next;
            if (!last || PQresultStatus(last.get()) != PGRES_FATAL_ERROR)
                last = std::move(next);
        }
    }

    // Text parameters: the collector's name, numbers and hashes, nothing
    // from the wire.
    Result Query(const char* sql, const std::vector<std::string>& parameters, ExecStatusType expected,
                 const char* what)
    {
        std::vector<const char*> values;
        for (const std::string& parameter : parameters)
            values.push_back(parameter.c_str());
        Result result(ExecParams(sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
        Check(result.get(), expected, what);
        return result;
    }

    // `mayUpgrade`: a schema of an earlier collector is upgraded here, with
    // no time limit; else it is left to Reach, and this throws.
    void Connect(bool mayUpgrade)
    {
        // Ours first: the URI's own settings, expanded from dbname, win.
        const char* keywords[] = {"connect_timeout", "keepalives_idle", "keepalives_interval",
                                  "keepalives_count", "tcp_user_timeout", "application_name",
                                  "dbname", nullptr};
        const char* values[] = {CONNECT_TIMEOUT_S, KEEPALIVES_IDLE_S, KEEPALIVES_INTERVAL_S,
                                KEEPALIVES_COUNT, TCP_USER_TIMEOUT_MS, "lvcollect",
                                uri_.c_str(), nullptr};
        connection_.reset(PQconnectdbParams(keywords, values, 1));
        summariesPrepared_ = false;
        if (!connection_)
            throw StoreError("cannot connect to PostgreSQL: out of memory");
        if (PQstatus(connection_.get()) != CONNECTION_OK) {
            std::string message = OneLine(PQerrorMessage(connection_.get()));
            connection_.reset();
            throw Unreachable("cannot connect to PostgreSQL: " + message);
        }
        // Every statement is sent and waited for by this store itself, up
        // to its deadline (Await).
        if (PQsetnonblocking(connection_.get(), 1) != 0) {
            std::string message = OneLine(PQerrorMessage(connection_.get()));
            connection_.reset();
            throw StoreError("PostgreSQL, a connection that does not block: " + message);
        }
        // PostgreSQL's notices ("relation ... already exists, skipping" of a
        // partition that another collector made first) are no news here.
        PQsetNoticeProcessor(connection_.get(), [](void*, const char*) {}, nullptr);
        try {
            CheckSchema(mayUpgrade);
        } catch (const StoreError&) {
            connection_.reset();
            throw;
        }
    }

    // Run on every connection: a database that was set up anew while the
    // collector ran gets its tables again.
    void CheckSchema(bool mayUpgrade)
    {
        Execute("BEGIN");
        if (access_ == StoreAccess::ReadWrite) {
            char lock[96];
            std::snprintf(lock, sizeof lock, "SELECT pg_advisory_xact_lock(%lld)", SCHEMA_LOCK_KEY);
            Result locked(Exec(lock));
            Check(locked.get(), PGRES_TUPLES_OK, "waiting for the schema lock");
        }
        // A statement after the lock sees what a collector that held it committed.
        Result exists(Exec("SELECT to_regclass('schema_version') IS NOT NULL"));
        Check(exists.get(), PGRES_TUPLES_OK, "looking for the schema");
        if (std::strcmp(PQgetvalue(exists.get(), 0, 0), "t") != 0) {
            if (access_ == StoreAccess::ReadOnly)
                throw StoreError("the PostgreSQL database holds no reports of lvcollect");
            Execute(kSchema);
            Execute(kBatchesSchema);
        }
        Result version(Exec("SELECT max(version) FROM schema_version"));
        Check(version.get(), PGRES_TUPLES_OK, "reading the schema version");
        int found = std::atoi(PQgetvalue(version.get(), 0, 0));
        if (found > SCHEMA_VERSION)
            throw StoreRefused("the PostgreSQL database was written by a newer lvcollect (schema version " +
                               std::to_string(found) + "; this one knows up to " + std::to_string(SCHEMA_VERSION) +
                               "): run that one, or a newer one");
        if (found == FIRST_SCHEMA_VERSION && access_ == StoreAccess::ReadOnly)
            throw StoreError("the PostgreSQL database was written by an earlier lvcollect: start lvcollect "
                             "serve on it once to upgrade it");
        if (found == FIRST_SCHEMA_VERSION && !mayUpgrade)
            throw StoreError("the PostgreSQL database was written by an earlier lvcollect and waits for its "
                             "upgrade");
        if (found == FIRST_SCHEMA_VERSION) {
            std::fputs("lvcollect: the PostgreSQL database was written by an earlier lvcollect: upgrading it\n",
                       stderr);
            Clock::time_point started = Clock::now();
            Upgrade();
            std::fprintf(stderr, "lvcollect: the PostgreSQL database is upgraded (%.0f s)\n",
                         std::chrono::duration<double>(Clock::now() - started).count());
        } else if (found != SCHEMA_VERSION)
            throw StoreError("the PostgreSQL database has schema version " + std::to_string(found) +
                             ", which no lvcollect wrote");
        Execute("COMMIT");
    }

    // Which of the named batches are in the database already.
    std::set<std::pair<std::string, std::int64_t>> StoredNames(const std::vector<const NamedBatch*>& batches)
    {
        std::set<std::pair<std::string, std::int64_t>> stored;
        if (batches.empty())
            return stored;
        std::vector<std::string> sources, numbers;
        for (const NamedBatch* batch : batches) {
            sources.push_back(batch->name.source);
            numbers.push_back(std::to_string(batch->name.number));
        }
        Result found = Query(kSelectBatches, {ArrayLiteral(sources), ArrayLiteral(numbers)}, PGRES_TUPLES_OK,
                             "looking for batches");
        for (int row = 0; row < PQntuples(found.get()); ++row)
            stored.emplace(PQgetvalue(found.get(), row, 0),
                           std::strtoll(PQgetvalue(found.get(), row, 1), nullptr, 10));
        return stored;
    }

    // The partitions of these days, made where missing, each in a
    // transaction of its own under the schema lock (two collectors may
    // want the same one at once).
    void EnsurePartitions(const std::set<std::int64_t>& days)
    {
        for (std::int64_t day : days) {
            if (partitions_.count(day))
                continue;
            Execute("BEGIN");
            char lock[96];
            std::snprintf(lock, sizeof lock, "SELECT pg_advisory_xact_lock(%lld)", SCHEMA_LOCK_KEY);
            Result locked(Exec(lock));
            Check(locked.get(), PGRES_TUPLES_OK, "waiting for the schema lock");
            CreatePartitions(day);
            Execute("COMMIT");
            partitions_.insert(day);
        }
    }

    void CreatePartitions(std::int64_t day)
    {
        for (const char* table : kDayTables) {
            bool byDay = std::strcmp(table, "day_clients") == 0;
            std::int64_t from = byDay ? day : day * DAY_MS, to = byDay ? day + 1 : (day + 1) * DAY_MS;
            std::string sql = "CREATE TABLE IF NOT EXISTS " + PartitionName(table, day) + " PARTITION OF " +
                              table + " FOR VALUES FROM (" + std::to_string(from) + ") TO (" +
                              std::to_string(to) + ")";
            Execute(sql.c_str());
        }
    }

    void Store(const std::vector<NamedBatch>& batches)
    {
        std::vector<std::string> sources, numbers, reportCounts, malformedCounts;
        std::size_t reports = 0, malformed = 0;
        std::map<std::string, SummaryDelta> deltas;   // by collector
        std::set<std::int64_t> days;
        for (const NamedBatch& batch : batches) {
            std::size_t valid = 0;
            SummaryDelta& delta = deltas[batch.name.source];
            for (const Received& received : *batch.reports) {
                valid += received.parsed.valid ? 1 : 0;
                days.insert(DayOf(received.receivedMs));
                if (received.parsed.valid)
                    delta.AddReport(received.receivedMs, received.client, received.parsed.report);
                else
                    delta.AddMalformed(received.receivedMs);
            }
            sources.push_back(batch.name.source);
            numbers.push_back(std::to_string(batch.name.number));
            reportCounts.push_back(std::to_string(valid));
            malformedCounts.push_back(std::to_string(batch.reports->size() - valid));
            reports += valid;
            malformed += batch.reports->size() - valid;
        }
        EnsurePartitions(days);
        Execute("BEGIN");
        if (reports > 0)
            Copy(kCopyReports, batches, true);
        if (malformed > 0)
            Copy(kCopyMalformed, batches, false);
        // The batches' names go with the first collector's summaries.
        std::vector<std::string> names = {ArrayLiteral(sources), ArrayLiteral(numbers), ArrayLiteral(reportCounts),
                                          ArrayLiteral(malformedCounts)};
        for (const auto& [collector, delta] : deltas) {
            ApplyDelta(collector, delta, names);
            names = {"{}", "{}", "{}", "{}"};
        }
        Execute("COMMIT");
    }

    // `names`: the stored_batches arrays (collector, batch, reports,
    // malformed), empty ones ("{}") when another statement carries them.
    void ApplyDelta(const std::string& collector, const SummaryDelta& delta, const std::vector<std::string>& names)
    {
        std::vector<std::int64_t> hours, codes, majors, minors, languages, counts;
        std::vector<std::string> kinds, lines;
        for (const auto& [key, count] : delta.counts) {
            hours.push_back(key.hourMs);
            kinds.push_back(KindName(key.kind));
            codes.push_back(key.code);
            majors.push_back(key.osMajor);
            minors.push_back(key.osMinor);
            lines.push_back(key.ntLine ? "nt" : "win");
            languages.push_back(key.language);
            counts.push_back(static_cast<std::int64_t>(count));
        }
        std::vector<std::int64_t> spreadDays, buckets, spreadCounts;
        std::vector<std::string> spreadKinds, measures;
        for (const auto& [key, count] : delta.spreads) {
            spreadDays.push_back(key.dayMs);
            spreadKinds.push_back(KindName(key.kind));
            measures.push_back(MeasureName(key.measure));
            buckets.push_back(key.bucket);
            spreadCounts.push_back(static_cast<std::int64_t>(count));
        }
        std::vector<std::int64_t> malformedHours, malformedCounts;
        for (const auto& [hourMs, count] : delta.malformed) {
            malformedHours.push_back(hourMs);
            malformedCounts.push_back(static_cast<std::int64_t>(count));
        }
        std::vector<std::int64_t> days, failures, starts;
        std::vector<std::string> hashes;
        for (const auto& [dayClient, times] : delta.clients) {
            days.push_back(dayClient.first);
            hashes.push_back(dayClient.second);
            failures.push_back(times.firstFailureMs);
            starts.push_back(times.lastStartMs);
        }
        // Prepared once a connection: planning a statement of seven parts
        // costs more than running it on a batch.
        if (!summariesPrepared_) {
            Result prepared(Prepare(kSummariesStatement, kAddSummaries));
            Check(prepared.get(), PGRES_COMMAND_OK, "preparing the summaries' statement");
            summariesPrepared_ = true;
        }
        const std::vector<std::string> parameters = {
            collector, names[0], names[1], names[2], names[3], NumberArray(hours), ArrayLiteral(kinds),
            NumberArray(codes), NumberArray(majors), NumberArray(minors), ArrayLiteral(lines),
            NumberArray(languages), NumberArray(counts), NumberArray(spreadDays), ArrayLiteral(spreadKinds),
            ArrayLiteral(measures), NumberArray(buckets), NumberArray(spreadCounts), NumberArray(malformedHours),
            NumberArray(malformedCounts), NumberArray(days), ArrayLiteral(hashes), NumberArray(failures, true),
            NumberArray(starts, true)};
        std::vector<const char*> values;
        for (const std::string& parameter : parameters)
            values.push_back(parameter.c_str());
        Result stored(ExecPrepared(kSummariesStatement, static_cast<int>(values.size()), values.data()));
        Check(stored.get(), PGRES_COMMAND_OK, "storing the summaries");
    }

    Summaries Read(const Period& period)
    {
        Summaries summaries;
        std::vector<std::string> ms = {Int64Text(period.FromMs()), Int64Text(period.ToMs())};
        Result counts = Query(kSelectCounts, ms, PGRES_TUPLES_OK, "reading the counts");
        for (int row = 0; row < PQntuples(counts.get()); ++row) {
            CountKey key;
            if (!KindOfName(PQgetvalue(counts.get(), row, 0), &key.kind))
                throw StoreError("a count of unknown kind in the store");
            key.code = static_cast<std::uint32_t>(std::strtoull(PQgetvalue(counts.get(), row, 1), nullptr, 10));
            key.osMajor = static_cast<std::uint32_t>(std::strtoull(PQgetvalue(counts.get(), row, 2), nullptr, 10));
            key.osMinor = static_cast<std::uint32_t>(std::strtoull(PQgetvalue(counts.get(), row, 3), nullptr, 10));
            key.ntLine = std::strcmp(PQgetvalue(counts.get(), row, 4), "nt") == 0;
            key.language = static_cast<std::uint32_t>(std::strtoull(PQgetvalue(counts.get(), row, 5), nullptr, 10));
            summaries.counts[key] += std::strtoull(PQgetvalue(counts.get(), row, 6), nullptr, 10);
        }
        Result hours = Query(kSelectHours, ms, PGRES_TUPLES_OK, "reading the hours");
        for (int row = 0; row < PQntuples(hours.get()); ++row) {
            auto& hour = summaries.hourly[std::strtoll(PQgetvalue(hours.get(), row, 0), nullptr, 10)];
            hour.first += std::strtoull(PQgetvalue(hours.get(), row, 1), nullptr, 10);
            hour.second += std::strtoull(PQgetvalue(hours.get(), row, 2), nullptr, 10);
        }
        Result span = Query(kSelectSpan, ms, PGRES_TUPLES_OK, "reading the span");
        if (!PQgetisnull(span.get(), 0, 0)) {
            summaries.firstHourMs = std::strtoll(PQgetvalue(span.get(), 0, 0), nullptr, 10);
            summaries.lastHourMs = std::strtoll(PQgetvalue(span.get(), 0, 1), nullptr, 10);
        }
        Result spreads = Query(kSelectSpreads, ms, PGRES_TUPLES_OK, "reading the spreads");
        for (int row = 0; row < PQntuples(spreads.get()); ++row) {
            SpreadKey key;
            if (!KindOfName(PQgetvalue(spreads.get(), row, 0), &key.kind) ||
                !MeasureOfName(PQgetvalue(spreads.get(), row, 1), &key.measure))
                throw StoreError("a spread of unknown kind in the store");
            key.bucket = static_cast<std::uint32_t>(std::strtoull(PQgetvalue(spreads.get(), row, 2), nullptr, 10));
            summaries.spreads[key] += std::strtoull(PQgetvalue(spreads.get(), row, 3), nullptr, 10);
        }
        Result malformed = Query(kSelectMalformed, ms, PGRES_TUPLES_OK, "reading the malformed queries");
        summaries.malformed = std::strtoull(PQgetvalue(malformed.get(), 0, 0), nullptr, 10);
        std::int64_t fromDay = period.hasFrom ? period.fromDay : INT64_MIN;
        std::int64_t toDay = period.hasTo ? period.toDay + 1 : INT64_MAX;
        Result days = Query(kSelectDays, {Int64Text(fromDay), Int64Text(toDay)}, PGRES_TUPLES_OK,
                            "reading the clients");
        for (int row = 0; row < PQntuples(days.get()); ++row) {
            DayClients day;
            day.day = std::strtoll(PQgetvalue(days.get(), row, 0), nullptr, 10);
            day.clients = std::strtoull(PQgetvalue(days.get(), row, 1), nullptr, 10);
            day.retried = std::strtoull(PQgetvalue(days.get(), row, 2), nullptr, 10);
            day.ownKeys = std::strtoull(PQgetvalue(days.get(), row, 3), nullptr, 10) > 0;
            summaries.days.push_back(day);
        }
        return summaries;
    }

    // Within a transaction.
    std::map<std::int64_t, DayKey> KeysOf(std::int64_t firstDay, std::int64_t lastDay)
    {
        for (std::int64_t day = firstDay; day <= lastDay; ++day) {
            DayKey fresh = RandomDayKey();
            std::string day_text = Int64Text(day);
            const char* values[] = {day_text.c_str(), reinterpret_cast<const char*>(fresh.data())};
            int lengths[] = {0, static_cast<int>(fresh.size())};
            int formats[] = {0, 1};
            Result inserted(ExecParams("INSERT INTO day_keys VALUES ($1, $2) ON CONFLICT (day) DO NOTHING", 2,
                                       nullptr, values, lengths, formats, 0));
            OPENSSL_cleanse(fresh.data(), fresh.size());
            Check(inserted.get(), PGRES_COMMAND_OK, "making a day's key");
        }
        std::string first = Int64Text(firstDay), last = Int64Text(lastDay);
        const char* values[] = {first.c_str(), last.c_str()};
        Result rows(ExecParams("SELECT day, key FROM day_keys WHERE day BETWEEN $1 AND $2", 2, nullptr, values,
                               nullptr, nullptr, 1));
        Check(rows.get(), PGRES_TUPLES_OK, "reading the days' keys");
        std::map<std::int64_t, DayKey> keys;
        for (int row = 0; row < PQntuples(rows.get()); ++row) {
            if (PQgetlength(rows.get(), row, 1) != static_cast<int>(DAY_KEY_BYTES))
                throw StoreError("a day's key of the wrong size in the store");
            DayKey& key = keys[Int64At(rows.get(), row, 0)];
            std::memcpy(key.data(), PQgetvalue(rows.get(), row, 1), DAY_KEY_BYTES);
        }
        return keys;
    }

    // The first collector's database, within CheckSchema's transaction and
    // lock: its reports and malformed queries move to the new, partitioned
    // tables with their clients hashed (each past day under a key made for
    // it and destroyed at the end, the day under way under the fleet's),
    // the summaries are built from them, and the old tables, and with them
    // their files and every address, are dropped.
    void Upgrade()
    {
        Within unlimited(this, NO_TIME_LIMIT);
        Execute("ALTER TABLE reports RENAME TO reports_v1; ALTER TABLE malformed RENAME TO malformed_v1");
        Execute(kSchema);
        Execute("UPDATE schema_version SET version = 2");
        Result dayRows(Exec("SELECT DISTINCT floor(received_ms / 86400000.0)::bigint FROM reports_v1 UNION"
                            " SELECT DISTINCT floor(received_ms / 86400000.0)::bigint FROM malformed_v1"));
        Check(dayRows.get(), PGRES_TUPLES_OK, "listing the days to upgrade");
        for (int row = 0; row < PQntuples(dayRows.get()); ++row)
            CreatePartitions(std::strtoll(PQgetvalue(dayRows.get(), row, 0), nullptr, 10));
        std::int64_t today = DayOf(upgrade_.nowMs);
        std::map<std::int64_t, DayKey> keys = KeysOf(today, today + 1);
        Result total(Exec("SELECT (SELECT count(*) FROM reports_v1) + (SELECT count(*) FROM malformed_v1)"));
        Check(total.get(), PGRES_TUPLES_OK, "counting the reports to upgrade");
        std::uint64_t rows = std::strtoull(PQgetvalue(total.get(), 0, 0), nullptr, 10), done = 0;
        const std::string collector = "upgrade";
        for (bool valid : {true, false}) {
            Execute(valid ? "DECLARE lv_old NO SCROLL CURSOR FOR SELECT received_ms, client, user_agent, query, ''"
                            " FROM reports_v1 ORDER BY received_ms, id"
                          : "DECLARE lv_old NO SCROLL CURSOR FOR SELECT received_ms, client, user_agent, query,"
                            " convert_to(reason, 'UTF8') FROM malformed_v1 ORDER BY received_ms, id");
            char fetch[64];
            std::snprintf(fetch, sizeof fetch, "FETCH FORWARD %d FROM lv_old", FETCH_ROWS);
            SummaryDelta delta;
            std::uint64_t sinceApplied = 0;
            for (;;) {
                Result old(ExecParams(fetch, 0, nullptr, nullptr, nullptr, nullptr, 1));
                Check(old.get(), PGRES_TUPLES_OK, "reading the reports to upgrade");
                int count = PQntuples(old.get());
                if (count == 0)
                    break;
                std::vector<Received> batch(static_cast<std::size_t>(count));
                for (int row = 0; row < count; ++row) {
                    Received& received = batch[static_cast<std::size_t>(row)];
                    received.receivedMs = Int64At(old.get(), row, 0);
                    std::int64_t day = DayOf(received.receivedMs);
                    auto key = keys.find(day);
                    if (key == keys.end())
                        key = keys.emplace(day, RandomDayKey()).first;
                    received.client = ClientHash(key->second, BytesAt(old.get(), row, 1));
                    received.userAgent = BytesAt(old.get(), row, 2);
                    received.query = BytesAt(old.get(), row, 3);
                    received.parsed = ParseReportQuery(received.query);
                    if (!valid || !received.parsed.valid) {
                        if (!valid)
                            received.parsed.reason = BytesAt(old.get(), row, 4);
                        received.parsed.valid = false;
                        delta.AddMalformed(received.receivedMs);
                    } else {
                        delta.AddReport(received.receivedMs, received.client, received.parsed.report);
                    }
                }
                NamedBatch named{&batch, BatchName{}};
                bool anyValid = false, anyMalformed = false;
                for (const Received& received : batch)
                    (received.parsed.valid ? anyValid : anyMalformed) = true;
                if (anyValid)
                    Copy(kCopyReports, {named}, true);
                if (anyMalformed)
                    Copy(kCopyMalformed, {named}, false);
                done += static_cast<std::uint64_t>(count);
                sinceApplied += static_cast<std::uint64_t>(count);
                if (sinceApplied >= UPGRADE_CHUNK_REPORTS) {
                    ApplyDelta(collector, delta, kNoNames);
                    delta = SummaryDelta();
                    sinceApplied = 0;
                }
                if (upgrade_.progress)
                    std::fprintf(stderr, "\rlvcollect: upgrading the PostgreSQL database: %llu of %llu reports",
                                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(rows));
            }
            ApplyDelta(collector, delta, kNoNames);
            Execute("CLOSE lv_old");
        }
        for (auto& [day, key] : keys)
            OPENSSL_cleanse(key.data(), key.size());
        Execute("DROP TABLE reports_v1; DROP TABLE malformed_v1");
        if (upgrade_.progress)
            std::fputs("\n", stderr);
    }

    // The valid reports of the batches, or their malformed queries, in one COPY.
    void Copy(const char* sql, const std::vector<NamedBatch>& batches, bool valid)
    {
        Result started(Exec(sql));
        Check(started.get(), PGRES_COPY_IN, valid ? "storing the reports" : "storing the malformed queries");
        CopyRows rows;
        for (const NamedBatch& batch : batches) {
            for (const Received& received : *batch.reports) {
                if (received.parsed.valid != valid)
                    continue;
                if (valid)
                    AddReport(&rows, received);
                else
                    AddMalformed(&rows, received);
                if (rows.Buffer().size() >= COPY_CHUNK_BYTES)
                    Send(&rows);
            }
        }
        rows.End();
        Send(&rows);
        // libpq takes the data and the end of a copy only as its buffer
        // drains: until then it answers 0, and the socket is waited for.
        for (int put; (put = PQputCopyEnd(connection_.get(), nullptr)) != 1;) {
            if (put < 0)
                Fail("ending a copy");
            WaitFor(POLLOUT, "ending a copy");
        }
        Result ended(Await("storing the rows"));
        Check(ended.get(), PGRES_COMMAND_OK, "storing the rows");
    }

    void Send(CopyRows* rows)
    {
        std::string& buffer = rows->Buffer();
        for (int put; (put = PQputCopyData(connection_.get(), buffer.data(), static_cast<int>(buffer.size()))) != 1;) {
            if (put < 0)
                Fail("sending rows");
            WaitFor(POLLOUT, "sending rows");
        }
        buffer.clear();
    }

    static void AddReport(CopyRows* rows, const Received& received)
    {
        const Report& report = received.parsed.report;
        rows->Row(REPORT_FIELDS);
        rows->Int64Field(received.receivedMs);
        rows->BytesField(received.client);
        rows->BytesField(received.userAgent);
        rows->TextField(KindName(report.kind));
        rows->Int64Field(report.code);
        if (report.kind == ReportKind::Start) {
            rows->NullField();
            rows->NullField();
            rows->NullField();
        } else {
            rows->Int64Field(report.seconds);
            rows->Int64Field(report.bytes);
            rows->BytesField(report.currentUrl);
        }
        rows->Int64Field(report.osMajor);
        rows->Int64Field(report.osMinor);
        rows->TextField(report.ntLine ? "nt" : "win");
        rows->Int64Field(report.osLanguage);
        rows->BytesField(received.query);
    }

    static void AddMalformed(CopyRows* rows, const Received& received)
    {
        rows->Row(MALFORMED_FIELDS);
        rows->Int64Field(received.receivedMs);
        rows->BytesField(received.client);
        rows->BytesField(received.userAgent);
        rows->BytesField(received.parsed.reason);
        rows->BytesField(received.query);
    }

    static StoredReport ReportAt(const PGresult* rows, int row)
    {
        StoredReport stored;
        stored.receivedMs = Int64At(rows, row, 0);
        stored.client = BytesAt(rows, row, 1);
        Report& report = stored.report;
        if (!KindOfName(BytesAt(rows, row, 2), &report.kind))
            throw StoreError("a report of unknown kind in the store");
        report.code = static_cast<std::uint32_t>(Int64At(rows, row, 3));
        report.seconds = static_cast<std::uint32_t>(Int64At(rows, row, 4));
        report.bytes = static_cast<std::uint32_t>(Int64At(rows, row, 5));
        report.currentUrl = BytesAt(rows, row, 6);
        report.osMajor = static_cast<std::uint32_t>(Int64At(rows, row, 7));
        report.osMinor = static_cast<std::uint32_t>(Int64At(rows, row, 8));
        report.ntLine = BytesAt(rows, row, 9) == "nt";
        stored.userAgent = BytesAt(rows, row, 10);
        report.osLanguage = static_cast<std::uint32_t>(Int64At(rows, row, 11));
        return stored;
    }

    inline static const std::vector<std::string> kNoNames = {"{}", "{}", "{}", "{}"};
    const std::string uri_;
    const StoreAccess access_;
    const UpgradeOptions upgrade_;
    Connection connection_;
    std::set<std::int64_t> partitions_;   // days known to have their partitions
    bool summariesPrepared_ = false;      // on this connection
    // The deadline of the statements under way (Within), and its length.
    Clock::time_point deadline_ = Clock::time_point::max();
    Clock::duration limit_ = NO_TIME_LIMIT;
};

}  // namespace

std::unique_ptr<ReportStore> OpenPostgresStore(const std::string& uri, StoreAccess access,
                                               const UpgradeOptions& upgrade, std::string* away)
{
    return std::make_unique<PostgresStore>(uri, access, upgrade, away);
}

}  // namespace lvcollect
