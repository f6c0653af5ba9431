#include "collector/sqlite_store.h"

#include <sqlite3.h>

#include <utility>

namespace lvcollect {
namespace {

constexpr int SCHEMA_VERSION = 1;
// How long a statement waits for a lock that another process holds (a
// summary reading while the server writes needs none in WAL mode).
constexpr int BUSY_TIMEOUT_MS = 5000;

const char kSchema[] =
    "CREATE TABLE reports ("
    " id INTEGER PRIMARY KEY,"
    " received_ms INTEGER NOT NULL,"
    " client TEXT NOT NULL,"
    " user_agent TEXT NOT NULL,"
    " kind TEXT NOT NULL CHECK (kind IN ('start', 'success', 'failure', 'cancel')),"
    " code INTEGER NOT NULL,"
    " seconds INTEGER,"
    " bytes INTEGER,"
    " current_url TEXT,"
    " os_major INTEGER NOT NULL,"
    " os_minor INTEGER NOT NULL,"
    " os_line TEXT NOT NULL CHECK (os_line IN ('nt', 'win')),"
    " query TEXT NOT NULL);"
    "CREATE TABLE malformed ("
    " id INTEGER PRIMARY KEY,"
    " received_ms INTEGER NOT NULL,"
    " client TEXT NOT NULL,"
    " user_agent TEXT NOT NULL,"
    " reason TEXT NOT NULL,"
    " query TEXT NOT NULL);"
    "PRAGMA user_version = 1;";

const char kInsertReport[] =
    "INSERT INTO reports (received_ms, client, user_agent, kind, code, seconds, bytes,"
    " current_url, os_major, os_minor, os_line, query)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)";
const char kInsertMalformed[] =
    "INSERT INTO malformed (received_ms, client, user_agent, reason, query)"
    " VALUES (?1, ?2, ?3, ?4, ?5)";
const char kSelectReports[] =
    "SELECT received_ms, client, kind, code, seconds, bytes, current_url, os_major, os_minor,"
    " os_line, user_agent FROM reports ORDER BY id";

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

class SqliteStore : public ReportStore {
public:
    SqliteStore(const std::string& path, StoreAccess access)
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
            throw StoreError(path + " has schema version " + std::to_string(version) +
                             "; this lvcollect knows version " + std::to_string(SCHEMA_VERSION));
        if (access == StoreAccess::ReadOnly) {
            if (version != SCHEMA_VERSION)
                throw StoreError(path + " holds no reports of lvcollect");
            return;
        }
        // WAL: readers never block the writer. NORMAL: a commit is in the
        // log file once COMMIT returns, so a killed process loses nothing
        // it answered; the log is synced to the disk at each checkpoint, so
        // a power cut may take the commits since the last one.
        Execute("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;");
        if (version == 0)
            Execute(kSchema);
        insertReport_ = Prepare(kInsertReport);
        insertMalformed_ = Prepare(kInsertMalformed);
    }

    // One transaction in one file: it commits or not; the name is not needed.
    void Append(const std::vector<Received>& batch, const BatchName&) override
    {
        Execute("BEGIN IMMEDIATE");
        try {
            for (const Received& received : batch) {
                if (received.parsed.valid)
                    InsertReport(received);
                else
                    InsertMalformed(received);
            }
            Execute("COMMIT");
        } catch (const StoreError&) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    void ForEachReport(const std::function<void(const StoredReport&)>& visit) override
    {
        Statement select = Prepare(kSelectReports);
        sqlite3_stmt* s = select.get();
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            StoredReport stored;
            stored.receivedMs = sqlite3_column_int64(s, 0);
            stored.client = Text(sqlite3_column_text(s, 1), sqlite3_column_bytes(s, 1));
            Report& report = stored.report;
            if (!KindOfName(Text(sqlite3_column_text(s, 2), sqlite3_column_bytes(s, 2)), &report.kind))
                throw StoreError("a report of unknown kind in the store");
            report.code = static_cast<std::uint32_t>(sqlite3_column_int64(s, 3));
            report.seconds = static_cast<std::uint32_t>(sqlite3_column_int64(s, 4));
            report.bytes = static_cast<std::uint32_t>(sqlite3_column_int64(s, 5));
            report.currentUrl = Text(sqlite3_column_text(s, 6), sqlite3_column_bytes(s, 6));
            report.osMajor = static_cast<std::uint32_t>(sqlite3_column_int64(s, 7));
            report.osMinor = static_cast<std::uint32_t>(sqlite3_column_int64(s, 8));
            report.ntLine = Text(sqlite3_column_text(s, 9), sqlite3_column_bytes(s, 9)) == "nt";
            stored.userAgent = Text(sqlite3_column_text(s, 10), sqlite3_column_bytes(s, 10));
            visit(stored);
        }
        if (rc != SQLITE_DONE)
            Fail("reading the reports");
    }

    std::uint64_t MalformedCount() override
    {
        Statement count = Prepare("SELECT count(*) FROM malformed");
        if (sqlite3_step(count.get()) != SQLITE_ROW)
            Fail("counting the malformed queries");
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
        Statement version = Prepare("PRAGMA user_version");
        if (sqlite3_step(version.get()) != SQLITE_ROW)
            Fail("reading the schema version");
        return sqlite3_column_int(version.get(), 0);
    }

    Statement Prepare(const char* sql)
    {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK)
            Fail(sql);
        return Statement(raw);
    }

    // Texts are bound with their length: they may hold any byte. Not
    // copied: each lives in the batch until Step has reset the statement
    // and cleared its bindings.
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

    void InsertReport(const Received& received)
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
        BindText(s, 12, received.query);
        Step(s, "storing a report");
    }

    void InsertMalformed(const Received& received)
    {
        sqlite3_stmt* s = insertMalformed_.get();
        sqlite3_bind_int64(s, 1, received.receivedMs);
        BindText(s, 2, received.client);
        BindText(s, 3, received.userAgent);
        BindText(s, 4, received.parsed.reason);
        BindText(s, 5, received.query);
        Step(s, "storing a malformed query");
    }

    // The database first: members go in reverse order, so the statements
    // are finalized before it closes.
    Database db_;
    Statement insertReport_;
    Statement insertMalformed_;
};

}  // namespace

std::unique_ptr<ReportStore> OpenSqliteStore(const std::string& path, StoreAccess access)
{
    return std::make_unique<SqliteStore>(path, access);
}

}  // namespace lvcollect
