// Times and time spans as the reports print them.
#pragma once
#include <Python.h>
#include <string>

namespace ordermgr {

// Loads the datetime C interface for this file; once, before the others.
void init_time_text();

// ts.strftime("%Y-%m-%d %H:%M"): the timestamp's own clock, no conversion.
void append_minutes(std::string &out, PyObject *ts);

// format(span, ""): for a timedelta its str() form, e.g. "1 day, 1:02:03",
// "-1 day, 23:55:00" or "0:00:00.000007".
void append_timespan(std::string &out, PyObject *span);

// Whether append_timespan writes the span without running any code of the
// caller's (an exact timedelta).
bool plain_timespan(PyObject *span);

}  // namespace ordermgr
