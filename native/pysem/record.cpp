#include "pysem/record.h"

#include "pysem/format.h"

namespace pysem {

PyObject *intern(const char *s) {
    PyObject *r = PyUnicode_InternFromString(s);
    if (!r) throw Error();
    return r;  // deliberately kept alive for the process
}

}  // namespace pysem
