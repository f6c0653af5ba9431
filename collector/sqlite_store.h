// The reports in one SQLite file, in WAL mode so that `lvcollect summary`
// can read while `lvcollect serve` writes.
//
// Schema version 1 (PRAGMA user_version):
//   reports(id, received_ms, client, user_agent, kind, code, seconds, bytes,
//           current_url, os_major, os_minor, os_line, query)
//     kind is "start", "success", "failure" or "cancel"; code is 0 for start
//     and success; seconds, bytes and current_url are NULL for a start.
//   malformed(id, received_ms, client, user_agent, reason, query)
// Texts are stored byte for byte as received.
#ifndef LV_COLLECTOR_SQLITE_STORE_H
#define LV_COLLECTOR_SQLITE_STORE_H

#include <memory>
#include <string>

#include "collector/store.h"

namespace lvcollect {

// Opens (for ReadWrite: creates) the file; throws StoreError.
std::unique_ptr<ReportStore> OpenSqliteStore(const std::string& path, StoreAccess access);

}  // namespace lvcollect

#endif
