// The current time in UTC, as datetime.datetime.now(datetime.timezone.utc).
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace pysem {
namespace nb = nanobind;

// Must be called once (module initialisation) before utc_now.
void clock_init();

// `datetime_module` is whatever the caller's namespace binds to the name
// "datetime" right now. While it is the standard module the time is read
// natively; otherwise datetime_module.datetime.now(datetime_module.timezone.utc)
// is called, so a replaced clock takes effect.
nb::object utc_now(PyObject *datetime_module);

// Exact datetime.datetime (not a subclass).
bool is_exact_datetime(PyObject *o);
// Borrowed tzinfo of a datetime (Py_None when naive).
PyObject *datetime_tzinfo(PyObject *dt);

// The standard module object, as imported at initialisation.
PyObject *stdlib_datetime();
// datetime.timezone.utc
PyObject *utc_tzinfo();

}  // namespace pysem
