// CorruptValue: stored data that cannot be read back as what was written
// (malformed bytes, a Decimal that does not parse, a key that cannot be
// hashed, two rows for one key). Thrown while decoding; the store turns it
// into a StoreError naming the file and the entry, with the Python error
// that revealed the damage, if any, as its cause.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include <string>

namespace dualcache {
namespace nb = nanobind;

struct CorruptValue {
    std::string what;
    nb::object cause;    // a Python exception, or null
    bool damage = true;  // false: sound data this process cannot read as it is (a class that lost a field)
};

// Throws CorruptValue "<what> (<the pending Python error>)", taking that
// error as the cause. A MemoryError, a RecursionError, what is not an
// Exception (KeyboardInterrupt) or the store's refusal of a re-entry (see
// in_use.h), which say nothing about the data, is thrown on as it is.
[[noreturn]] void corrupt_from_python_error(const std::string &what);

// Runs `body`; a Python error it raises becomes CorruptValue(what()). The
// message is made only then (this runs for every record loaded).
template <typename What, typename F>
auto corrupt_if_raises(What &&what, F &&body) -> decltype(body()) {
    try {
        return body();
    } catch (nb::python_error &e) {
        e.restore();
        corrupt_from_python_error(what());
    }
}

// The repr of a key for messages: short, and never raises.
std::string short_repr(PyObject *o);

}  // namespace dualcache
