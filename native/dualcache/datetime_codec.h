// The date and time kinds of the stored value format: datetime, date, time
// and timedelta, with their tzinfo (UTC, fixed-offset timezone with or
// without a name, zoneinfo.ZoneInfo by key).
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "bytes.h"

namespace dualcache {
namespace nb = nanobind;

void datetime_init();

// Exact datetime, date, time or timedelta.
bool is_exact_datetime_kind(PyTypeObject *type);
// Instance of one of them or of a subclass.
bool is_datetime_kind(PyObject *o);

// Writes type code and payload; `o` must satisfy is_datetime_kind. Raises
// TypeError for a tzinfo that cannot be stored.
void encode_datetime_kind(PyObject *o, ByteWriter &w);

// Payload readers (the type code was read already).
nb::object decode_datetime(ByteReader &r);
nb::object decode_date(ByteReader &r);
nb::object decode_time(ByteReader &r);
nb::object decode_timedelta(ByteReader &r);

}  // namespace dualcache
