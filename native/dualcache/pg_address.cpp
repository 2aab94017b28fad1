#include "pg_address.h"

#include <cstring>

#include "pg_api.h"
#include "raise.h"
#include "store_error.h"

namespace dualcache {

static std::string utf8_of(PyObject *s) {
    // Lone surrogates are kept as they are elsewhere in the store.
    nb::object b = nb::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    if (!b) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(b.ptr()), (size_t) PyBytes_GET_SIZE(b.ptr()));
}

std::string without_password(std::string text, const std::string &password) {
    if (password.empty()) return text;
    for (size_t at = text.find(password); at != std::string::npos; at = text.find(password, at + 3))
        text.replace(at, password.size(), "***");
    return text;
}

std::optional<PgAddress> pg_address(nb::handle cacheName, nb::handle cachePrefix) {
    PyObject *p = cachePrefix.ptr();
    if (!PyUnicode_Check(p)) return std::nullopt;
    std::string prefix = utf8_of(p);
    size_t scheme = prefix.rfind("postgresql://", 0) == 0 ? 13 : prefix.rfind("postgres://", 0) == 0 ? 11 : 0;
    if (!scheme) return std::nullopt;
    if (!PyUnicode_Check(cacheName.ptr())) raise(PyExc_TypeError, "cacheName must be a str");

    PgAddress a;
    size_t slash = prefix.rfind('/');
    if (slash < scheme) {
        raise_store_error(prefix.substr(0, scheme) + "...",
                          "a PostgreSQL cachePrefix reads postgresql://user@host:port/database/<name prefix>");
    }
    a.uri = prefix.substr(0, slash);
    a.name = prefix.substr(slash + 1) + utf8_of(cacheName.ptr());

    const pg::Api &pq = pg::api("postgresql://");
    char *err = nullptr;
    PQconninfoOption *opts = pq.PQconninfoParse(a.uri.c_str(), &err);
    if (!opts) {
        // libpq's message names the bad part, never the whole URI.
        std::string why = err ? err : "out of memory";
        if (err) pq.PQfreemem(err);
        while (!why.empty() && why.back() == '\n') why.pop_back();
        raise_store_error(prefix.substr(0, scheme) + "...", "cannot read the PostgreSQL URI: " + why);
    }
    std::string user, host, port, dbname;
    for (PQconninfoOption *o = opts; o->keyword; ++o) {
        if (!o->val) continue;
        if (!std::strcmp(o->keyword, "password")) a.password = o->val;
        else if (!std::strcmp(o->keyword, "user")) user = o->val;
        else if (!std::strcmp(o->keyword, "host") || (!std::strcmp(o->keyword, "hostaddr") && host.empty())) host = o->val;
        else if (!std::strcmp(o->keyword, "port")) port = o->val;
        else if (!std::strcmp(o->keyword, "dbname")) dbname = o->val;
    }
    pq.PQconninfoFree(opts);
    a.shown_uri = prefix.substr(0, scheme) + (user.empty() ? "" : user + "@") + host + (port.empty() ? "" : ":" + port) +
                  "/" + dbname;
    a.shown_uri = without_password(a.shown_uri, a.password);
    a.shown_prefix = a.shown_uri + "/" + without_password(prefix.substr(slash + 1), a.password);
    return a;
}

}  // namespace dualcache
