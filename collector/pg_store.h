// The reports in a PostgreSQL database that any number of collectors, on
// any machines, store into at once, and that summary and plot read.
//
// Schema version 1 (one row in schema_version):
//   reports(id, received_ms, client, user_agent, kind, code, seconds, bytes,
//           current_url, os_major, os_minor, os_line, query)
//   malformed(id, received_ms, client, user_agent, reason, query)
//     as in the SQLite store; the texts that come from the wire (client,
//     user_agent, current_url, query) are bytea, byte for byte as received,
//     since they may hold bytes that are no text in the database's encoding
//     (a NUL, a lone byte above 127).
//   stored_batches(collector, batch, reports, malformed, stored_ms)
//     one row per stored batch, under its name (the writer's run and the
//     batch's number), written in the batch's own transaction: the proof,
//     after a connection lost during COMMIT or a spool read again after a
//     crash, that the batch is in.
//
// Reports are read back in the order of receipt (received_ms, then id, the
// order in which one collector stored them), not of storage: one client's
// start and result may reach two collectors, whose batches commit in any
// order. The collectors' clocks must therefore agree (NTP), to well under
// the seconds between one attempt's reports.
#ifndef LV_COLLECTOR_PG_STORE_H
#define LV_COLLECTOR_PG_STORE_H

#include <memory>
#include <string>

#include "collector/store.h"

namespace lvcollect {

// `uri` is a libpq connection URI ("postgresql://USER@HOST:PORT/DATABASE").
// Connects, and for ReadWrite creates the tables when the database has none
// (safe when several collectors start at once) or upgrades those of an
// earlier collector; throws StoreError (StoreRefused for a newer schema).
// With `away`, a database that cannot be reached is no error: *away says
// why, and the first call that reaches it (Reach) checks the schema. A lost
// connection makes the next call connect again.
//
// The writer's calls wait for the database within limits of their own, well
// below the 30 s in which an answer is given up: a batch 5 s, a step of the
// upkeep 3 or 5 s, the spool's drain 60 s; past its limit a call throws
// StoreError and the connection is closed. The upgrade, and the reads,
// wait as long as they take.
std::unique_ptr<ReportStore> OpenPostgresStore(const std::string& uri, StoreAccess access,
                                               const UpgradeOptions& upgrade = {}, std::string* away = nullptr);

}  // namespace lvcollect

#endif
