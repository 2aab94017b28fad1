#include "pg_db.h"
#include "store_error.h"

namespace dualcache {

void PgDb::upgrade() { raise_store_error(path_, "upgrade: not yet"); }
void PgDb::upgrade_undone() {}

}  // namespace dualcache
