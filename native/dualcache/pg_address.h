// A store on a PostgreSQL server is named by a cachePrefix that is a libpq
// URI followed by a name prefix: "postgresql://user@host:port/db/positions-"
// (query parameters such as sslmode allowed before the last "/"). The store
// is then the one named <name prefix><cacheName> in that database.
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
    std::string shown_prefix;  // shown_uri + "/" + name prefix
    std::string password;      // when the URI holds one: never shown
};

// The server address when cachePrefix is a postgresql:// or postgres:// URI;
// nothing for a file path. StoreError for a URI libpq cannot read.
std::optional<PgAddress> pg_address(nb::handle cacheName, nb::handle cachePrefix);

// `text` with every occurrence of the password replaced by "***".
std::string without_password(std::string text, const std::string &password);

}  // namespace dualcache
