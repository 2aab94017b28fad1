#include "reports/time_text.h"

#include <datetime.h>
#include "pysem/ref.h"

#include <charconv>

#include "model/module_ns.h"
#include "pysem/protocol.h"
#include "pysem/format.h"

namespace ordermgr {

using namespace pysem::protocol;

void init_time_text() {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    if (!PyDateTimeAPI) raise();
}

static void append_int(std::string &out, long long v) {
    char buf[24];
    out.append(buf, (size_t) (std::to_chars(buf, buf + sizeof buf, v).ptr - buf));
}

// Zero-padded to two digits (0 <= v < 100).
static void append_2(std::string &out, int v) {
    out += (char) ('0' + v / 10);
    out += (char) ('0' + v % 10);
}

void append_minutes(std::string &out, PyObject *ts) {
    // Years below 1000 are left to strftime, which does not pad them.
    if (PyDateTime_CheckExact(ts) && PyDateTime_GET_YEAR(ts) >= 1000) {
        append_int(out, PyDateTime_GET_YEAR(ts));
        out += '-';
        append_2(out, PyDateTime_GET_MONTH(ts));
        out += '-';
        append_2(out, PyDateTime_GET_DAY(ts));
        out += ' ';
        append_2(out, PyDateTime_DATE_GET_HOUR(ts));
        out += ':';
        append_2(out, PyDateTime_DATE_GET_MINUTE(ts));
        return;
    }
    Ref pattern = steal(PyUnicode_FromString("%Y-%m-%d %H:%M"));
    if (!pattern) raise();
    Ref text = steal(PyObject_CallMethodOneArg(ts, names().strftime, pattern.ptr()));
    if (!text) raise();
    pysem::append_default(out, text.ptr());
}

bool plain_timespan(PyObject *span) { return PyDelta_CheckExact(span); }

void append_timespan(std::string &out, PyObject *span) {
    if (!PyDelta_CheckExact(span)) return pysem::append_default(out, span);
    int days = PyDateTime_DELTA_GET_DAYS(span);
    int seconds = PyDateTime_DELTA_GET_SECONDS(span);
    int us = PyDateTime_DELTA_GET_MICROSECONDS(span);
    // Written into one buffer, appended once: "[D day[s], ]H:MM:SS[.UUUUUU]".
    char buf[64];
    char *p = buf;
    if (days) {
        p = std::to_chars(p, buf + sizeof buf, days).ptr;
        const char *unit = (days == 1 || days == -1) ? " day, " : " days, ";
        while (*unit) *p++ = *unit++;
    }
    p = std::to_chars(p, buf + sizeof buf, seconds / 3600).ptr;
    int minutes = seconds % 3600 / 60, secs = seconds % 60;
    *p++ = ':';
    *p++ = (char) ('0' + minutes / 10);
    *p++ = (char) ('0' + minutes % 10);
    *p++ = ':';
    *p++ = (char) ('0' + secs / 10);
    *p++ = (char) ('0' + secs % 10);
    if (us) {
        *p++ = '.';
        for (int i = 5; i >= 0; --i, us /= 10) p[i] = (char) ('0' + us % 10);
        p += 6;
    }
    out.append(buf, (size_t) (p - buf));
}

}  // namespace ordermgr
