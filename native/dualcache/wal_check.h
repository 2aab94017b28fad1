// A look at a store's write-ahead log before SQLite first reads it. SQLite's
// recovery keeps the log's frames up to the first one whose checksum or
// salts fail and silently drops that one and every later frame, commits
// acknowledged after the damage included. This finds the damage that
// certainly undoes such a commit, so that opening the store refuses it
// instead of showing an older state.
#pragma once
#include <string>

namespace dualcache {

// StoreError naming `path` when its -wal file is damaged before a commit
// that was certainly acknowledged: a commit frame, after the damage, whose
// own checksum holds and that a frame of a later transaction follows (with
// synchronous=FULL, a later transaction is written only after the commit
// before it was synced). A damaged or torn last transaction cannot be told
// from a crash in the middle of its commit and is left to SQLite; so is a
// log whose header is damaged when the database file holds every page its
// frames hold (SQLite then ignores it and loses nothing). The log
// is read twice before raising (another process may be appending or
// starting it over meanwhile); nothing is written. A log that is missing or
// cannot be opened is left to SQLite.
void check_wal(const std::string &path);

}  // namespace dualcache
