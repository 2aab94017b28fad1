// The host's text forms: format(x, "") and the fixed-point specifications
// used by the reports (",.1f", ",.2f", ".1%").
#pragma once
#include <Python.h>
#include "pysem/ref.h"
#include <string>
#include <string_view>

namespace pysem {

// format(x, "") as a new str (a str is returned unchanged).
Ref default_format(PyObject *x);
// Append format(x, "") to out as UTF-8.
void append_default(std::string &out, PyObject *x);
// str(x), appended as UTF-8.
void append_str(std::string &out, PyObject *x);
// repr(x), appended as UTF-8.
void append_repr(std::string &out, PyObject *x);

// format(x, format_spec) for format_spec = [","]"."precision("f"|"%"); exact floats and
// exact ints take a native path that produces the host's text.
void append_fixed(std::string &out, PyObject *x, int precision, bool grouping, bool percent);
// The same for a value the caller holds as a double (a float's value).
void append_fixed_double(std::string &out, double d, int precision, bool grouping, bool percent);

// UTF-8 of a str object; raises if it is not a str.
void append_utf8(std::string &out, PyObject *str);
Ref utf8_to_str(const std::string &s);

// Number of code points in a UTF-8 string.
size_t codepoints(std::string_view s);

}  // namespace pysem
