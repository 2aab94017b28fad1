#include "pysem/clock.h"

#include <datetime.h>
#include <ctime>
#include <time.h>

namespace pysem {

static PyObject *g_datetime_module = nullptr;

void clock_init() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw Error();
    }
    if (!g_datetime_module) {
        g_datetime_module = PyImport_ImportModule("datetime");
        if (!g_datetime_module) throw Error();
    }
}

bool is_exact_datetime(PyObject *o) { return PyDateTime_CheckExact(o); }
PyObject *datetime_tzinfo(PyObject *dt) { return PyDateTime_DATE_GET_TZINFO(dt); }

PyObject *stdlib_datetime() { return g_datetime_module; }
PyObject *utc_tzinfo() { return PyDateTime_TimeZone_UTC; }

// Proleptic Gregorian date of a day count since 1970-01-01 (Howard Hinnant's
// days-from-civil inverse).
static void civil_from_days(long long z, int &year, unsigned &month, unsigned &day) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = (unsigned) (z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long y = (long long) yoe + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = (int) (y + (month <= 2));
}

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's
// days-from-civil).
static long long days_from_civil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned) (y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long long) doe - 719468;
}

bool utc_micros_of(PyObject *dt, int64_t &micros) {
    if (!PyDateTime_CheckExact(dt) || PyDateTime_DATE_GET_TZINFO(dt) != PyDateTime_TimeZone_UTC) return false;
    long long days = days_from_civil(PyDateTime_GET_YEAR(dt), (unsigned) PyDateTime_GET_MONTH(dt),
                                     (unsigned) PyDateTime_GET_DAY(dt));
    long long secs = days * 86400 + PyDateTime_DATE_GET_HOUR(dt) * 3600 + PyDateTime_DATE_GET_MINUTE(dt) * 60 +
                     PyDateTime_DATE_GET_SECOND(dt);
    micros = (int64_t) (secs * 1000000 + PyDateTime_DATE_GET_MICROSECOND(dt));
    return true;
}

PyObject *timedelta_from_micros(int64_t micros) {
    // Floor division, as timedelta normalises: days may be negative, the
    // seconds and microseconds never are.
    int64_t days = micros / 86400000000LL, rest = micros % 86400000000LL;
    if (rest < 0) {
        rest += 86400000000LL;
        --days;
    }
    // Already normalised: the constructor only checks the range of days.
    return PyDateTimeAPI->Delta_FromDelta((int) days, (int) (rest / 1000000), (int) (rest % 1000000), 0,
                                          PyDateTimeAPI->DeltaType);
}

bool utc_now_micros(PyObject *datetime_module, int64_t &micros) {
    if (datetime_module != g_datetime_module) return false;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    // Floor to microseconds, as the host does.
    micros = (int64_t) ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
    return true;
}

PyObject *utc_datetime_from_micros(int64_t micros) {
    long long secs = micros >= 0 ? micros / 1000000 : -((-micros + 999999) / 1000000);
    int us = (int) (micros - secs * 1000000);
    long long days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
    long long rem = secs - days * 86400;
    int year;
    unsigned month, day;
    civil_from_days(days, year, month, day);
    return PyDateTimeAPI->DateTime_FromDateAndTime(year, (int) month, (int) day, (int) (rem / 3600),
                                                   (int) (rem % 3600 / 60), (int) (rem % 60), us,
                                                   PyDateTime_TimeZone_UTC, PyDateTimeAPI->DateTimeType);
}

Ref utc_now(PyObject *datetime_module) {
    int64_t micros;
    if (utc_now_micros(datetime_module, micros)) {
        PyObject *r = utc_datetime_from_micros(micros);
        if (!r) throw Error();
        return steal(r);
    }
    // datetime_module.datetime.now(datetime_module.timezone.utc), each name
    // read where the expression reads it.
    Ref cls = check(PyObject_GetAttrString(datetime_module, "datetime"));
    Ref now = check(PyObject_GetAttrString(cls.ptr(), "now"));
    Ref zone = check(PyObject_GetAttrString(datetime_module, "timezone"));
    Ref utc = check(PyObject_GetAttrString(zone.ptr(), "utc"));
    return check(PyObject_CallOneArg(now.ptr(), utc.ptr()));
}

}  // namespace pysem
