// lvcollect: the report collector for a vendor's report host.
//
//   lvcollect serve [--listen ADDRESS:PORT] [--client-header NAME]
//                   [--max-connections N] [--admin-listen ADDRESS:PORT]
//                   [--spool FILE] --db STORE           receive and store reports
//   lvcollect summary --db STORE [--json]               print the funnel
//   lvcollect plot --db STORE --out FILE.svg            draw the funnel
//   lvcollect dashboard --db STORE --out FILE.html      write the dashboard page
//
// STORE is a SQLite file, or a PostgreSQL URI that several collectors share.
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

#include "collector/dashboard.h"
#include "collector/funnel.h"
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

const char kUsage[] =
    "usage: lvcollect serve [--listen ADDRESS:PORT] [--client-header NAME]\n"
    "                       [--max-connections N] [--admin-listen ADDRESS:PORT]\n"
    "                       [--spool FILE] --db STORE\n"
    "       lvcollect summary --db STORE [--json]\n"
    "       lvcollect plot --db STORE --out FILE.svg\n"
    "       lvcollect dashboard --db STORE --out FILE.html\n"
    "STORE is a SQLite file, or postgresql://USER@HOST:PORT/DATABASE (a libpq URI)\n"
    "for several collectors that store into one database.\n"
    "serve listens on 127.0.0.1:8080 unless told otherwise; port 0 takes any free port.\n"
    "Behind a reverse proxy, --client-header X-Forwarded-For (or the header it sets)\n"
    "names the client instead of the proxy's address. At most --max-connections\n"
    "(10000) are open at once; further ones are refused. --admin-listen serves\n"
    "GET /metrics for monitoring (Prometheus) and the dashboard at / (its figures\n"
    "at /summary.json); keep it off the public network. On PostgreSQL, what is\n"
    "answered while the database is away is kept in --spool (lvcollect.spool) and\n"
    "stored once it is back; each collector needs a spool of its own.\n";

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

// A whole number from 1 to `most`.
bool ParseCount(const std::string& text, std::size_t most, std::size_t* count)
{
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

Funnel ReadFunnel(const std::string& path)
{
    std::unique_ptr<ReportStore> store = OpenStore(path, StoreAccess::ReadOnly);
    FunnelBuilder builder;
    store->ForEachReport([&](const StoredReport& stored) { builder.Add(stored); });
    return builder.Finish(store->MalformedCount());
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

int Run(const std::string& command, const std::map<std::string, std::string>& options)
{
    const std::string& db = options.at("--db");
    if (command == "serve") {
        ServeOptions serve;
        if (options.count("--listen") && !ParseListen(options.at("--listen"), &serve.host, &serve.port))
            return Usage();
        if (options.count("--admin-listen") &&
            !ParseListen(options.at("--admin-listen"), &serve.adminHost, &serve.adminPort))
            return Usage();
        if (options.count("--max-connections") &&
            !ParseCount(options.at("--max-connections"), MAX_CONNECTIONS_OPTION, &serve.maxConnections))
            return Usage();
        if (options.count("--client-header"))
            serve.clientHeader = options.at("--client-header");
        if (options.count("--spool") && !IsPostgresUri(db))
            return Usage();
        serve.openDashboardStore = [db] { return OpenStore(db, StoreAccess::ReadOnly); };
        std::unique_ptr<ReportStore> store = OpenStore(db, StoreAccess::ReadWrite);
        if (IsPostgresUri(db))
            store = WithSpool(std::move(store), options.count("--spool") ? options.at("--spool") : kDefaultSpool);
        return Serve(serve, *store);
    }
    if (command == "dashboard") {
        std::unique_ptr<ReportStore> store = OpenStore(db, StoreAccess::ReadOnly);
        return WriteFile(options.at("--out"), DashboardHtml(ReadDashboard(*store, NowMs())));
    }
    Funnel funnel = ReadFunnel(db);
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
        parsed = ParseOptions(args, {"--listen", "--client-header", "--max-connections", "--admin-listen", "--spool", "--db"},
                              {}, &options);
    else if (command == "summary")
        parsed = ParseOptions(args, {"--db"}, {"--json"}, &options);
    else if (command == "plot" || command == "dashboard")
        parsed = ParseOptions(args, {"--db", "--out"}, {}, &options) && options.count("--out");
    if (!parsed || !options.count("--db"))
        return Usage();
    try {
        return Run(command, options);
    } catch (const StoreError& error) {
        std::fprintf(stderr, "lvcollect: %s\n", error.what());
        return EXIT_FAILED;
    }
}
