// `lvcollect serve`: receives the usage reports over HTTP and stores them.
//
// Event loops, one a thread, (Boost.Asio, HTTP parsed by Boost.Beast) run
// every connection, so a slow or idle client costs its buffers, never a
// thread. A report is answered once it is stored, never before: the loop
// parses the query and puts the report on a queue, one writer thread stores
// whatever has queued in one transaction (report_queue.h), and the answers
// of the batch go out when it has committed. So an answered report is a
// stored report, whatever happens to the process afterwards, and a request
// that found no answer may be sent on.
#ifndef LV_COLLECTOR_SERVER_H
#define LV_COLLECTOR_SERVER_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "collector/client_hash.h"
#include "collector/store.h"

namespace lvcollect {

// Connections open at once on the report port; further ones are closed as
// soon as they are accepted.
constexpr std::size_t MAX_OPEN_CONNECTIONS = 10000;

struct ServeOptions {
    std::string host = "127.0.0.1";
    int port = 8080;       // 0: any free port
    // Behind a reverse proxy: the request header that names the client (for
    // instance X-Forwarded-For, whose last address is taken). Empty: the
    // peer's address is the client.
    std::string clientHeader;
    std::size_t maxConnections = MAX_OPEN_CONNECTIONS;
    // The listener for monitoring (GET /metrics) and for the dashboard (GET
    // / and /summary.json); off when adminPort < 0.
    std::string adminHost = "127.0.0.1";
    int adminPort = -1;
    // Opens a read-only store of the dashboard's own; none: no dashboard.
    std::function<std::unique_ptr<ReportStore>()> openDashboardStore;
    // Hashes each report's client as it is received (client_hash.h).
    ClientHasher* hasher = nullptr;
    // Runs on the writer's thread between batches (maintenance.h).
    std::function<bool()> upkeep;
};

// Serves until SIGINT or SIGTERM: then it stops accepting, closes idle
// connections, stores and answers the requests under way and returns the
// exit code. Prints "lvcollect: listening on HOST:PORT" to
// standard output once connections are accepted (after "lvcollect: admin
// listening on HOST:PORT" when there is an admin listener).
int Serve(const ServeOptions& options, ReportStore& store);

}  // namespace lvcollect

#endif
