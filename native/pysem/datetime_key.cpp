#include "pysem/datetime_key.h"

#include <datetime.h>
#include "pysem/ref.h"

namespace pysem {

bool datetime_order_key(PyObject *o, PyObject **tzinfo, int64_t *key) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) {
            PyErr_Clear();
            return false;
        }
    }
    if (!o || !PyDateTime_CheckExact(o)) return false;
    PyObject *tz = PyDateTime_DATE_GET_TZINFO(o);
    if (*tzinfo && tz != *tzinfo) return false;
    *tzinfo = tz;
    int64_t k = PyDateTime_GET_YEAR(o);
    k = k * 13 + PyDateTime_GET_MONTH(o);
    k = k * 32 + PyDateTime_GET_DAY(o);
    k = k * 24 + PyDateTime_DATE_GET_HOUR(o);
    k = k * 60 + PyDateTime_DATE_GET_MINUTE(o);
    k = k * 60 + PyDateTime_DATE_GET_SECOND(o);
    *key = k * 1000000 + PyDateTime_DATE_GET_MICROSECOND(o);
    return true;
}

bool timestamp_less(PyObject *a, PyObject *b) {
    PyObject *tz = nullptr;
    int64_t ka, kb;
    if (datetime_order_key(a, &tz, &ka) && datetime_order_key(b, &tz, &kb)) return ka < kb;
    int r = PyObject_RichCompareBool(a, b, Py_LT);
    if (r < 0) throw Error();
    return r != 0;
}

}  // namespace pysem
