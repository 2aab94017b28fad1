// StoreError: the one exception type for failures of the store itself
// (SQLite errors, files that are not stores, closed or destroyed stores).
// A subclass of OSError carrying `filename` and, for SQLite failures,
// `sqlite_errorcode` and `sqlite_errorname`.
#pragma once
#include <Python.h>
#include <string>

namespace dualcache {

// Creates the exception class once; returns a borrowed reference.
PyObject *store_error_type();

// Sets StoreError("<path>: <message>") and throws nanobind's python_error.
[[noreturn]] void raise_store_error(const std::string &path, const std::string &message,
                                    int sqlite_code = 0);

// The same, with `cause` (an exception, may be null) as its __cause__.
[[noreturn]] void raise_store_error_from(const std::string &path, const std::string &message, PyObject *cause);

// Sets the error without throwing (for C callbacks).
void set_store_error(const std::string &path, const std::string &message, int sqlite_code = 0);

}  // namespace dualcache
