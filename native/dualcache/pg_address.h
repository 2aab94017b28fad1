// A store on a PostgreSQL server is named by a cachePrefix that is a libpq
// URI followed by a name prefix: "postgresql://user@host:port/db/positions-"
// (query parameters such as sslmode allowed before the last "/"). The store
// is then the one named <name prefix><cacheName> in that database.
//
// A password may be in the URI (user:password@ or password=); it is never
// shown. A URI that libpq would read differently from the way it is written
// (a user name or password holding an '@' or '/' that is not percent-
// encoded: libpq would take part of the password for the host or the
// database) is refused without showing any of it.
#pragma once
#include <nanobind/nanobind.h>

#include <optional>
#include <string>

namespace dualcache {
namespace nb = nanobind;

struct PgAddress {
    std::string uri;           // the connection URI, as given
    std::string name;          // the store's name: name prefix + cacheName, UTF-8
    std::string shown_uri;     // the server and database, without password
    std::string shown_prefix;  // shown_uri + "/" + name prefix (what repr shows)
    std::string given_prefix;  // the cachePrefix as given, without its password
    std::string password;      // when the URI holds one: never shown
};

// Whether cachePrefix (a str) names a store on a server.
bool is_pg_prefix(nb::handle cachePrefix);

// The server address when cachePrefix is a postgresql:// or postgres:// URI;
// nothing for a file path. ValueError for a NUL character in it; StoreError
// for a URI libpq cannot read or would read other than as written.
std::optional<PgAddress> pg_address(nb::handle cacheName, nb::handle cachePrefix);

// A server cachePrefix (UTF-8) as messages show it: the prefix without the
// password of its user information and without password= parameters; only
// the scheme and "..." when the URI cannot be read as written. Any other
// prefix is returned unchanged. Needs no libpq.
std::string shown_prefix(const std::string &prefix);

// `text` with every occurrence of the password replaced by "***".
std::string without_password(std::string text, const std::string &password);

}  // namespace dualcache
