// zelph.dualcache: the persistent mapping DualCache, its StoreError, and the
// registration of application classes.
#include <nanobind/nanobind.h>
#include <nanobind/eval.h>

#include "bindings.h"
#include "connection.h"
#include "crc32c.h"
#include "fork_guard.h"
#include "pg_address.h"
#include "pg_db.h"
#include "raise.h"
#include "registry.h"
#include "store_error.h"
#include "value_kinds.h"

namespace nb = nanobind;
using namespace nb::literals;

static const char *const kModuleDoc =
    "zelph.dualcache: a persistent mapping over SQLite with a live-object memory level.\n\n"
    "DualCache(cacheName=..., cachePrefix=...) opens (or creates) the store in the file\n"
    "cachePrefix + <name> + '.sqlite'. register(cls, ...) teaches it an application\n"
    "class; StoreError (an OSError) reports failures of the store itself.";

NB_MODULE(dualcache, m) {
    static PyInterpreterState *first = nullptr;
    PyInterpreterState *interp = PyInterpreterState_Get();
    if (first && first != interp)
        dualcache::raise(PyExc_ImportError, "zelph.dualcache can only be loaded into one interpreter per process");
    first = interp;

    m.attr("__doc__") = kModuleDoc;
    // A store still alive when the interpreter exits (held by a gc callback,
    // an atexit hook or a module global in a cycle) is not a leak; nanobind
    // would report it as one on stderr.
    nb::set_leak_warnings(false);
    dualcache::value_kinds_init();
    dualcache::install_fork_handler();
    m.attr("StoreError") = nb::borrow(dualcache::store_error_type());
    dualcache::bind_connection(m);
    dualcache::bind_dualcache(m);
    dualcache::bind_transaction(m);
    dualcache::bind_iteration(m);
    m.def("register", &dualcache::register_class, "cls"_a, "tag"_a = nb::none(), nb::kw_only(),
          "codec"_a = nb::none(), "to_fields"_a = nb::none(), "from_fields"_a = nb::none(),
          "fields"_a = nb::none(),
          "Register a class so that its instances can be stored.\n\n"
          "codec: a capsule named 'zelph.dualcache.RecordCodec' holding a native\n"
          "zelph_record_codec table. to_fields(obj) -> tuple and from_fields(cls, fields)\n"
          "-> instance: the same from Python, by position: from_fields receives the\n"
          "stored tuple whatever its length, and checks it. fields: the names of the\n"
          "fields, stored with them; then from_fields(cls, mapping) receives the stored fields by name\n"
          "(default: cls(**mapping)) and to_fields defaults to reading those attributes,\n"
          "so that a class that gains a field with a default reads older records. With\n"
          "none of these, the class uses the codec of its nearest registered base class.\n"
          "The tag (default 'module.QualName') names the class in stored data. Returns\n"
          "the class.");
    m.def(
        "_shown_prefix",
        [](nb::handle prefix) {
            if (!PyUnicode_Check(prefix.ptr())) dualcache::raise(PyExc_TypeError, "_shown_prefix() needs a str");
            nb::object b = nb::steal(PyUnicode_AsEncodedString(prefix.ptr(), "utf-8", "surrogatepass"));
            if (!b) throw nb::python_error();
            std::string shown = dualcache::shown_prefix(
                std::string(PyBytes_AS_STRING(b.ptr()), (size_t) PyBytes_GET_SIZE(b.ptr())));
            PyObject *s = PyUnicode_DecodeUTF8(shown.data(), (Py_ssize_t) shown.size(), "surrogatepass");
            if (!s) throw nb::python_error();
            return nb::steal(s);
        },
        "prefix"_a, "A cachePrefix as messages show it: a server URI without its password (for tools).");
    m.def(
        "_server_store_names",
        [](nb::handle prefix) {
            std::optional<dualcache::PgAddress> address = dualcache::pg_address(nb::str(""), prefix);
            if (!address) dualcache::raise(PyExc_ValueError, "_server_store_names() needs a postgresql:// cachePrefix");
            nb::list names;
            for (const std::string &name : dualcache::pg_store_names(*address)) {
                PyObject *s = PyUnicode_DecodeUTF8(name.data(), (Py_ssize_t) name.size(), "surrogatepass");
                if (!s) {  // not written by a store: shown as it is
                    PyErr_Clear();
                    s = PyUnicode_DecodeUTF8(name.data(), (Py_ssize_t) name.size(), "backslashreplace");
                }
                if (!s) throw nb::python_error();
                names.append(nb::steal(s));
            }
            return names;
        },
        "cachePrefix"_a,
        "The cacheNames of the stores on the server under a cachePrefix, sorted by their UTF-8 bytes (for tools).");
    m.def(
        "_crc32c",
        [](nb::bytes data, bool portable) {
            return (portable ? dualcache::crc32c_portable : dualcache::crc32c)(0, data.c_str(), data.size());
        },
        "data"_a, "portable"_a = false,
        "Test hook: the CRC-32C of `data`, as the store computes it (portable: through the table).");
    m.def("_crc32c_in_hardware", &dualcache::crc32c_in_hardware,
          "Test hook: whether the CRC-32C is computed with the CPU's own instruction.");
    nb::module_::import_("collections.abc").attr("MutableMapping").attr("register")(m.attr("DualCache"));
}
