#include "store_error.h"

#include <nanobind/eval.h>
#include <nanobind/nanobind.h>
#include <sqlite3.h>

namespace dualcache {
namespace nb = nanobind;

// The primary result code's symbolic name, as SQLite's documentation spells it.
static const char *code_name(int code) {
    static const char *const names[] = {
        "SQLITE_OK", "SQLITE_ERROR", "SQLITE_INTERNAL", "SQLITE_PERM", "SQLITE_ABORT",
        "SQLITE_BUSY", "SQLITE_LOCKED", "SQLITE_NOMEM", "SQLITE_READONLY", "SQLITE_INTERRUPT",
        "SQLITE_IOERR", "SQLITE_CORRUPT", "SQLITE_NOTFOUND", "SQLITE_FULL", "SQLITE_CANTOPEN",
        "SQLITE_PROTOCOL", "SQLITE_EMPTY", "SQLITE_SCHEMA", "SQLITE_TOOBIG", "SQLITE_CONSTRAINT",
        "SQLITE_MISMATCH", "SQLITE_MISUSE", "SQLITE_NOLFS", "SQLITE_AUTH", "SQLITE_FORMAT",
        "SQLITE_RANGE", "SQLITE_NOTADB"};
    int primary = code & 0xff;
    return primary >= 0 && primary < (int) (sizeof names / sizeof *names) ? names[primary] : "SQLITE_UNKNOWN";
}

PyObject *store_error_type() {
    // Lives for the whole process (held by the module too).
    static PyObject *type = nullptr;
    if (!type) {
        nb::dict scope;
        scope["__builtins__"] = nb::module_::import_("builtins");
        scope["__name__"] = "zelph.dualcache";
        nb::exec(nb::str(R"(
class StoreError(OSError):
    """A failure of the persistent store: an SQLite error, a file that is not a
    store, or use of a store that was closed or destroyed. `filename` names the
    database file; SQLite failures also carry `sqlite_errorcode` and
    `sqlite_errorname`."""

    sqlite_errorcode = None
    sqlite_errorname = None
    sqlstate = None

    def __str__(self):
        return str(self.args[0]) if len(self.args) == 1 else super().__str__()
)"), scope);
        type = nb::object(scope["StoreError"]).release().ptr();
    }
    return type;
}

void set_store_error(const std::string &path, const std::string &message, int sqlite_code) {
    std::string text = path + ": " + message;
    PyObject *msg = PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t) text.size(), "backslashreplace");
    if (!msg) return;
    PyObject *exc = PyObject_CallOneArg(store_error_type(), msg);
    Py_DECREF(msg);
    if (!exc) return;
    PyObject *fname = PyUnicode_DecodeFSDefaultAndSize(path.data(), (Py_ssize_t) path.size());
    bool ok = fname && PyObject_SetAttrString(exc, "filename", fname) == 0;
    Py_XDECREF(fname);
    if (ok && sqlite_code) {
        PyObject *code = PyLong_FromLong(sqlite_code);
        ok = code && PyObject_SetAttrString(exc, "sqlite_errorcode", code) == 0;
        Py_XDECREF(code);
        PyObject *name = ok ? PyUnicode_FromString(code_name(sqlite_code)) : nullptr;
        ok = name && PyObject_SetAttrString(exc, "sqlite_errorname", name) == 0;
        Py_XDECREF(name);
    }
    if (!ok) {
        Py_DECREF(exc);
        return;
    }
    PyErr_SetObject(store_error_type(), exc);
    Py_DECREF(exc);
}

void raise_store_error(const std::string &path, const std::string &message, int sqlite_code) {
    set_store_error(path, message, sqlite_code);
    throw nb::python_error();
}

}  // namespace dualcache

namespace dualcache {

void raise_store_error_from(const std::string &path, const std::string &message, PyObject *cause) {
    set_store_error(path, message);
    if (cause) {
        PyObject *exc = PyErr_GetRaisedException();
        if (exc) {
            PyException_SetCause(exc, Py_NewRef(cause));
            PyException_SetContext(exc, Py_NewRef(cause));
            PyErr_SetRaisedException(exc);
        }
    }
    throw nb::python_error();
}

}  // namespace dualcache
