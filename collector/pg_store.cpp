#include "collector/pg_store.h"

#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <set>
#include <utility>

namespace lvcollect {
namespace {

constexpr int SCHEMA_VERSION = 1;
// The same in every collector: the advisory lock under which one of several
// collectors starting at once creates the tables while the others wait.
constexpr long long SCHEMA_LOCK_KEY = 0x4c56636f6c6c6563;   // "LVcollec"
// Rows that one FETCH brings when summary or plot read the reports: the
// reader's memory stays bounded however large the table grows.
constexpr int FETCH_ROWS = 10000;
// COPY data is handed to libpq in pieces of about this size.
constexpr std::size_t COPY_CHUNK_BYTES = 1 << 20;

// Defaults for the connection, before the URI, which may set any of them:
// a database that does not answer makes a call fail within these times
// instead of holding the writer (and with it every stored report) for the
// system's two hours of TCP keepalive.
const char CONNECT_TIMEOUT_S[] = "10";
const char KEEPALIVES_IDLE_S[] = "30";
const char KEEPALIVES_INTERVAL_S[] = "10";
const char KEEPALIVES_COUNT[] = "3";
const char TCP_USER_TIMEOUT_MS[] = "60000";   // sent data left unacknowledged

const char kSchema[] =
    "CREATE TABLE reports ("
    " id bigint GENERATED ALWAYS AS IDENTITY,"
    " received_ms bigint NOT NULL,"
    " client bytea NOT NULL,"
    " user_agent bytea NOT NULL,"
    " kind text NOT NULL CHECK (kind IN ('start', 'success', 'failure', 'cancel')),"
    " code bigint NOT NULL,"
    " seconds bigint,"
    " bytes bigint,"
    " current_url bytea,"
    " os_major bigint NOT NULL,"
    " os_minor bigint NOT NULL,"
    " os_line text NOT NULL CHECK (os_line IN ('nt', 'win')),"
    " query bytea NOT NULL);"
    "CREATE TABLE malformed ("
    " id bigint GENERATED ALWAYS AS IDENTITY,"
    " received_ms bigint NOT NULL,"
    " client bytea NOT NULL,"
    " user_agent bytea NOT NULL,"
    " reason text NOT NULL,"
    " query bytea NOT NULL);"
    "CREATE TABLE stored_batches ("
    " collector text NOT NULL,"
    " batch bigint NOT NULL,"
    " reports bigint NOT NULL,"
    " malformed bigint NOT NULL,"
    " stored_ms bigint NOT NULL,"
    " PRIMARY KEY (collector, batch));"
    "CREATE TABLE schema_version (version integer NOT NULL);"
    "INSERT INTO schema_version VALUES (1);";

const char kCopyReports[] =
    "COPY reports (received_ms, client, user_agent, kind, code, seconds, bytes, current_url,"
    " os_major, os_minor, os_line, query) FROM STDIN (FORMAT binary)";
constexpr short REPORT_FIELDS = 12;
const char kCopyMalformed[] =
    "COPY malformed (received_ms, client, user_agent, reason, query) FROM STDIN (FORMAT binary)";
constexpr short MALFORMED_FIELDS = 5;
// The batches' names and counts go as parallel arrays: one statement
// however many batches a transaction carries.
const char kInsertBatches[] =
    "INSERT INTO stored_batches (collector, batch, reports, malformed, stored_ms)"
    " SELECT c, b, r, m, (extract(epoch FROM clock_timestamp()) * 1000)::bigint"
    " FROM unnest($1::text[], $2::bigint[], $3::bigint[], $4::bigint[]) AS n(c, b, r, m)";
const char kSelectBatches[] =
    "SELECT collector, batch FROM stored_batches"
    " JOIN unnest($1::text[], $2::bigint[]) AS n(c, b) ON collector = c AND batch = b";
const char kDeclareReports[] =
    "DECLARE lv_reports NO SCROLL CURSOR FOR"
    " SELECT received_ms, client, kind, code, seconds, bytes, current_url, os_major, os_minor,"
    " os_line, user_agent FROM reports ORDER BY received_ms, id";

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

class PostgresStore : public ReportStore {
public:
    PostgresStore(std::string uri, StoreAccess access) : uri_(std::move(uri)), access_(access)
    {
        Connect();
    }

    // All or nothing, as the interface asks. Any failure closes the
    // connection (a failed transaction has nothing worth keeping on it); the
    // next call connects again. When the connection broke during COMMIT the
    // batch may be in: a batch tried before is first looked for in
    // stored_batches, by its name, so that nothing is stored twice.
    void Append(const std::vector<Received>& batch, const BatchName& name) override
    {
        AppendSeveral({NamedBatch{&batch, name}});
    }

    // One transaction for them all: a spool drained after an outage goes
    // in at the database's pace, not at one commit per batch it kept.
    void AppendSeveral(const std::vector<NamedBatch>& batches) override
    {
        if (!connection_)
            Connect();
        try {
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
        } catch (const StoreError&) {
            connection_.reset();
            throw;
        }
    }

    void ForEachReport(const std::function<void(const StoredReport&)>& visit) override
    {
        if (!connection_)
            Connect();
        try {
            // One snapshot for the whole walk, so that it sees each
            // collector's batches whole even while they keep storing.
            Execute("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
            Execute(kDeclareReports);
            char fetch[64];
            std::snprintf(fetch, sizeof fetch, "FETCH FORWARD %d FROM lv_reports", FETCH_ROWS);
            for (;;) {
                Result rows(PQexecParams(connection_.get(), fetch, 0, nullptr, nullptr, nullptr,
                                         nullptr, 1));
                Check(rows.get(), PGRES_TUPLES_OK, "reading the reports");
                int count = PQntuples(rows.get());
                if (count == 0)
                    break;
                for (int row = 0; row < count; ++row)
                    visit(ReportAt(rows.get(), row));
            }
            Execute("COMMIT");
        } catch (const StoreError&) {
            connection_.reset();
            throw;
        }
    }

    std::uint64_t MalformedCount() override
    {
        if (!connection_)
            Connect();
        try {
            Result count(PQexec(connection_.get(), "SELECT count(*) FROM malformed"));
            Check(count.get(), PGRES_TUPLES_OK, "counting the malformed queries");
            return std::strtoull(PQgetvalue(count.get(), 0, 0), nullptr, 10);
        } catch (const StoreError&) {
            connection_.reset();
            throw;
        }
    }

private:
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
        Result result(PQexec(connection_.get(), sql));
        Check(result.get(), PGRES_COMMAND_OK, sql);
    }

    // Text parameters: the collector's name and numbers, nothing from the wire.
    Result Query(const char* sql, std::initializer_list<std::string> parameters, ExecStatusType expected,
                 const char* what)
    {
        std::vector<const char*> values;
        for (const std::string& parameter : parameters)
            values.push_back(parameter.c_str());
        Result result(PQexecParams(connection_.get(), sql, static_cast<int>(values.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0));
        Check(result.get(), expected, what);
        return result;
    }

    void Connect()
    {
        // Ours first: the URI's own settings, expanded from dbname, win.
        const char* keywords[] = {"connect_timeout", "keepalives_idle", "keepalives_interval",
                                  "keepalives_count", "tcp_user_timeout", "application_name",
                                  "dbname", nullptr};
        const char* values[] = {CONNECT_TIMEOUT_S, KEEPALIVES_IDLE_S, KEEPALIVES_INTERVAL_S,
                                KEEPALIVES_COUNT, TCP_USER_TIMEOUT_MS, "lvcollect",
                                uri_.c_str(), nullptr};
        connection_.reset(PQconnectdbParams(keywords, values, 1));
        if (!connection_)
            throw StoreError("cannot connect to PostgreSQL: out of memory");
        if (PQstatus(connection_.get()) != CONNECTION_OK) {
            std::string message = OneLine(PQerrorMessage(connection_.get()));
            connection_.reset();
            throw StoreError("cannot connect to PostgreSQL: " + message);
        }
        try {
            CheckSchema();
        } catch (const StoreError&) {
            connection_.reset();
            throw;
        }
    }

    // Run on every connection: a database that was set up anew while the
    // collector ran gets its tables again.
    void CheckSchema()
    {
        Execute("BEGIN");
        if (access_ == StoreAccess::ReadWrite) {
            char lock[96];
            std::snprintf(lock, sizeof lock, "SELECT pg_advisory_xact_lock(%lld)", SCHEMA_LOCK_KEY);
            Result locked(PQexec(connection_.get(), lock));
            Check(locked.get(), PGRES_TUPLES_OK, "waiting for the schema lock");
        }
        // A statement after the lock sees what a collector that held it committed.
        Result exists(PQexec(connection_.get(), "SELECT to_regclass('schema_version') IS NOT NULL"));
        Check(exists.get(), PGRES_TUPLES_OK, "looking for the schema");
        if (std::strcmp(PQgetvalue(exists.get(), 0, 0), "t") != 0) {
            if (access_ == StoreAccess::ReadOnly)
                throw StoreError("the PostgreSQL database holds no reports of lvcollect");
            Execute(kSchema);
        }
        Result version(PQexec(connection_.get(), "SELECT max(version) FROM schema_version"));
        Check(version.get(), PGRES_TUPLES_OK, "reading the schema version");
        int found = std::atoi(PQgetvalue(version.get(), 0, 0));
        if (found != SCHEMA_VERSION)
            throw StoreError("the PostgreSQL database has schema version " + std::to_string(found) +
                             "; this lvcollect knows version " + std::to_string(SCHEMA_VERSION));
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

    void Store(const std::vector<NamedBatch>& batches)
    {
        std::vector<std::string> sources, numbers, reportCounts, malformedCounts;
        std::size_t reports = 0, malformed = 0;
        for (const NamedBatch& batch : batches) {
            std::size_t valid = 0;
            for (const Received& received : *batch.reports)
                valid += received.parsed.valid ? 1 : 0;
            sources.push_back(batch.name.source);
            numbers.push_back(std::to_string(batch.name.number));
            reportCounts.push_back(std::to_string(valid));
            malformedCounts.push_back(std::to_string(batch.reports->size() - valid));
            reports += valid;
            malformed += batch.reports->size() - valid;
        }
        Execute("BEGIN");
        Query(kInsertBatches, {ArrayLiteral(sources), ArrayLiteral(numbers), ArrayLiteral(reportCounts),
                               ArrayLiteral(malformedCounts)},
              PGRES_COMMAND_OK, "storing a batch");
        if (reports > 0)
            Copy(kCopyReports, batches, true);
        if (malformed > 0)
            Copy(kCopyMalformed, batches, false);
        Execute("COMMIT");
    }

    // The valid reports of the batches, or their malformed queries, in one COPY.
    void Copy(const char* sql, const std::vector<NamedBatch>& batches, bool valid)
    {
        Result started(PQexec(connection_.get(), sql));
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
        if (PQputCopyEnd(connection_.get(), nullptr) != 1)
            Fail("ending a copy");
        Result ended(PQgetResult(connection_.get()));
        Check(ended.get(), PGRES_COMMAND_OK, "storing the rows");
        while (Result(PQgetResult(connection_.get())))
            ;
    }

    void Send(CopyRows* rows)
    {
        std::string& buffer = rows->Buffer();
        if (PQputCopyData(connection_.get(), buffer.data(), static_cast<int>(buffer.size())) != 1)
            Fail("sending rows");
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
        return stored;
    }

    const std::string uri_;
    const StoreAccess access_;
    Connection connection_;
};

}  // namespace

std::unique_ptr<ReportStore> OpenPostgresStore(const std::string& uri, StoreAccess access)
{
    return std::make_unique<PostgresStore>(uri, access);
}

}  // namespace lvcollect
