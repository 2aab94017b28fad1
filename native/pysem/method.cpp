#include "pysem/method.h"

#include <cstring>
#include <string_view>

namespace pysem {

[[noreturn]] static void bad_signature(const Method &m, const char *why) {
    PyErr_Format(PyExc_SystemError, "method %s: %s", m.name, why);
    throw Error();
}

void bind_signature(const Method &m, const char *owner, MethodBinding &out) {
    std::string_view doc(m.doc), name(m.name);
    // "name(" ... ")\n--\n\n": the form CPython reads __text_signature__ from.
    if (doc.substr(0, name.size()) != name || doc.substr(name.size(), 1) != "(")
        bad_signature(m, "the documentation does not start with the signature");
    size_t close = doc.find(")\n--\n\n");
    if (close == std::string_view::npos) bad_signature(m, "the signature is not closed by \")\\n--\\n\\n\"");
    std::string_view params = doc.substr(name.size() + 1, close - name.size() - 1);

    out = MethodBinding();
    out.qualname = std::string(owner) + "." + m.name;
    bool first = true, optional = false;
    int required = 0;
    while (!params.empty()) {
        size_t comma = params.find(", ");
        std::string_view p = params.substr(0, comma);
        params = comma == std::string_view::npos ? std::string_view() : params.substr(comma + 2);
        if (first && (p == "$self" || p == "$type")) {
            if (m.kind == Method::Static) bad_signature(m, "a static method takes no $self");
            first = false;
            continue;
        }
        first = false;
        if (p == "*args") {
            out.varargs = true;
            continue;
        }
        size_t eq = p.find('=');
        if (eq == std::string_view::npos) {
            if (optional) bad_signature(m, "a parameter without default follows one with");
            ++required;
        } else {
            optional = true;
        }
        out.names.emplace_back(p.substr(0, eq));
    }
    if ((int) out.names.size() > kMaxParams) bad_signature(m, "too many parameters");
    for (const std::string &n : out.names) out.params.push_back(n.c_str());
    out.spec = ArgSpec{out.qualname.c_str(), out.params.data(), out.interned, (int) out.names.size(), required,
                       m.kind != Method::Static};
    if (m.kind == Method::Function) {
        if (out.varargs) bad_signature(m, "a function-like method takes no *args");
        out.function_params.push_back("self");
        for (const char *p : out.params) out.function_params.push_back(p);
        out.function_spec = ArgSpec{out.qualname.c_str(), out.function_params.data(), out.function_interned,
                                    (int) out.function_params.size(), required + 1, false};
    }
}

bool bind_call(MethodBinding &b, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out) {
    if (b.varargs) {
        if (kwnames && PyTuple_GET_SIZE(kwnames)) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", b.qualname.c_str(),
                         PyTuple_GET_ITEM(kwnames, 0));
            return false;
        }
        return true;
    }
    return bind_args(b.spec, args, (size_t) nargs, kwnames, out);
}

}  // namespace pysem
