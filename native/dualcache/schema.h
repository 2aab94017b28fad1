// Opening a database file as a store. A new store is built in a private
// temporary file and linked into place, so that other processes never see
// it half made; a file that is not a store is recognised before anything
// is written to it.
#pragma once
#include <string>

#include "sqlite_db.h"

namespace dualcache {

// Creates the store file at `path` unless a file is there already.
void create_store_file(const std::string &path, const std::string &directory, const std::string &store_name);

// Checks that `db` is a store of a format this code reads (StoreError
// otherwise, the file untouched), turning an empty file into a store, and
// sets the connection up: WAL journal, synchronous=FULL.
void prepare_store(SqliteDb &db, const std::string &store_name);

}  // namespace dualcache
