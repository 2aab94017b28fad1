// Building a report: lines appended to one UTF-8 buffer, joined by "\n"
// with none after the last, and the number formats the reports use.
#pragma once
#include <Python.h>
#include "pysem/ref.h"
#include <string>

#include "pysem/format.h"
#include "pysem/num.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

class ReportText {
public:
    // Starts a new line and returns the buffer to write it into.
    std::string &line() {
        if (started_) text_ += '\n';
        started_ = true;
        return text_;
    }
    std::string &line(const char *fixed) { return line() += fixed; }
    // Room for about `bytes` of text ahead (a hint: the text grows past it).
    void reserve(size_t bytes) { text_.reserve(bytes); }
    Ref str() const { return pysem::utf8_to_str(text_); }

private:
    std::string text_;
    bool started_ = false;
};

// format(x, format_spec) of a number held natively (a float, or an int within 2**53,
// which the host formats as the float of the same value).
inline void append_fixed(std::string &out, const pysem::Num &x, int precision, bool grouping, bool percent) {
    if (x.is_float()) return pysem::append_fixed_double(out, x.as_double(), precision, grouping, percent);
    if (x.is_int()) return pysem::append_fixed_double(out, (double) x.as_int(), precision, grouping, percent);
    pysem::append_fixed(out, x.object().ptr(), precision, grouping, percent);
}

// format(x, ",.1f"), format(x, ",.2f"), format(x, ".1%").
inline void append_qty(std::string &out, PyObject *x) { pysem::append_fixed(out, x, 1, true, false); }
inline void append_money(std::string &out, PyObject *x) { pysem::append_fixed(out, x, 2, true, false); }
inline void append_percent(std::string &out, PyObject *x) { pysem::append_fixed(out, x, 1, false, true); }
inline void append_qty(std::string &out, const pysem::Num &x) { append_fixed(out, x, 1, true, false); }
inline void append_money(std::string &out, const pysem::Num &x) { append_fixed(out, x, 2, true, false); }
inline void append_percent(std::string &out, const pysem::Num &x) { append_fixed(out, x, 1, false, true); }

}  // namespace ordermgr
