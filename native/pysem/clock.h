// The current time in UTC, as datetime.datetime.now(datetime.timezone.utc).
#pragma once
#include <Python.h>
#include "pysem/ref.h"
#include <cstdint>

namespace pysem {

// Must be called once (module initialisation) before utc_now.
void clock_init();

// `datetime_module` is whatever the caller's namespace binds to the name
// "datetime" right now. While it is the standard module the time is read
// natively; otherwise datetime_module.datetime.now(datetime_module.timezone.utc)
// is called, so a replaced clock takes effect.
Ref utc_now(PyObject *datetime_module);

// The host's UTC clock in whole microseconds since 1970-01-01, when
// `datetime_module` is the standard module (the time utc_now would give);
// false, with nothing read, for any other module.
bool utc_now_micros(PyObject *datetime_module, int64_t &micros);
// The aware UTC datetime of such a microsecond count: a new reference, or
// nullptr with the host's error set.
PyObject *utc_datetime_from_micros(int64_t micros);

// The microseconds since 1970-01-01 UTC of an exact datetime whose tzinfo is
// the standard UTC zone itself (subtracting two such datetimes is the
// difference of their fields, as here); false for anything else.
bool utc_micros_of(PyObject *dt, int64_t &micros);
// The timedelta of a microsecond count (new reference, or nullptr with the
// host's error set).
PyObject *timedelta_from_micros(int64_t micros);

// Exact datetime.datetime (not a subclass).
bool is_exact_datetime(PyObject *o);
// Borrowed tzinfo of a datetime (Py_None when naive).
PyObject *datetime_tzinfo(PyObject *dt);

// The standard module object, as imported at initialisation.
PyObject *stdlib_datetime();
// datetime.timezone.utc
PyObject *utc_tzinfo();

}  // namespace pysem
