// `lvcollect serve`: receives the usage reports over HTTP and stores them.
//
// Every report is answered at once, before it is stored: the request
// handlers parse the query and put the report on a queue, and one writer
// thread takes whatever has queued and stores it in one transaction. So
// the downloader's report thread never waits on the disk, and the store
// sees few, large transactions.
#ifndef LV_COLLECTOR_SERVER_H
#define LV_COLLECTOR_SERVER_H

#include <string>

#include "collector/store.h"

namespace lvcollect {

struct ServeOptions {
    std::string host = "127.0.0.1";
    int port = 8080;       // 0: any free port
    // Behind a reverse proxy: the request header that names the client (for
    // instance X-Forwarded-For, whose last address is taken). Empty: the
    // peer's address is the client.
    std::string clientHeader;
};

// Serves until SIGINT or SIGTERM, then stores what is queued and returns
// the exit code. Prints "lvcollect: listening on HOST:PORT" to standard
// output once connections are accepted.
int Serve(const ServeOptions& options, ReportStore& store);

}  // namespace lvcollect

#endif
