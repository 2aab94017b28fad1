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
// sets the connection up: WAL journal, synchronous=FULL. Opening an
// existing store writes nothing.
void prepare_store(SqliteDb &db, const std::string &store_name);

// The tables of map `id` in the current format.
std::string map_tables_sql(int64_t id);

// The name of map `map`'s table `kind` ("entries", "items", or "gone": the
// removed entries) in format `format`: format 1's entries_<id> and
// items_<id> (the default map's: entries, items); format 2's map<id>_entries
// and map<id>_items; format 3 stamps its entries (map<id>_stamped_entries:
// a format 2 release that had the file open fails on its next statement
// instead of writing unstamped rows) and keeps map<id>_gone_entries.
std::string map_table_name(int format, const char *kind, int64_t map);

// "written in store format N, newer than this version reads (M)"
std::string newer_format_message(int64_t version);

// Rewrites a store of an older format in the current one, inside the open
// write transaction: its tables take the current names (so that a process
// of an older release that still has the file open fails at its next use
// instead of writing the old format into it), the rows of format 1 are
// rewritten, format 2's get their change stamps, and the file records the
// new format.
void upgrade_file(SqliteDb &db);

}  // namespace dualcache
