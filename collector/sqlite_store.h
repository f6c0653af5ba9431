// The reports in one SQLite file, in WAL mode so that `lvcollect summary`
// can read while `lvcollect serve` writes.
//
// Schema version 2 (PRAGMA user_version):
//   reports(id, received_ms, client_hash, user_agent, kind, code, seconds,
//           bytes, current_url, os_major, os_minor, os_line, language, query)
//     kind is "start", "success", "failure" or "cancel"; code is 0 for start
//     and success; seconds, bytes and current_url are NULL for a start;
//     language is the report's oslanguage.
//   malformed(id, received_ms, client_hash, user_agent, reason, query)
//   report_hours, report_day_counts, report_spreads, malformed_counts, day_clients,
//   day_counts: the summaries (summaries.h), written in each batch's
//   transaction
//   day_keys(day, key): the keys of the clients' hashes (client_hash.h)
// Texts are stored byte for byte as received. Version 1, the first
// collector's (reports and malformed with the clients' addresses), is
// upgraded in place when serve opens it.
#ifndef LV_COLLECTOR_SQLITE_STORE_H
#define LV_COLLECTOR_SQLITE_STORE_H

#include <memory>
#include <string>

#include "collector/store.h"

namespace lvcollect {

// Opens (for ReadWrite: creates) the file; throws StoreError.
std::unique_ptr<ReportStore> OpenSqliteStore(const std::string& path, StoreAccess access,
                                             const UpgradeOptions& upgrade = {});

}  // namespace lvcollect

#endif
