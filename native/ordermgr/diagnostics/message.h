// A finding's text: fixed pieces and values in the host's default
// formatting (format(value, "")), collected into a list of str.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>
#include <string>

#include "pysem/format.h"

namespace ordermgr {
namespace nb = nanobind;

class Message {
public:
    Message &operator<<(const char *text) {
        text_ += text;
        return *this;
    }
    Message &operator<<(const nb::object &value) {
        pysem::append_default(text_, value.ptr());
        return *this;
    }
    Message &operator<<(bool flag) {
        text_ += flag ? "True" : "False";
        return *this;
    }
    // Appends the text as a new str to `list`.
    void add_to(const nb::list &list) const {
        nb::object s = pysem::utf8_to_str(text_);
        if (PyList_Append(list.ptr(), s.ptr()) < 0) throw nb::python_error();
    }

private:
    std::string text_;
};

inline void add_text(const nb::list &list, const char *text) {
    Message m;
    m << text;
    m.add_to(list);
}

}  // namespace ordermgr
