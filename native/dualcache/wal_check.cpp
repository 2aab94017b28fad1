#include "wal_check.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "store_error.h"

namespace dualcache {
namespace {

// The log as SQLite writes it: a 32-byte header (magic, format version,
// page size, checkpoint sequence, two salts, the checksum of the 24 bytes
// before it), then frames of a 24-byte header (page number, the database
// size in pages after a commit or 0, the two salts, the running checksum)
// and one page. All numbers big-endian.
constexpr size_t kHeader = 32, kFrameHeader = 24;
constexpr uint32_t kMagic = 0x377f0682;  // its low bit set: checksums over big-endian words
constexpr uint32_t kVersion = 3007000;
constexpr size_t kMinPage = 512, kMaxPage = 65536;

uint32_t be32(const uint8_t *p) {
    return (uint32_t) p[0] << 24 | (uint32_t) p[1] << 16 | (uint32_t) p[2] << 8 | (uint32_t) p[3];
}
uint32_t le32(const uint8_t *p) {
    return (uint32_t) p[3] << 24 | (uint32_t) p[2] << 16 | (uint32_t) p[1] << 8 | (uint32_t) p[0];
}

// SQLite's running checksum (two 32-bit sums, each step adding a pair of
// words) over `n` bytes, a multiple of 8, continued from `s`.
struct Sums {
    uint32_t a = 0, b = 0;
    bool operator==(const Sums &) const = default;
};
Sums checksum(bool big_endian, const uint8_t *p, size_t n, Sums s) {
    for (size_t i = 0; i < n; i += 8) {
        s.a += (big_endian ? be32(p + i) : le32(p + i)) + s.b;
        s.b += (big_endian ? be32(p + i + 4) : le32(p + i + 4)) + s.a;
    }
    return s;
}

bool valid_page_size(size_t n) { return n >= kMinPage && n <= kMaxPage && (n & (n - 1)) == 0; }

// The log file, open for reading only.
class WalFile {
public:
    explicit WalFile(const std::string &path) : fd_(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)) {}
    ~WalFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    WalFile(const WalFile &) = delete;
    WalFile &operator=(const WalFile &) = delete;

    int64_t size() const {
        struct stat st;
        return fd_ >= 0 && fstat(fd_, &st) == 0 ? (int64_t) st.st_size : -1;
    }
    // `n` bytes at `at`; false past the end (or when they cannot be read:
    // that is no evidence of damage either).
    bool read(uint64_t at, uint8_t *into, size_t n) const {
        for (size_t got = 0; got < n;) {
            ssize_t r = pread(fd_, into + got, n - got, (off_t) (at + got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            got += (size_t) r;
        }
        return true;
    }

private:
    int fd_;
};

// The damage found: where it begins (frame number from 1, 0 for the log's
// header) and the commit frame after it that a later transaction follows,
// in the log of these salts.
struct Damage {
    uint32_t salt1 = 0, salt2 = 0;
    uint64_t from = 0, commit = 0;
    bool operator==(const Damage &) const = default;
};

// How to read the frames: the checksums' word order, the page size, the
// salts of the log's frames and the header's checksum as stored and as
// computed (the first frame's continues it; they differ when the damage is
// in the stored one).
struct Reading {
    bool big_endian;
    size_t page_size;
    uint32_t salt1, salt2;
    Sums header_stored, header_computed;
    bool header_damaged;
    // With a damaged header: the frame the salts were taken from. The
    // frames after it must hold among themselves (its own link, to a frame
    // or header that may be what is damaged, cannot be checked).
    uint64_t salts_from = 0;
};

// A commit frame at or after the damage, followed by a sound frame of
// another transaction: the first such, if any.
//
// A frame is sound when it has a page number, the salts and the checksum
// continued from the checksum of the frame before it: what SQLite's
// recovery checks, frame after frame, until one fails. After a damaged
// frame, the checksum continued is the one it stores (its page is what is
// damaged) or the one computed over it (its stored checksum is): either
// shows it as written where the next frame continues it. A commit frame
// that the next frame, sound, continues counts whether or not its own link
// holds (the damage may lie just before it), when it carries the log's
// salts or is the first damaged frame (the next frame's salts show it of
// this log). With a damaged header the frames must hold among themselves
// after the one the salts were taken from: that is what shows the page
// size and word order right.
std::optional<Damage> look_for_lost_commit(const WalFile &f, const Reading &r) {
    const size_t frame = kFrameHeader + r.page_size;
    std::vector<uint8_t> prev(frame), cur(frame);
    Sums prev_stored = r.header_stored, prev_computed = r.header_computed;
    std::optional<uint64_t> damage_from;
    if (r.header_damaged) damage_from = 0;
    auto sums_over = [&](Sums from) {
        Sums head = checksum(r.big_endian, cur.data(), 8, from);
        return checksum(r.big_endian, cur.data() + kFrameHeader, r.page_size, head);
    };
    for (uint64_t i = 1; f.read(kHeader + (i - 1) * frame, cur.data(), frame); ++i) {
        const uint8_t *h = cur.data();
        Sums stored{be32(h + 16), be32(h + 20)}, computed = sums_over(prev_stored);
        bool sound = be32(h) != 0 && be32(h + 8) == r.salt1 && be32(h + 12) == r.salt2 &&
                     (computed == stored || (prev_computed != prev_stored && sums_over(prev_computed) == stored));
        if (!sound) {
            if (!damage_from) damage_from = i;
            if (r.header_damaged && i > r.salts_from) return std::nullopt;
        }
        // SQLite pads a commit with copies of its last frame (where the file
        // system does not promise that a write leaves its neighbours alone):
        // a copy is the same transaction, not a later one.
        bool copy = std::memcmp(prev.data(), h, 8) == 0 &&
                    std::memcmp(prev.data() + kFrameHeader, h + kFrameHeader, r.page_size) == 0;
        // A commit frame at or after the damage that this frame continues
        // ended a transaction a later one followed, sound or not itself: its
        // own link may be what is damaged, or (the first damaged frame) its
        // salts.
        bool commit_before = damage_from && i - 1 >= *damage_from && be32(prev.data() + 4) != 0 &&
                             (i - 1 == *damage_from ||
                              (be32(prev.data() + 8) == r.salt1 && be32(prev.data() + 12) == r.salt2));
        if (commit_before && sound && !copy) return Damage{r.salt1, r.salt2, *damage_from, i - 1};
        prev_stored = stored;
        prev_computed = computed;
        std::swap(prev, cur);
    }
    return std::nullopt;
}

// Whether the database file already holds, for every page the log's frames
// of these salts write, the last version of it they hold: a log that a
// checkpoint copied in whole and that was then only half started over (its
// new header torn by a crash). Ignoring such a log loses nothing.
bool copied_in(const WalFile &f, const Reading &r, const std::string &db_path) {
    const size_t frame = kFrameHeader + r.page_size;
    std::vector<uint8_t> head(kFrameHeader);
    // Page number -> the frame holding its last version, up to the last
    // commit: frames after it never committed and the file rightly lacks them.
    std::unordered_map<uint32_t, uint64_t> last, pending;
    for (uint64_t i = 1; f.read(kHeader + (i - 1) * frame, head.data(), kFrameHeader); ++i) {
        if (be32(head.data() + 8) != r.salt1 || be32(head.data() + 12) != r.salt2) {
            if (i > r.salts_from) break;
            continue;
        }
        pending[be32(head.data())] = i;
        if (be32(head.data() + 4) != 0) {  // a commit: its transaction's pages are in
            for (auto [page, at] : pending) last[page] = at;
            pending.clear();
        }
    }
    WalFile db(db_path);
    std::vector<uint8_t> in_log(r.page_size), in_file(r.page_size);
    for (auto [page, i] : last) {
        if (page == 0 || !f.read(kHeader + (i - 1) * frame + kFrameHeader, in_log.data(), r.page_size) ||
            !db.read((uint64_t) (page - 1) * r.page_size, in_file.data(), r.page_size) || in_log != in_file)
            return false;
    }
    return true;
}

// One look at the log: the damage that certainly loses a commit, if any.
std::optional<Damage> look(const std::string &wal, const std::string &db_path) {
    WalFile f(wal);
    // Less than a header and two frames of the smallest page loses nothing
    // acknowledged (the log is empty at most opens).
    if (f.size() < (int64_t) (kHeader + 2 * (kFrameHeader + kMinPage))) return std::nullopt;
    uint8_t h[kHeader];
    if (!f.read(0, h, kHeader)) return std::nullopt;
    uint32_t magic = be32(h);
    bool magic_known = (magic & ~1u) == kMagic;
    size_t page_size = be32(h + 8);
    Sums stored{be32(h + 24), be32(h + 28)};
    if (magic_known && valid_page_size(page_size) && be32(h + 4) == kVersion &&
        checksum(magic & 1, h, 24, Sums{}) == stored)
        return look_for_lost_commit(f, Reading{(magic & 1) != 0, page_size, be32(h + 16), be32(h + 20), stored,
                                               stored, false});
    // SQLite ignores a log whose header is damaged, all of it. The frames
    // are read with each word order (the magic that gives it may be what is
    // damaged) and page size that the header may have had, with the salts
    // the first frame carries, or the second's (the damage may reach into
    // the first frame's header).
    bool order = magic_known ? (magic & 1) != 0 : true;
    uint8_t head[kFrameHeader];
    for (bool big_endian : {order, !order}) {
        Sums computed = checksum(big_endian, h, 24, Sums{});
        for (size_t size = kMinPage; size <= kMaxPage; size *= 2) {
            for (uint64_t from : {1, 2}) {
                if (!f.read(kHeader + (from - 1) * (kFrameHeader + size), head, kFrameHeader)) break;
                Reading r{big_endian, size, be32(head + 8), be32(head + 12), stored, computed, true, from};
                if (auto d = look_for_lost_commit(f, r)) return copied_in(f, r, db_path) ? std::nullopt : d;
            }
        }
    }
    return std::nullopt;
}

}  // namespace

void check_wal(const std::string &path) {
    std::string wal = path + "-wal";
    std::optional<Damage> found = look(wal, path);
    // Another process may have been appending to the log or starting it
    // over while it was read: only damage found again is damage.
    if (!found || look(wal, path) != found) return;
    std::string where = found->from ? "at frame " + std::to_string(found->from) : std::string("in its header");
    raise_store_error(path,
                      "the write-ahead log (-wal) is damaged " + where +
                          ", and writes committed from there on (the commit at frame " + std::to_string(found->commit) +
                          " at least) would be lost; the files were left as they are",
                      SQLITE_CORRUPT);
}

}  // namespace dualcache
