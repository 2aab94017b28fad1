#include "pysem/clock.h"

#include <datetime.h>
#include <ctime>

namespace pysem {

static PyObject *g_datetime_module = nullptr;

void clock_init() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw nb::python_error();
    }
    if (!g_datetime_module) {
        g_datetime_module = PyImport_ImportModule("datetime");
        if (!g_datetime_module) throw nb::python_error();
    }
}

PyObject *stdlib_datetime() { return g_datetime_module; }
PyObject *utc_tzinfo() { return PyDateTime_TimeZone_UTC; }

nb::object utc_now(PyObject *datetime_module) {
    if (datetime_module == g_datetime_module) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        // Floor to microseconds, as the host does.
        time_t secs = ts.tv_sec;
        long us = ts.tv_nsec / 1000;
        struct tm tm;
        gmtime_r(&secs, &tm);
        PyObject *r = PyDateTimeAPI->DateTime_FromDateAndTime(
            tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
            tm.tm_sec < 60 ? tm.tm_sec : 59, (int) us, PyDateTime_TimeZone_UTC,
            PyDateTimeAPI->DateTimeType);
        if (!r) throw nb::python_error();
        return nb::steal(r);
    }
    nb::handle mod(datetime_module);
    return mod.attr("datetime").attr("now")(mod.attr("timezone").attr("utc"));
}

}  // namespace pysem
