// Opening a database file as a store: a file that is not a store is
// recognised before anything is written to it; an empty file becomes a new
// store.
#pragma once
#include <string>

#include "sqlite_db.h"

namespace dualcache {

// Checks that `db` is a store of a format this code reads (StoreError
// otherwise, the file untouched), creating the schema in an empty file, and
// sets the connection up: WAL journal, synchronous=FULL.
void prepare_store(Db &db, const std::string &store_name);

}  // namespace dualcache
