#include "pg_api.h"

#include <dlfcn.h>

#include <string>

#include "store_error.h"

namespace dualcache::pg {

const Api &api(const char *what) {
    static Api table;  // filled once, kept for the process
    static bool loaded = false;
    if (loaded) return table;
    void *lib = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
    if (!lib)
        raise_store_error(what, std::string("a PostgreSQL store needs libpq (Debian package libpq5): ") + dlerror());
    Api t{};
#define DUALCACHE_PQ_RESOLVE(f)                                                                  \
    t.f = (decltype(t.f)) dlsym(lib, #f);                                                        \
    if (!t.f) raise_store_error(what, "the libpq found lacks " #f);
    DUALCACHE_PQ_FUNCTIONS(DUALCACHE_PQ_RESOLVE)
#undef DUALCACHE_PQ_RESOLVE
#define DUALCACHE_PQ_OPTIONAL_RESOLVE(f) t.f = (decltype(t.f)) dlsym(lib, #f);
    DUALCACHE_PQ_OPTIONAL(DUALCACHE_PQ_OPTIONAL_RESOLVE)
#undef DUALCACHE_PQ_OPTIONAL_RESOLVE
    table = t;
    loaded = true;
    return table;
}

}  // namespace dualcache::pg
