#include "pg_address.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <locale.h>

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

// The length of the URI scheme, "://" included (0: not a server prefix).
static size_t scheme_length(const std::string &prefix) {
    return prefix.rfind("postgresql://", 0) == 0 ? 13 : prefix.rfind("postgres://", 0) == 0 ? 11 : 0;
}

bool is_pg_prefix(nb::handle cachePrefix) {
    if (!PyUnicode_Check(cachePrefix.ptr())) return false;
    return scheme_length(utf8_of(cachePrefix.ptr())) != 0;
}

// How libpq splits a URI "scheme://[userinfo@]hosts[/dbname][?query]":
// the user information ends at the first '@' when one comes before any
// '/'; the hosts and the database name end at the first '?' after it.
struct UriParts {
    size_t userinfo_end = std::string::npos;  // the '@' ending the user information
    size_t query = std::string::npos;         // the '?' starting the query
    bool as_written = true;                   // no other '@' before the query
};

static UriParts uri_parts(const std::string &uri, size_t scheme) {
    UriParts p;
    size_t after = scheme;
    size_t first = uri.find_first_of("@/", scheme);
    if (first != std::string::npos && uri[first] == '@') {
        p.userinfo_end = first;
        after = first + 1;
    }
    p.query = uri.find('?', after);
    // Any other '@' means the user information went on past the '@' or '/'
    // libpq stopped at, and libpq would read a piece of the password as a
    // host, a port, a database or a parameter (and send the rest to it).
    // Only a password= parameter may hold one.
    size_t head_end = p.query == std::string::npos ? uri.size() : p.query;
    p.as_written = uri.find('@', after) >= head_end;
    for (size_t at = head_end + 1; p.as_written && at < uri.size();) {
        size_t end = uri.find('&', at);
        if (end == std::string::npos) end = uri.size();
        if (uri.compare(at, 9, "password=") != 0 && uri.find('@', at) < end) p.as_written = false;
        at = end + 1;
    }
    return p;
}

static const char kNotAsWritten[] =
    "the PostgreSQL URI has an '@' that is not percent-encoded after its user information, so libpq would read "
    "part of the password as the host or the database: write '@', '/', '?' and '#' in a user name or password as "
    "%40, %2F, %3F and %23 (an '@' in a database name as %40), or keep the password in ~/.pgpass or PGPASSWORD";

// The query parameters a URI may show: libpq's connection keywords but the
// secret ones. Anything else is left out of what is shown (libpq refuses an
// unknown keyword, and a piece of a password cut at an '&' is one).
static bool shown_parameter(const std::string &param) {
    static const char *const keys[] = {
        "host", "hostaddr", "port", "dbname", "user", "passfile", "channel_binding", "connect_timeout",
        "client_encoding", "options", "application_name", "fallback_application_name", "keepalives",
        "keepalives_idle", "keepalives_interval", "keepalives_count", "tcp_user_timeout", "replication",
        "gssencmode", "sslmode", "requiressl", "sslcompression", "sslcert", "sslkey", "sslcertmode",
        "sslrootcert", "sslcrl", "sslcrldir", "sslsni", "requirepeer", "ssl_min_protocol_version",
        "ssl_max_protocol_version", "krbsrvname", "gsslib", "gssdelegation", "service", "target_session_attrs",
        "load_balance_hosts", "require_auth", "sslnegotiation"};
    size_t eq = param.find('=');
    if (eq == std::string::npos) return false;
    for (const char *k : keys)
        if (param.compare(0, eq, k) == 0 && std::strlen(k) == eq) return true;
    return false;
}

// The URI without the password of its user information and its password=
// parameters; `p` as uri_parts found it.
// Where the password of the user information begins (past its ':'), or npos.
static size_t userinfo_password(const std::string &uri, const UriParts &p, size_t scheme) {
    if (p.userinfo_end == std::string::npos) return std::string::npos;
    size_t colon = uri.find(':', scheme);
    return colon < p.userinfo_end ? colon + 1 : std::string::npos;
}

static std::string strip_password(const std::string &uri, const UriParts &p, size_t scheme) {
    std::string out;
    if (p.userinfo_end != std::string::npos) {
        size_t password = userinfo_password(uri, p, scheme);
        out = uri.substr(0, password != std::string::npos ? password - 1 : p.userinfo_end) + uri.substr(p.userinfo_end, 1);
    } else {
        out = uri.substr(0, scheme);
    }
    size_t host = p.userinfo_end == std::string::npos ? scheme : p.userinfo_end + 1;
    out += uri.substr(host, (p.query == std::string::npos ? uri.size() : p.query) - host);
    if (p.query == std::string::npos) return out;
    std::string kept;
    for (size_t at = p.query + 1; at <= uri.size();) {
        size_t end = uri.find('&', at);
        if (end == std::string::npos) end = uri.size();
        std::string param = uri.substr(at, end - at);
        if (shown_parameter(param)) kept += (kept.empty() ? "" : "&") + param;
        at = end + 1;
    }
    return kept.empty() ? out : out + "?" + kept;
}

std::string shown_prefix(const std::string &prefix) {
    size_t scheme = scheme_length(prefix);
    if (!scheme) return prefix;
    size_t slash = prefix.rfind('/');
    std::string uri = prefix.substr(0, slash < scheme ? prefix.size() : slash);
    std::string rest = slash < scheme ? std::string() : prefix.substr(slash);
    UriParts p = uri_parts(uri, scheme);
    if (!p.as_written) return prefix.substr(0, scheme) + "...";
    return strip_password(uri, p, scheme) + rest;
}

// The password pieces a URI holds as written: that of its user information
// and those of its password= parameters, each as written and as libpq would
// decode it (an escape libpq would refuse is kept as it is).
static std::vector<std::string> written_passwords(const std::string &uri, const UriParts &p, size_t scheme) {
    std::vector<std::string> raw;
    if (size_t password = userinfo_password(uri, p, scheme); password != std::string::npos)
        raw.push_back(uri.substr(password, p.userinfo_end - password));
    for (size_t at = uri.find("password=", scheme); at != std::string::npos; at = uri.find("password=", at + 1)) {
        size_t end = uri.find('&', at);
        raw.push_back(uri.substr(at + 9, (end == std::string::npos ? uri.size() : end) - at - 9));
    }
    std::vector<std::string> all;
    for (const std::string &r : raw) {
        std::string decoded;
        for (size_t i = 0; i < r.size(); ++i) {
            if (r[i] == '%' && i + 2 < r.size() && std::isxdigit((unsigned char) r[i + 1]) &&
                std::isxdigit((unsigned char) r[i + 2])) {
                decoded += (char) std::strtol(r.substr(i + 1, 2).c_str(), nullptr, 16);
                i += 2;
            } else {
                decoded += r[i];
            }
        }
        if (!r.empty()) all.push_back(r);
        if (!decoded.empty() && decoded != r) all.push_back(decoded);
    }
    return all;
}

// libpq's message about a URI it cannot read, up to the first part of the
// URI it quotes. Where a quoted part ends cannot be told (libpq does not
// escape a '"' inside one, and any part of the URI may hold one), so none
// of what follows is kept. libpq is asked in the C locale (see
// parse_in_c_locale), and the message is cut at any character that is not
// plain ASCII too, so that quotes of another language could not let a part
// through either.
static std::string before_quoted(const std::string &message) {
    size_t end = 0;
    while (end < message.size() && message[end] != '"' && message[end] != '\'' && message[end] != '\n' &&
           (unsigned char) message[end] >= 0x20 && (unsigned char) message[end] < 0x7f)
        ++end;
    bool cut = end < message.size() && message[end] != '\n';
    std::string out = message.substr(0, end);
    while (!out.empty() && (out.back() == ' ' || out.back() == ':')) out.pop_back();
    return cut ? out + " (the part of the URI it quotes is not shown)" : out;
}

// PQconninfoParse with libpq's messages in English: a translation would
// quote otherwise (de: »...«, fr: « ... »).
static PQconninfoOption *parse_in_c_locale(const pg::Api &pq, const char *uri, char **err) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", (locale_t) 0);
    locale_t before = c_locale ? uselocale(c_locale) : (locale_t) 0;
    PQconninfoOption *opts = pq.PQconninfoParse(uri, err);
    if (before) uselocale(before);
    return opts;
}

// The settings of the link that libpq hands to setsockopt() as they are,
// with the range the kernel takes: a value outside it failed the connection
// with "setsockopt(TCP_KEEPIDLE) failed: Invalid argument", not naming the
// URI's setting, and a negative user timeout was taken for 0 (none), leaving
// a cut link unreported until the reply bound.
struct LinkSetting {
    const char *keyword;
    long min, max;
    const char *unit;
};
static constexpr LinkSetting kLinkSettings[] = {{"keepalives_idle", 1, 32767, "seconds"},
                                                {"keepalives_interval", 1, 32767, "seconds"},
                                                {"keepalives_count", 1, 127, "probes"},
                                                {"tcp_user_timeout", 0, INT_MAX, "milliseconds"}};

// Why `value` does not fit `setting` (empty: it does). Read as libpq reads
// an integer: blanks around it, an optional sign, decimal digits.
static std::string link_setting_fault(const LinkSetting &setting, const char *value) {
    const char *at = value;
    while (*at && std::isspace((unsigned char) *at)) ++at;
    errno = 0;
    char *end = nullptr;
    long n = std::strtol(at, &end, 10);
    bool number = end != at && errno == 0;
    while (number && *end && std::isspace((unsigned char) *end)) ++end;
    if (number && !*end && n >= setting.min && n <= setting.max) return {};
    return std::string("the PostgreSQL URI sets ") + setting.keyword + "=" + value + ": it must be a whole number of " +
           setting.unit + " from " + std::to_string(setting.min) + " to " + std::to_string(setting.max) +
           (setting.min == 0 ? " (0: the system's default)" : "");
}

std::optional<PgAddress> pg_address(nb::handle cacheName, nb::handle cachePrefix) {
    PyObject *p = cachePrefix.ptr();
    if (!PyUnicode_Check(p)) return std::nullopt;
    std::string prefix = utf8_of(p);
    size_t scheme = scheme_length(prefix);
    if (!scheme) return std::nullopt;
    if (!PyUnicode_Check(cacheName.ptr())) raise(PyExc_TypeError, "cacheName must be a str");
    // libpq reads C strings: the URI would end at the NUL, naming another database.
    if (prefix.find('\0') != std::string::npos) raise(PyExc_ValueError, "cachePrefix contains a NUL character");

    const std::string hidden = prefix.substr(0, scheme) + "...";
    PgAddress a;
    size_t slash = prefix.rfind('/');
    if (slash < scheme) {
        raise_store_error(hidden, "a PostgreSQL cachePrefix reads postgresql://user@host:port/database/<name prefix>");
    }
    a.uri = prefix.substr(0, slash);
    a.name = prefix.substr(slash + 1) + utf8_of(cacheName.ptr());
    UriParts parts = uri_parts(a.uri, scheme);
    if (!parts.as_written) raise_store_error(hidden, kNotAsWritten);

    const pg::Api &pq = pg::api("postgresql://");
    char *err = nullptr;
    PQconninfoOption *opts = parse_in_c_locale(pq, a.uri.c_str(), &err);
    if (!opts) {
        std::string why = err ? before_quoted(err) : "out of memory";
        if (err) pq.PQfreemem(err);
        for (const std::string &password : written_passwords(a.uri, parts, scheme))
            why = without_password(why, password);
        raise_store_error(hidden, "cannot read the PostgreSQL URI: " + why);
    }
    std::string user, host, port, dbname, fault;
    for (PQconninfoOption *o = opts; o->keyword; ++o) {
        if (!o->val) continue;
        for (const LinkSetting &setting : kLinkSettings)
            if (fault.empty() && !std::strcmp(o->keyword, setting.keyword)) fault = link_setting_fault(setting, o->val);
        if (!std::strcmp(o->keyword, "password")) a.password = o->val;
        else if (!std::strcmp(o->keyword, "user")) user = o->val;
        else if (!std::strcmp(o->keyword, "host") || (!std::strcmp(o->keyword, "hostaddr") && host.empty())) host = o->val;
        else if (!std::strcmp(o->keyword, "port")) port = o->val;
        else if (!std::strcmp(o->keyword, "dbname")) dbname = o->val;
    }
    pq.PQconninfoFree(opts);
    a.shown_uri = prefix.substr(0, scheme) +
                  without_password((user.empty() ? "" : user + "@") + host + (port.empty() ? "" : ":" + port) + "/" + dbname,
                                   a.password);
    a.shown_prefix = a.shown_uri + "/" + without_password(prefix.substr(slash + 1), a.password);
    a.given_prefix = strip_password(a.uri, parts, scheme) + prefix.substr(slash);
    if (!fault.empty())  // before connecting: named as the store would be
        raise_store_error(a.shown_uri + "/" + without_password(a.name, a.password), without_password(fault, a.password));
    return a;
}

}  // namespace dualcache
