// A finding's text: fixed pieces and values in the host's default
// formatting (format(value, "")), collected into a list of str.
#pragma once
#include <Python.h>
#include "pysem/ref.h"
#include <string>

#include "pysem/format.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

class Message {
public:
    Message &operator<<(const char *text) {
        text_ += text;
        return *this;
    }
    Message &operator<<(const Ref &value) {
        pysem::append_default(text_, value.ptr());
        return *this;
    }
    Message &operator<<(bool flag) {
        text_ += flag ? "True" : "False";
        return *this;
    }
    // Appends the text as a new str to `list`.
    void add_to(PyObject *list) const {
        Ref s = pysem::utf8_to_str(text_);
        if (PyList_Append(list, s.ptr()) < 0) throw Error();
    }
    void add_to(const Ref &list) const { add_to(list.ptr()); }

private:
    std::string text_;
};

inline void add_text(PyObject *list, const char *text) {
    Message m;
    m << text;
    m.add_to(list);
}

}  // namespace ordermgr
