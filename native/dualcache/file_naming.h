// Where a store's database file lies: cachePrefix, then the store name made
// safe as a file name, then ".sqlite". The name cannot leave the prefix's
// directory or make an invalid file name: bytes other than ASCII letters,
// digits, '-', '_' and '.' (and a leading '.') are percent-encoded as UTF-8,
// and a name too long for the file system is cut and ends in '~' and 32 hex
// digits of its SHA-256.
#pragma once
#include <nanobind/nanobind.h>
#include <sys/stat.h>

#include <string>

namespace dualcache {
namespace nb = nanobind;

struct StoreFiles {
    std::string database;  // the database file
    std::string directory; // its directory ("." when the prefix has none)
};

// The file names for a store (nothing is created). cacheName must be a str;
// cachePrefix a str or path-like object.
StoreFiles store_files(nb::handle cacheName, nb::handle cachePrefix);

// Creates the missing directories of `dir` with mode 0700; StoreError
// naming `file` when that fails.
void make_directories(const std::string &dir, const std::string &file);

// `files` with its directory resolved: absolute, every symbolic link in it
// followed (a data disk linked into the home directory works). The store's
// own file names stay unresolved: a link there is still refused when the
// file is opened. StoreError naming `files.database` when the directory
// cannot be resolved.
StoreFiles resolve_directory(const StoreFiles &files);

// Creates `path` with mode 0600 unless it exists; true when created.
// Errors name `store` (the database file) when given.
bool create_private_file(const std::string &path, const std::string &store = std::string());

// Checks, without following links, a store file or side file that is
// there: StoreError naming `store` unless it is a regular file owned by
// this user. False when nothing is at `path`; `st` receives its status.
bool check_own_file(const std::string &path, const std::string &store, struct stat &st);

// StoreError naming `store` when users other than the owner may write in
// `dir` (a resolved directory) and it lacks the sticky bit: anyone could then put a link or a file
// of their own in place of the store's files.
void check_directory(const std::string &dir, const std::string &store);

// The names of SQLite's side files next to a database.
const char *const *side_file_suffixes();  // null-terminated list

}  // namespace dualcache
