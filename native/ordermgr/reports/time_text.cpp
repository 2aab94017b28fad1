#include "reports/time_text.h"

#include <datetime.h>
#include <nanobind/nanobind.h>

#include <cstdio>

#include "diagnostics/reads.h"
#include "pysem/format.h"

namespace ordermgr {

void init_time_text() {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    if (!PyDateTimeAPI) raise();
}

void append_minutes(std::string &out, PyObject *ts) {
    // Years below 1000 are left to strftime, which does not pad them.
    if (PyDateTime_CheckExact(ts) && PyDateTime_GET_YEAR(ts) >= 1000) {
        char buf[32];
        int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", PyDateTime_GET_YEAR(ts),
                              PyDateTime_GET_MONTH(ts), PyDateTime_GET_DAY(ts), PyDateTime_DATE_GET_HOUR(ts),
                              PyDateTime_DATE_GET_MINUTE(ts));
        out.append(buf, (size_t) n);
        return;
    }
    nb::object pattern = nb::steal(PyUnicode_FromString("%Y-%m-%d %H:%M"));
    if (!pattern) raise();
    nb::object text = nb::steal(PyObject_CallMethodOneArg(ts, dnames.strftime, pattern.ptr()));
    if (!text) raise();
    pysem::append_default(out, text.ptr());
}

void append_timespan(std::string &out, PyObject *span) {
    if (!PyDelta_CheckExact(span)) return pysem::append_default(out, span);
    int days = PyDateTime_DELTA_GET_DAYS(span);
    int seconds = PyDateTime_DELTA_GET_SECONDS(span);
    int us = PyDateTime_DELTA_GET_MICROSECONDS(span);
    char buf[64];
    int n = 0;
    if (days)
        n = std::snprintf(buf, sizeof buf, "%d day%s, ", days, (days == 1 || days == -1) ? "" : "s");
    n += std::snprintf(buf + n, sizeof buf - (size_t) n, "%d:%02d:%02d", seconds / 3600, seconds % 3600 / 60,
                       seconds % 60);
    if (us) n += std::snprintf(buf + n, sizeof buf - (size_t) n, ".%06d", us);
    out.append(buf, (size_t) n);
}

}  // namespace ordermgr
