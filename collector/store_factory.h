// The store that a --db argument names: a PostgreSQL connection URI
// ("postgresql://..." or "postgres://...") for a fleet of collectors that
// share one database, anything else the path of a SQLite file.
#ifndef LV_COLLECTOR_STORE_FACTORY_H
#define LV_COLLECTOR_STORE_FACTORY_H

#include <memory>
#include <string>

#include "collector/store.h"

namespace lvcollect {

bool IsPostgresUri(const std::string& db);

// Throws StoreError. With `away`, a PostgreSQL database that cannot be
// reached yet is no error: *away says why (pg_store.h).
std::unique_ptr<ReportStore> OpenStore(const std::string& db, StoreAccess access,
                                       const UpgradeOptions& upgrade = {}, std::string* away = nullptr);

}  // namespace lvcollect

#endif
