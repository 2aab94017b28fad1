#include "file_naming.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "format.h"
#include "raise.h"
#include "store_error.h"

namespace dualcache {

static constexpr size_t kNameMax = 255;                  // bytes in one path component
static constexpr size_t kLongestSideSuffix = 8;          // "-journal"
static constexpr size_t kHashDigits = 32;

static bool plain(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

// The percent-encoded name, cut (never inside an escape) to at most `limit`
// bytes; `cut` tells whether anything was left out.
static std::string encode(const std::string &utf8, size_t limit, bool &cut) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    cut = false;
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = (unsigned char) utf8[i];
        size_t unit = plain(c) && !(i == 0 && c == '.') ? 1 : 3;
        if (out.size() + unit > limit) {
            cut = true;
            break;
        }
        if (unit == 1)
            out.push_back((char) c);
        else
            out += std::string{'%', hex[c >> 4], hex[c & 15]};
    }
    return out;
}

static std::string sha256_hex(nb::handle utf8_bytes) {
    nb::object hashlib = nb::module_::import_("hashlib");
    nb::object digest = hashlib.attr("sha256")(utf8_bytes).attr("hexdigest")();
    return std::string(nb::str(digest).c_str()).substr(0, kHashDigits);
}

StoreFiles store_files(nb::handle cacheName, nb::handle cachePrefix) {
    if (!PyUnicode_Check(cacheName.ptr())) raise(PyExc_TypeError, "cacheName must be a str");
    PyObject *fs = PyOS_FSPath(cachePrefix.ptr());
    if (!fs) throw nb::python_error();
    nb::object prefix_obj = nb::steal(fs);
    if (!PyUnicode_Check(fs)) raise(PyExc_TypeError, "cachePrefix must be a str or a path-like object giving a str");
    nb::object prefix_bytes = nb::steal(PyUnicode_EncodeFSDefault(fs));
    if (!prefix_bytes) throw nb::python_error();
    std::string prefix(PyBytes_AS_STRING(prefix_bytes.ptr()), (size_t) PyBytes_GET_SIZE(prefix_bytes.ptr()));
    if (prefix.find('\0') != std::string::npos) raise(PyExc_ValueError, "cachePrefix contains a NUL character");

    nb::object name_bytes = nb::steal(PyUnicode_AsEncodedString(cacheName.ptr(), "utf-8", "surrogatepass"));
    if (!name_bytes) throw nb::python_error();
    std::string name(PyBytes_AS_STRING(name_bytes.ptr()), (size_t) PyBytes_GET_SIZE(name_bytes.ptr()));

    size_t slash = prefix.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : prefix.substr(0, slash));
    size_t base_len = slash == std::string::npos ? prefix.size() : prefix.size() - slash - 1;
    size_t fixed = base_len + std::strlen(format::kSuffix) + kLongestSideSuffix;
    if (fixed + kHashDigits + 8 > kNameMax)
        raise(PyExc_ValueError, "cachePrefix: its file-name part leaves no room for the store name");
    size_t budget = kNameMax - fixed;

    bool cut;
    std::string encoded = encode(name, budget, cut);
    if (cut) encoded = encode(name, budget - kHashDigits - 1, cut) + "~" + sha256_hex(name_bytes);
    return StoreFiles{prefix + encoded + format::kSuffix, dir};
}

void make_directories(const std::string &dir, const std::string &file) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) raise_store_error(file, "cannot create the store: " + dir + " is not a directory");
        return;
    }
    // Create each missing component from the top down.
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            raise_store_error(file, "cannot create directory " + part + ": " + std::strerror(errno));
    }
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        raise_store_error(file, "cannot create directory " + dir);
}

StoreFiles resolve_directory(const StoreFiles &files) {
    char *real = realpath(files.directory.c_str(), nullptr);
    if (!real)
        raise_store_error(files.database, "cannot resolve the directory " + files.directory + ": " + std::strerror(errno));
    std::string dir(real);
    free(real);
    size_t slash = files.database.rfind('/');
    std::string base = slash == std::string::npos ? files.database : files.database.substr(slash + 1);
    return StoreFiles{(dir == "/" ? dir : dir + "/") + base, dir};
}

bool create_private_file(const std::string &path, const std::string &store) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return false;
        raise_store_error(store.empty() ? path : store, std::string("cannot create the store file: ") + std::strerror(errno));
    }
    fchmod(fd, 0600);
    close(fd);
    return true;
}

bool check_own_file(const std::string &path, const std::string &store, struct stat &st) {
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return false;
        raise_store_error(store, "cannot inspect " + path + ": " + std::strerror(errno));
    }
    const std::string what = path == store ? std::string("the store file") : path;
    if (S_ISLNK(st.st_mode))
        raise_store_error(store, what + " is a symbolic link; the store does not follow links (remove it, or give "
                                        "a cachePrefix that names the real directory)");
    if (!S_ISREG(st.st_mode)) raise_store_error(store, what + " is not a regular file");
    if (st.st_uid != geteuid())
        raise_store_error(store, what + " is owned by user " + std::to_string(st.st_uid) + ", not by this user (" +
                                     std::to_string(geteuid()) + "); the store opens only its own user's files");
    return true;
}

void check_directory(const std::string &dir, const std::string &store) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) raise_store_error(store, "cannot inspect " + dir + ": " + std::strerror(errno));
    if ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX))
        raise_store_error(store, "the directory " + dir +
                                     " can be written by every user and has no sticky bit, so another user could "
                                     "replace the store's files: make it private (chmod o-w) or sticky (chmod +t)");
}

const char *const *side_file_suffixes() {
    static const char *const suffixes[] = {"-wal", "-shm", "-journal", nullptr};
    return suffixes;
}

}  // namespace dualcache
