// lvcollect: the report collector for a vendor's report host.
//
//   lvcollect serve [--listen ADDRESS:PORT] [--client-header NAME]
//                   [--max-connections N] [--admin-listen ADDRESS:PORT]
//                   [--spool FILE] [--keep-days N] --db STORE    receive and store reports
//   lvcollect summary --db STORE [--json] [PERIOD]              print the funnel
//   lvcollect plot --db STORE --out FILE.svg [PERIOD]           draw the funnel
//   lvcollect dashboard --db STORE --out FILE.html [PERIOD]     write the dashboard page
//
// STORE is a SQLite file, or a PostgreSQL URI that several collectors share;
// PERIOD is --from YYYY-MM-DD and --to YYYY-MM-DD, whole UTC days, either
// or both. A hidden command, fill, stores generated reports through the
// store's own code, for the benchmarks (fill.h).
//
// Exit codes: 0 done, 1 a failure (it says which), 2 a usage error.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "collector/dashboard.h"
#include "collector/fill.h"
#include "collector/funnel.h"
#include "collector/maintenance.h"
#include "collector/server.h"
#include "collector/spool.h"
#include "collector/store_factory.h"

namespace {

using namespace lvcollect;

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
// Where a collector on PostgreSQL keeps what it answers while the database
// is away, unless told otherwise: one collector to a working directory.
const char kDefaultSpool[] = "lvcollect.spool";
// The most --max-connections takes: each connection holds a descriptor.
constexpr std::size_t MAX_CONNECTIONS_OPTION = 1000000;
// The most --keep-days takes: a hundred years.
constexpr std::size_t MAX_KEEP_DAYS = 36500;

const char kUsage[] =
    "usage: lvcollect serve [--listen ADDRESS:PORT] [--client-header NAME]\n"
    "                       [--max-connections N] [--admin-listen ADDRESS:PORT]\n"
    "                       [--spool FILE] [--keep-days N] --db STORE\n"
    "       lvcollect summary --db STORE [--json] [--from DAY] [--to DAY]\n"
    "       lvcollect plot --db STORE --out FILE.svg [--from DAY] [--to DAY]\n"
    "       lvcollect dashboard --db STORE --out FILE.html [--from DAY] [--to DAY]\n"
    "STORE is a SQLite file, or postgresql://USER@HOST:PORT/DATABASE (a libpq URI)\n"
    "for several collectors that store into one database. DAY is a UTC day,\n"
    "YYYY-MM-DD; without --from and --to, all that is kept is summed.\n"
    "serve listens on 127.0.0.1:8080 unless told otherwise; port 0 takes any free port.\n"
    "Behind a reverse proxy, --client-header X-Forwarded-For (or the header it sets)\n"
    "names the client instead of the proxy's address. At most --max-connections\n"
    "(10000) are open at once; further ones are refused. --admin-listen serves\n"
    "GET /metrics for monitoring (Prometheus) and the dashboard at / (its figures\n"
    "at /summary.json); keep it off the public network. On PostgreSQL, what is\n"
    "answered while the database is away is kept in --spool (lvcollect.spool) and\n"
    "stored once it is back; each collector needs a spool of its own. Reports older\n"
    "than --keep-days (90) whole UTC days are removed as it runs (0 keeps them);\n"
    "the summaries stay.\n";

int Usage()
{
    std::fputs(kUsage, stderr);
    return EXIT_USAGE;
}

// "--name value" pairs and "--flag"s, each at most once, from the allowed sets.
bool ParseOptions(const std::vector<std::string>& args, const std::set<std::string>& valued,
                  const std::set<std::string>& flags, std::map<std::string, std::string>* options)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (options->count(name))
            return false;
        if (flags.count(name)) {
            (*options)[name] = "";
        } else if (valued.count(name) && i + 1 < args.size()) {
            (*options)[name] = args[++i];
        } else {
            return false;
        }
    }
    return true;
}

// "HOST:PORT" or "[IPV6]:PORT", the port from 0 to 65535.
bool ParseListen(const std::string& text, std::string* hostOut, int* portOut)
{
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() ||
        text.size() - colon - 1 > 5)
        return false;
    std::string host = text.substr(0, colon);
    if (host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    int port = 0;
    for (char c : text.substr(colon + 1)) {
        if (c < '0' || c > '9')
            return false;
        port = port * 10 + (c - '0');
    }
    if (host.empty() || port > 65535)
        return false;
    *hostOut = host;
    *portOut = port;
    return true;
}

// A whole number from 1 to `most` (from 0 with `zero`).
bool ParseCount(const std::string& text, std::size_t most, std::size_t* count, bool zero = false)
{
    if (zero && text == "0") {
        *count = 0;
        return true;
    }
    if (text.empty() || text.size() > 9 || text[0] == '0')
        return false;
    std::size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    if (value > most)
        return false;
    *count = value;
    return true;
}

// --from and --to.
bool ParsePeriod(const std::map<std::string, std::string>& options, Period* period)
{
    if (options.count("--from")) {
        if (!ParseDay(options.at("--from"), &period->fromDay))
            return false;
        period->hasFrom = true;
    }
    if (options.count("--to")) {
        if (!ParseDay(options.at("--to"), &period->toDay))
            return false;
        period->hasTo = true;
    }
    return !(period->hasFrom && period->hasTo && period->fromDay > period->toDay);
}

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    file.close();
    if (!file) {
        std::fprintf(stderr, "lvcollect: cannot write %s\n", path.c_str());
        return EXIT_FAILED;
    }
    return 0;
}

int ServeCommand(const std::string& db, const std::map<std::string, std::string>& options)
{
    ServeOptions serve;
    if (options.count("--listen") && !ParseListen(options.at("--listen"), &serve.host, &serve.port))
        return Usage();
    if (options.count("--admin-listen") &&
        !ParseListen(options.at("--admin-listen"), &serve.adminHost, &serve.adminPort))
        return Usage();
    if (options.count("--max-connections") &&
        !ParseCount(options.at("--max-connections"), MAX_CONNECTIONS_OPTION, &serve.maxConnections))
        return Usage();
    std::size_t keepDays = DEFAULT_KEEP_DAYS;
    if (options.count("--keep-days") && !ParseCount(options.at("--keep-days"), MAX_KEEP_DAYS, &keepDays, true))
        return Usage();
    if (options.count("--client-header"))
        serve.clientHeader = options.at("--client-header");
    if (options.count("--spool") && !IsPostgresUri(db))
        return Usage();
    serve.openDashboardStore = [db] { return OpenStore(db, StoreAccess::ReadOnly); };
    UpgradeOptions upgrade;
    upgrade.keepDays = static_cast<int>(keepDays);
    upgrade.nowMs = NowMs();
    upgrade.progress = isatty(STDERR_FILENO) != 0;
    std::unique_ptr<ReportStore> store = OpenStore(db, StoreAccess::ReadWrite, upgrade);
    ClientHasher hasher;
    Maintenance maintenance(hasher, static_cast<int>(keepDays));
    // The day's key before the first report, and before a spool of an
    // earlier collector is rewritten with hashes.
    maintenance.FetchKeys(*store, NowMs());
    if (keepDays > 0) {
        std::uint64_t old = store->ReportsBefore(FirstKeptDay(NowMs(), static_cast<int>(keepDays)));
        if (old > 0)
            std::fprintf(stderr, "lvcollect: %llu kept reports are older than --keep-days %zu and will go as "
                                 "it runs; their summaries stay\n", static_cast<unsigned long long>(old), keepDays);
    }
    if (IsPostgresUri(db))
        store = WithSpool(std::move(store), options.count("--spool") ? options.at("--spool") : kDefaultSpool,
                          hasher);
    serve.hasher = &hasher;
    ReportStore* writer = store.get();
    serve.upkeep = [&maintenance, writer] { return maintenance.Run(*writer, NowMs()); };
    return lvcollect::Serve(serve, *store);
}

int Run(const std::string& command, const std::map<std::string, std::string>& options)
{
    const std::string& db = options.at("--db");
    if (command == "serve")
        return ServeCommand(db, options);
    if (command == "fill")
        return Fill(db, options);
    Period period;
    if (!ParsePeriod(options, &period))
        return Usage();
    std::unique_ptr<ReportStore> store = OpenStore(db, StoreAccess::ReadOnly);
    if (command == "dashboard")
        return WriteFile(options.at("--out"), DashboardHtml(ReadDashboard(*store, NowMs(), period)));
    Funnel funnel = FunnelOf(store->ReadSummaries(period), period);
    if (command == "summary") {
        std::fputs((options.count("--json") ? SummaryJson(funnel) : SummaryText(funnel)).c_str(), stdout);
        return 0;
    }
    return WriteFile(options.at("--out"), FunnelChartSvg(funnel));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    std::map<std::string, std::string> options;
    bool parsed = false;
    if (command == "serve")
        parsed = ParseOptions(args, {"--listen", "--client-header", "--max-connections", "--admin-listen", "--spool",
                                     "--keep-days", "--db"},
                              {}, &options);
    else if (command == "summary")
        parsed = ParseOptions(args, {"--db", "--from", "--to"}, {"--json"}, &options);
    else if (command == "plot" || command == "dashboard")
        parsed = ParseOptions(args, {"--db", "--out", "--from", "--to"}, {}, &options) && options.count("--out");
    else if (command == "fill")
        parsed = ParseOptions(args, FILL_OPTIONS, {}, &options);
    if (!parsed || !options.count("--db"))
        return Usage();
    try {
        return Run(command, options);
    } catch (const StoreError& error) {
        std::fprintf(stderr, "lvcollect: %s\n", error.what());
        return EXIT_FAILED;
    }
}
