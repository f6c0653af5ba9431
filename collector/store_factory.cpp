#include "collector/store_factory.h"

#include "collector/pg_store.h"
#include "collector/sqlite_store.h"

namespace lvcollect {

bool IsPostgresUri(const std::string& db)
{
    // libpq's two URI prefixes.
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

std::unique_ptr<ReportStore> OpenStore(const std::string& db, StoreAccess access, const UpgradeOptions& upgrade,
                                       std::string* away)
{
    if (IsPostgresUri(db))
        return OpenPostgresStore(db, access, upgrade, away);
    return OpenSqliteStore(db, access, upgrade);
}

}  // namespace lvcollect
