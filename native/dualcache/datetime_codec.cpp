#include "datetime_codec.h"

#include <datetime.h>

#include <string>
#include <string_view>

#include "format.h"
#include "py_import.h"
#include "raise.h"

namespace dualcache {
using namespace format;

// Process-lifetime handles, set once by datetime_init().
static PyTypeObject *timezone_type = nullptr;
static PyObject *zoneinfo_type = nullptr;  // imported on first use
static PyObject *getinitargs = nullptr;    // interned "__getinitargs__"
static PyObject *key_name = nullptr;       // interned "key"

void datetime_init() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
    timezone_type = Py_TYPE(PyDateTime_TimeZone_UTC);
    getinitargs = PyUnicode_InternFromString("__getinitargs__");
    key_name = PyUnicode_InternFromString("key");
    if (!getinitargs || !key_name) throw nb::python_error();
}

static PyObject *zoneinfo() {
    if (!zoneinfo_type) zoneinfo_type = import_attr("zoneinfo", "ZoneInfo");
    return zoneinfo_type;
}

bool is_exact_datetime_kind(PyTypeObject *t) {
    return t == PyDateTimeAPI->DateTimeType || t == PyDateTimeAPI->DateType || t == PyDateTimeAPI->TimeType ||
           t == PyDateTimeAPI->DeltaType;
}

bool is_datetime_kind(PyObject *o) { return PyDate_Check(o) || PyTime_Check(o) || PyDelta_Check(o); }

// A time zone key as the tz database names zones ("Europe/Zurich",
// "Etc/GMT+5"): path components of letters, digits and "_-+.", none of them
// "." or "..", never absolute. The store neither writes nor loads anything
// else, so that a damaged key cannot name a file elsewhere.
static bool valid_zone_key(std::string_view key) {
    if (key.empty() || key.size() > 255 || key.front() == '/' || key.back() == '/') return false;
    size_t start = 0;
    for (size_t i = 0; i <= key.size(); ++i) {
        if (i == key.size() || key[i] == '/') {
            std::string_view part = key.substr(start, i - start);
            if (part.empty() || part == "." || part == "..") return false;
            start = i + 1;
            continue;
        }
        char c = key[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
              c == '+' || c == '.'))
            return false;
    }
    return true;
}

static void write_delta(PyObject *d, ByteWriter &w) {
    w.svarint(PyDateTime_DELTA_GET_DAYS(d));
    w.varint((uint64_t) PyDateTime_DELTA_GET_SECONDS(d));
    w.varint((uint64_t) PyDateTime_DELTA_GET_MICROSECONDS(d));
}

static void write_str(PyObject *s, ByteWriter &w) {
    Py_ssize_t n;
    const char *p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throw nb::python_error();
    w.sized(p, (size_t) n);
}

// flags byte (fold and tz kind) followed by the tz payload.
static void write_tz(PyObject *tz, int fold, ByteWriter &w) {
    if (tz == Py_None) {
        w.byte((uint8_t) (fold | TZ_NONE << 1));
        return;
    }
    if (tz == PyDateTime_TimeZone_UTC) {
        w.byte((uint8_t) (fold | TZ_UTC << 1));
        return;
    }
    if (Py_IS_TYPE(tz, timezone_type)) {
        nb::object args = nb::steal(PyObject_CallMethodNoArgs(tz, getinitargs));
        if (!args) throw nb::python_error();
        if (!PyTuple_Check(args.ptr()) || PyTuple_GET_SIZE(args.ptr()) < 1) raise(PyExc_TypeError, "unexpected timezone state");
        w.byte((uint8_t) (fold | TZ_FIXED << 1));
        write_delta(PyTuple_GET_ITEM(args.ptr(), 0), w);
        if (PyTuple_GET_SIZE(args.ptr()) > 1 && PyUnicode_Check(PyTuple_GET_ITEM(args.ptr(), 1))) {
            w.byte(1);
            write_str(PyTuple_GET_ITEM(args.ptr(), 1), w);
        } else {
            w.byte(0);
        }
        return;
    }
    int is_zi = PyObject_IsInstance(tz, zoneinfo());
    if (is_zi < 0) throw nb::python_error();
    if (is_zi) {
        nb::object key = nb::steal(PyObject_GetAttr(tz, key_name));
        if (!key) throw nb::python_error();
        if (!PyUnicode_Check(key.ptr()))
            raise(PyExc_TypeError, "cannot store a datetime whose ZoneInfo has no key (made with ZoneInfo.from_file)");
        Py_ssize_t n;
        const char *p = PyUnicode_AsUTF8AndSize(key.ptr(), &n);
        if (!p) throw nb::python_error();
        if (!valid_zone_key(std::string_view(p, (size_t) n)))
            raise(PyExc_ValueError,
                  ("cannot store a ZoneInfo whose key is not a time zone name: " + short_repr(key.ptr())).c_str());
        w.byte((uint8_t) (fold | TZ_ZONEINFO << 1));
        write_str(key.ptr(), w);
        return;
    }
    PyErr_Format(PyExc_TypeError,
                 "cannot store a time zone of class '%s': the store keeps datetime.timezone and "
                 "zoneinfo.ZoneInfo zones",
                 Py_TYPE(tz)->tp_name);
    throw nb::python_error();
}

void encode_datetime_kind(PyObject *o, ByteWriter &w) {
    if (PyDateTime_Check(o)) {
        w.byte(DATETIME);
        w.varint((uint64_t) PyDateTime_GET_YEAR(o));
        w.byte((uint8_t) PyDateTime_GET_MONTH(o));
        w.byte((uint8_t) PyDateTime_GET_DAY(o));
        w.byte((uint8_t) PyDateTime_DATE_GET_HOUR(o));
        w.byte((uint8_t) PyDateTime_DATE_GET_MINUTE(o));
        w.byte((uint8_t) PyDateTime_DATE_GET_SECOND(o));
        w.varint((uint64_t) PyDateTime_DATE_GET_MICROSECOND(o));
        write_tz(PyDateTime_DATE_GET_TZINFO(o), PyDateTime_DATE_GET_FOLD(o), w);
    } else if (PyDate_Check(o)) {
        w.byte(DATE);
        w.varint((uint64_t) PyDateTime_GET_YEAR(o));
        w.byte((uint8_t) PyDateTime_GET_MONTH(o));
        w.byte((uint8_t) PyDateTime_GET_DAY(o));
    } else if (PyTime_Check(o)) {
        w.byte(TIME);
        w.byte((uint8_t) PyDateTime_TIME_GET_HOUR(o));
        w.byte((uint8_t) PyDateTime_TIME_GET_MINUTE(o));
        w.byte((uint8_t) PyDateTime_TIME_GET_SECOND(o));
        w.varint((uint64_t) PyDateTime_TIME_GET_MICROSECOND(o));
        write_tz(PyDateTime_TIME_GET_TZINFO(o), PyDateTime_TIME_GET_FOLD(o), w);
    } else {
        w.byte(TIMEDELTA);
        write_delta(o, w);
    }
}

static int small(ByteReader &r, uint64_t limit) {
    uint64_t v = r.varint();
    if (v > limit) throw CorruptValue{"date or time field out of range"};
    return (int) v;
}

static nb::object read_str(ByteReader &r) {
    size_t n = r.length();
    const uint8_t *p = r.take(n);
    PyObject *s = PyUnicode_DecodeUTF8((const char *) p, (Py_ssize_t) n, "surrogatepass");
    if (!s) corrupt_from_python_error("invalid UTF-8 in a time zone name");
    return nb::steal(s);
}

static nb::object read_delta(ByteReader &r) {
    int64_t days = r.svarint();
    uint64_t secs = r.varint(), us = r.varint();
    if (days < -999999999 || days > 999999999 || secs >= 86400 || us >= 1000000)
        throw CorruptValue{"timedelta out of range"};
    PyObject *d = PyDelta_FromDSU((int) days, (int) secs, (int) us);
    if (!d) corrupt_from_python_error("invalid timedelta");
    return nb::steal(d);
}

// Reads the flags byte and tz payload; returns the tzinfo (None when naive).
static nb::object read_tz(ByteReader &r, int &fold) {
    uint8_t flags = r.byte();
    fold = flags & 1;
    switch (flags >> 1) {
    case TZ_NONE:
        return nb::none();
    case TZ_UTC:
        return nb::borrow(PyDateTime_TimeZone_UTC);
    case TZ_FIXED: {
        nb::object offset = read_delta(r);
        uint8_t has_name = r.byte();
        PyObject *tz;
        if (has_name) {
            nb::object name = read_str(r);
            tz = PyTimeZone_FromOffsetAndName(offset.ptr(), name.ptr());
        } else {
            tz = PyTimeZone_FromOffset(offset.ptr());
        }
        if (!tz) corrupt_from_python_error("invalid fixed-offset time zone");
        return nb::steal(tz);
    }
    case TZ_ZONEINFO: {
        nb::object key = read_str(r);
        Py_ssize_t n;
        const char *p = PyUnicode_AsUTF8AndSize(key.ptr(), &n);
        if (!p) corrupt_from_python_error("invalid time zone key");
        std::string text(p, (size_t) n);
        if (!valid_zone_key(text)) throw CorruptValue{"a time zone key that is not a time zone name: " + short_repr(key.ptr())};
        PyObject *tz = PyObject_CallOneArg(zoneinfo(), key.ptr());
        if (!tz) corrupt_from_python_error("cannot load the time zone " + short_repr(key.ptr()));
        return nb::steal(tz);
    }
    default:
        throw CorruptValue{"unknown time zone kind"};
    }
}

nb::object decode_datetime(ByteReader &r) {
    int year = small(r, 9999), month = r.byte(), day = r.byte(), hour = r.byte(), minute = r.byte(),
        second = r.byte(), us = small(r, 999999), fold;
    nb::object tz = read_tz(r, fold);
    PyObject *o = PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(year, month, day, hour, minute, second, us,
                                                                  tz.ptr(), fold, PyDateTimeAPI->DateTimeType);
    if (!o) corrupt_from_python_error("invalid datetime");
    return nb::steal(o);
}

nb::object decode_date(ByteReader &r) {
    int year = small(r, 9999), month = r.byte(), day = r.byte();
    PyObject *o = PyDate_FromDate(year, month, day);
    if (!o) corrupt_from_python_error("invalid date");
    return nb::steal(o);
}

nb::object decode_time(ByteReader &r) {
    int hour = r.byte(), minute = r.byte(), second = r.byte(), us = small(r, 999999), fold;
    nb::object tz = read_tz(r, fold);
    PyObject *o = PyDateTimeAPI->Time_FromTimeAndFold(hour, minute, second, us, tz.ptr(), fold,
                                                      PyDateTimeAPI->TimeType);
    if (!o) corrupt_from_python_error("invalid time");
    return nb::steal(o);
}

nb::object decode_timedelta(ByteReader &r) { return read_delta(r); }

}  // namespace dualcache
