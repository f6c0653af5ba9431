// lvcollect: the report collector for a vendor's report host. Its commands
// and options are in kHelp below (lvcollect --help, and its manual page). A
// hidden command, fill, stores generated reports through the store's own
// code, for the benchmarks (fill.h).
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

// The usage lines, after "usage: " on a usage error and after "Usage: " in
// --help, whose text is also the manual page lvcollect(8) (help2man).
const char kSynopsis[] =
    "lvcollect serve --db STORE [OPTION]...\n"
    "  or:  lvcollect summary --db STORE [--json] [--from DAY] [--to DAY]\n"
    "  or:  lvcollect plot --db STORE --out FILE.svg [--from DAY] [--to DAY]\n"
    "  or:  lvcollect dashboard --db STORE --out FILE.html [--from DAY] [--to DAY]\n";

const char kHelp[] =
    "Receive the usage reports of the Lumenvast Player's web downloader over HTTP\n"
    "and store them (serve), or show what is stored: the funnel of attempts as\n"
    "text or JSON (summary), as an SVG chart (plot) or as an HTML page (dashboard).\n"
    "A report is answered only once it is stored. No client's address is kept:\n"
    "each is replaced by a keyed hash under a key of the UTC day, destroyed an\n"
    "hour after the day.\n"
    "\n"
    "STORE is a SQLite file, or postgresql://USER@HOST:PORT/DATABASE (a libpq URI)\n"
    "for several collectors that store into one database. DAY is a UTC day,\n"
    "YYYY-MM-DD; without --from and --to, all that is kept is summed.\n"
    "\n"
    "On PostgreSQL, serve listens at once even while the database is away: what it\n"
    "answers meanwhile waits in the spool, flushed to its disk, and is stored once\n"
    "the database is back (the log says what it waits for). A database that stops\n"
    "answering is given up within seconds, and the spool takes over. SIGTERM or\n"
    "SIGINT stops serve cleanly: it stops accepting, stores and answers what is\n"
    "under way, and exits; a second signal cuts off what is left.\n"
    "\n"
    "The exit status is 0 when done, 1 after a failure (it says which) and 2 for a\n"
    "usage error.\n"
    "\n"
    "Options:\n"
    "  --db STORE                 the store\n"
    "  --listen ADDRESS:PORT      where serve takes reports (127.0.0.1:8080); port 0\n"
    "                             takes any free port\n"
    "  --client-header NAME       behind a reverse proxy, the header that names the\n"
    "                             client (X-Forwarded-For: its last address)\n"
    "  --max-connections N        connections open at once (10000); further ones are\n"
    "                             refused\n"
    "  --admin-listen ADDRESS:PORT\n"
    "                             serve GET /metrics (Prometheus), the dashboard at /\n"
    "                             and its figures at /summary.json; keep it off the\n"
    "                             public network\n"
    "  --spool FILE               on PostgreSQL, where reports answered while the\n"
    "                             database is away wait for it (lvcollect.spool);\n"
    "                             each collector needs a spool of its own\n"
    "  --keep-days N              remove reports older than N whole UTC days as it\n"
    "                             runs (90; 0 keeps them); the summaries stay\n"
    "  --json                     summary: JSON, for scripts\n"
    "  --out FILE                 plot, dashboard: the file to write\n"
    "  --from DAY, --to DAY       summary, plot, dashboard: the period\n"
    "  --help                     print this text\n"
    "  --version                  print the version\n"
    "\n"
    "Environment:\n"
    "  PGPASSWORD, PGPASSFILE and the other variables of libpq give what a PostgreSQL\n"
    "  URI leaves out. Put the password there, never in the URI, which every local\n"
    "  user can read on the command line.\n"
    "\n"
    "Files:\n"
    "  /etc/default/lvcollect     the flags of the service lvcollect.service\n"
    "  /etc/lvcollect/environment\n"
    "                             the service's environment (PGPASSWORD), which only\n"
    "                             root reads\n"
    "  /var/lib/lvcollect         the service's store and spool\n";

int Usage()
{
    std::fprintf(stderr, "usage: %sTry 'lvcollect --help' for more.\n", kSynopsis);
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
    // A PostgreSQL database that is away does not keep the collector from
    // listening: it answers into its spool until the database is there.
    std::string away;
    std::unique_ptr<ReportStore> store = OpenStore(db, StoreAccess::ReadWrite, upgrade, &away);
    ClientHasher hasher;
    Maintenance maintenance(hasher, static_cast<int>(keepDays));
    if (away.empty()) {
        // The day's key before the first report, and before a spool of an
        // earlier collector is rewritten with hashes.
        maintenance.FetchKeys(*store, NowMs());
        if (keepDays > 0) {
            std::uint64_t old = store->ReportsBefore(FirstKeptDay(NowMs(), static_cast<int>(keepDays)));
            if (old > 0)
                std::fprintf(stderr, "lvcollect: %llu kept reports are older than --keep-days %zu and will go "
                                     "as it runs; their summaries stay\n",
                             static_cast<unsigned long long>(old), keepDays);
        }
    }
    if (IsPostgresUri(db))
        store = WithSpool(std::move(store), options.count("--spool") ? options.at("--spool") : kDefaultSpool,
                          hasher, away);
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
    if (argc == 2 && command == "--help") {
        std::printf("Usage: %s%s", kSynopsis, kHelp);
        return 0;
    }
    if (argc == 2 && command == "--version") {
        std::printf("lvcollect %s\n", LVCOLLECT_VERSION);
        return 0;
    }
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
