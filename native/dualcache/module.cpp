// Temporary in-memory stand-in for the store; replaced by the SQLite store.
#include <nanobind/nanobind.h>
#include <nanobind/eval.h>
namespace nb = nanobind;

NB_MODULE(dualcache, m) {
    nb::dict scope;
    scope["__builtins__"] = nb::module_::import_("builtins");
    nb::exec(R"(
class StoreError(OSError):
    pass

class DualCache(dict):
    def __init__(self, *, cacheName, cachePrefix):
        super().__init__()
        self.cacheName = cacheName
        self.cachePrefix = cachePrefix
    def destroy(self):
        self.clear()

def register(cls, tag=None, *, codec=None):
    return cls
)", scope);
    m.attr("StoreError") = scope["StoreError"];
    m.attr("DualCache") = scope["DualCache"];
    m.attr("register") = scope["register"];
}
