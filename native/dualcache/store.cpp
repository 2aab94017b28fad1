#include "store.h"

#include <algorithm>
#include <new>
#include <optional>

#include "itemized.h"
#include "pysem/collector_pause.h"
#include "py_import.h"
#include "raise.h"
#include "sealed.h"
#include "store_error.h"
#include "value_kinds.h"

namespace dualcache {

// --- guards ---------------------------------------------------------------

// One public operation: the database must be open and not already inside an
// operation on any of its maps (re-entered from a codec or a key's __eq__,
// or used by another thread while this one waits for SQLite without the
// GIL). Damaged stored data surfaces as StoreError.
class Store::OpGuard {
public:
    explicit OpGuard(Store &s, Connection::Caller caller = Connection::Caller::Owner) : c_(*s.conn_) {
        c_.enter(caller);
    }
    ~OpGuard() { c_.leave(); }

private:
    Connection &c_;
};

// Runs an operation body, turning damaged stored data into StoreError.
template <typename F>
static auto corrupt_as_store_error(const std::string &path, F &&body) -> decltype(body()) {
    try {
        return body();
    } catch (const CorruptValue &c) {
        raise_store_error_from(path, (c.damage ? "damaged stored value: " : "") + c.what, c.cause.ptr());
    }
}

// One write operation of a map. Outside transaction() it is its own
// transaction, committed by commit(); inside, it joins the open level.
// Leaving without commit() (an exception) rolls back as far as needed and
// makes the memory level forget the entry. With `create`, the map's first
// write gives it its tables (and its id, which the rows' checksums name)
// before anything is encoded; a value that then cannot be stored leaves an
// empty map, which reads as one never written (and goes with the rollback
// of a write outside transaction()).
class Store::WriteOp {
public:
    WriteOp(Store &s, bool create) : s_(s), c_(*s.conn_), create_(create) {
        c_.begin_write();
        implicit_ = c_.top().implicit;
        try {
            // The first write into a store of an older format rewrites it
            // in the current one, in this transaction.
            if (c_.needs_upgrade()) {
                sql_ = true;
                c_.wrote(s_);
                c_.upgrade();
            }
            s.sync();  // the index as of the lock
            if (create_ && !s_.exists()) {
                c_.wrote(s_);
                sql_ = true;  // a failure while creating it fails the transaction
                s_.create();
                sql_ = false;
            }
        } catch (...) {
            c_.write_failed(s_, implicit_, sql_, 0);
            throw;
        }
    }
    ~WriteOp() {
        if (!done_) c_.write_failed(s_, implicit_, sql_, entry_);
    }
    WriteOp(const WriteOp &) = delete;
    WriteOp &operator=(const WriteOp &) = delete;

    void entry(Entry *e) { entry_ = e ? e->id : 0; }
    // From here on the database may have changed.
    void sql() {
        sql_ = true;
        c_.wrote(s_);
    }
    void touch(int64_t id, bool added, std::shared_ptr<const Connection::WriteBefore> before = nullptr) {
        c_.touched(s_, id, added, std::move(before));
    }
    // Entry `id` (`key`, with the live value `live`, if any) was removed.
    void removed(int64_t id, nb::handle key, nb::handle live) { c_.removed(s_, id, key, live); }
    void commit() {
        c_.injected_failure();  // test hook: fails as SQLite would, after the statements ran
        done_ = true;
        if (implicit_) c_.commit_outermost();
    }
    // Nothing was written (the key was missing).
    void nothing() {
        done_ = true;
        if (implicit_) c_.rollback_outermost();
    }

private:
    Store &s_;
    Connection &c_;
    bool create_, implicit_ = false, sql_ = false, done_ = false;
    int64_t entry_ = 0;
};

// A transaction level around a composite operation (pop, update, ...).
class Store::Scope {
public:
    explicit Scope(Store &s) : c_(*s.conn_) { c_.begin_level(); }
    ~Scope() {
        if (done_) return;
        try {
            c_.end_level(false);
        } catch (nb::python_error &) {
        }
    }
    void commit() {
        done_ = true;
        c_.end_level(true);
    }

private:
    Connection &c_;
    bool done_ = false;
};

static void raise_key_error(PyObject *key) {
    PyObject *t = PyTuple_Pack(1, key);
    if (t) {
        PyErr_SetObject(PyExc_KeyError, t);
        Py_DECREF(t);
    }
    throw nb::python_error();
}

// --- opening and closing ------------------------------------------------

Store::Store(nb::handle cacheName, nb::handle cachePrefix) {
    nb::object c = nb::inst_alloc(nb::type<Connection>());
    new (nb::inst_ptr<Connection>(c)) Connection(cacheName, cachePrefix);
    nb::inst_mark_ready(c);
    conn_obj_ = std::move(c);
    conn_ = nb::inst_ptr<Connection>(conn_obj_);
    map_name_ = nb::steal(PyUnicode_FromStringAndSize("", 0));
    if (!map_name_) throw nb::python_error();
    conn_->attach(this);
    try {
        OpGuard g(*this);
        corrupt_as_store_error(path(), [&] {
            data_version_ = conn_->data_version();
            rebuild_index();
        });
    } catch (...) {
        conn_->detach(this);
        throw;
    }
}

Store::Store(nb::handle connection, nb::handle name, std::string name_utf8)
    : conn_obj_(nb::borrow(connection)),
      conn_(&connection_of(connection)),
      map_name_(nb::borrow(name)),
      map_utf8_(std::move(name_utf8)) {
    // Nothing is read until the map is first used.
    map_id_ = map_utf8_.empty() ? 0 : kAbsent;
    stale_ = true;
    conn_->attach(this);
}

Store::~Store() { conn_->detach(this); }

void Store::close() { conn_->close(); }

void Store::destroy() { conn_->destroy(); }

// --- staying in step with other connections -------------------------------

// Runs `f` on the key of entry row `id`: damage it finds names the row.
template <typename F>
static decltype(auto) naming_row(int64_t id, F &&f) {
    try {
        return f();
    } catch (CorruptValue &c) {
        c.what = "the key of entry row " + std::to_string(id) + ": " + c.what;
        throw;
    }
}

void Store::rebuild_index() {
    Db &db = conn_->db();
    if (!exists())
        if (int64_t id = db.find_map(map_utf8_)) map_id_ = id;
    Decoder dec(conn_->tags(), map_id_);
    EntryIndex::Rebuild rb(index_);
    bool updated = false;
    if (exists()) {
        // One snapshot for the scan and the engine's check of it.
        bool own = !conn_->in_transaction();
        try {
            if (own) db.run(Sql::Begin).done();
            int64_t rows = 0, last = 0;
            auto row = [&](Run &q) {
                int64_t id = q.int64(0);
                ++rows;
                // Row ids ascend in a sound table (a damaged page can
                // give one row twice, or another in its place).
                if (id <= last)
                    throw CorruptValue{"the entry rows are damaged: row " + std::to_string(id) + " comes after row " +
                                       std::to_string(last)};
                last = id;
                naming_row(id, [&] { rb.row(id, q.int64(1), [&] { return dec.key(q.blob(2)); }); });
            };
            bool again = false;
            {
                db.scan_from(index_logged() ? map_id_ : -1, data_version_);
                Run q = db.run(Sql::ScanEntries, map_id_);
                bool more = q.step();
                if (more && q.int64(0) == 0) {
                    // The engine brought what changed since the index was read.
                    updated = !stale_ && update_index(q, dec);
                    again = !updated;
                } else {
                    for (; more; more = q.step()) row(q);
                }
            }
            if (again) {
                db.scan_from(-1, 0);  // (every entry, this time)
                Run q = db.run(Sql::ScanEntries, map_id_);
                while (q.step()) row(q);
            }
            if (!updated) db.check_scanned(map_id_, rows);
            if (own) db.run(Sql::Commit).done();
        } catch (...) {
            if (own) db.rollback_quietly();
            throw;
        }
    }
    if (updated) {
        ++updates_;
    } else {
        rb.finish();
        ++rebuilds_;
    }
    stale_ = false;
}

bool Store::update_index(Run &q, Decoder &dec) {
    // Rows (id, version, key) in id order; version -1: the entry is gone.
    struct Change {
        int64_t id, version;
        nb::object key;  // of an entry new here
    };
    std::vector<Change> changes;
    std::vector<int64_t> gone;  // (a key removed and added again comes back under a new id)
    const Entry *tail = index_.last();
    int64_t last = tail ? tail->id : 0;
    while (q.step()) {
        int64_t id = q.int64(0), version = q.int64(1);
        if (id <= 0) return false;
        if (version < 0 || index_.by_id(id)) {
            if (version < 0) gone.push_back(id);
            changes.push_back(Change{id, version, nb::object()});
            continue;
        }
        // A new entry comes after every entry known here, under a key none
        // of them has; anything else is read again in full.
        if (id <= last) return false;
        nb::object key;
        bool fits = naming_row(id, [&] {
            key = dec.key(q.blob(2));
            try {
                if (Entry *had = index_.find(key.ptr()))
                    if (std::find(gone.begin(), gone.end(), had->id) == gone.end()) return false;
                for (const Change &c : changes)
                    if (c.key && PyObject_RichCompareBool(c.key.ptr(), key.ptr(), Py_EQ) != 0) {
                        if (PyErr_Occurred()) throw nb::python_error();
                        return false;
                    }
            } catch (nb::python_error &) {
                corrupt_from_python_error("a key that cannot be hashed or compared");
            }
            return true;
        });
        if (!fits) return false;
        last = id;
        changes.push_back(Change{id, version, std::move(key)});
    }
    // Nothing below raises a Python error: the index changes as a whole.
    for (const Change &c : changes) {
        if (c.key) continue;
        Entry *e = index_.by_id(c.id);
        if (!e) continue;  // (another map's entry, or one gone already)
        if (c.version < 0) {
            index_.remove(*e);
        } else if (e->version != c.version) {
            e->outdate();
            e->version = c.version;
        }
    }
    for (const Change &c : changes)
        if (c.key) index_.add(c.key, c.id, c.version);
    return true;
}

void Store::sync(PyObject *read) {
    // Under the write lock nobody else commits: the version read when it
    // was taken holds for the whole transaction.
    int64_t dv;
    if (conn_->in_transaction()) {
        dv = conn_->locked_version();
    } else {
        if (!map_id_) {
            WriteHint view;
            view.view = data_version_;
            view.index_current = index_logged();
            // (A key whose hash and equality run no code of the caller's:
            // the lookup after this one is the only one it sees.)
            if (read && (PyUnicode_CheckExact(read) || PyLong_CheckExact(read)) && conn_->db().reads_ahead())
                write_hint(read, view);  // (the same view, and the key's entry)
            conn_->db().expect_scan(view);
        }
        dv = conn_->data_version();
    }
    if (dv != data_version_ || stale_) {
        rebuild_index();
        data_version_ = dv;
        if (!rolled_back_.empty()) drop_kept_of_removed();
    }
}

void Store::create() {
    map_id_ = conn_->db().create_map(map_utf8_);
    conn_->created(*this, map_id_);
}

// --- reading ----------------------------------------------------------------

// A position's key is usually its entry's key: the head's field that
// equals it (an exact str) takes the entry's key object instead of a copy
// of its own (a loaded portfolio keeps one string per key, not two). The
// decoder takes it in place of an ASCII field outright (str_key); the rest
// are compared once decoded (share_key).
static PyObject *str_key(PyObject *key) { return PyUnicode_CheckExact(key) ? key : nullptr; }

static void share_key(Decoder::Head &h, PyObject *key) {
    if (!PyUnicode_CheckExact(key)) return;
    PyObject *fields = h.fields.ptr();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        PyObject *f = PyTuple_GET_ITEM(fields, i);
        if (f == key || !PyUnicode_CheckExact(f) || PyUnicode_GET_LENGTH(f) != PyUnicode_GET_LENGTH(key)) continue;
        int eq = PyUnicode_Compare(f, key);
        if (eq == -1 && PyErr_Occurred()) throw nb::python_error();
        if (eq == 0) {
            PyTuple_SET_ITEM(fields, i, Py_NewRef(key));
            Py_DECREF(f);
        }
    }
}

// An itemized record from its head (as decoded from `stored`) and its
// items; `st` takes the stored head. The head's fields tuple, still its
// own, takes the mapping in place of its None.
static nb::object assemble(Decoder::Head &h, nb::object mapping, std::string stored, ItemState &st) {
    PyObject *fields = h.fields.ptr();
    PyObject *none = PyTuple_GET_ITEM(fields, h.slot);
    PyTuple_SET_ITEM(fields, h.slot, mapping.release().ptr());
    Py_DECREF(none);
    nb::object value = Decoder::build(*h.shape, fields, nullptr);
    st.head = std::move(stored);
    st.rows_since = h.rows_since;
    return value;
}

// Whether another connection only appended items to entry `e` since this
// one knew it, and the value it knew (kept as outdated) was extended in
// place by them: its class as stored, every field other than the items as
// the head has it, its mapping untouched since. `stored`: the head as
// stored, which the state takes. False with nothing changed otherwise.
bool Store::extend_outdated(Entry &e, Decoder &dec, const Decoder::Head &h, std::string &stored, size_t &decoded) {
    ItemState &st = *e.items;
    PyObject *old = st.outdated.ptr();
    const RecordClass *rc = h.shape->rc;
    if (!rc || !h.shape->same || Py_TYPE(old) != rc->cls || rc->itemized_field() != h.slot) return false;
    auto changed = rc->items_changed();
    auto append = rc->items_append();
    if (!changed || !append) return false;
    nb::object fields = rc->fields(old);
    PyObject *stored_fields = h.fields.ptr();  // a tuple, None at the items slot
    if (PyTuple_GET_SIZE(fields.ptr()) != PyTuple_GET_SIZE(stored_fields)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(stored_fields); ++i) {
        if (i == h.slot) continue;
        PyObject *a = PyTuple_GET_ITEM(fields.ptr(), i), *b = PyTuple_GET_ITEM(stored_fields, i);
        if (a == b) continue;
        if (Py_TYPE(a) != Py_TYPE(b) || !is_identity_safe(a)) return false;
        int eq = PyObject_RichCompareBool(a, b, Py_EQ);
        if (eq < 0) PyErr_Clear();
        if (eq != 1) return false;
    }
    PyObject *mapping = PyTuple_GET_ITEM(fields.ptr(), h.slot);
    try {
        if (!extend_items(conn_->db(), map_id_, dec, e.id, h, st, mapping, changed, append, decoded)) return false;
    } catch (...) {
        e.forget();  // the mapping is part-way: forget what described it
        throw;
    }
    st.head = std::move(stored);
    st.rows_since = h.rows_since;
    return true;
}

bool Store::load(Entry &e) {
    Db &db = conn_->db();
    bool own = !conn_->in_transaction();
    try {
        if (own) db.run(Sql::Begin).done();
        Decoder dec(conn_->tags(), map_id_);
        nb::object value;
        std::unique_ptr<ItemState> st;
        int64_t version = 0, known_at = 0;
        bool found;
        // Outside a transaction, a position this connection held before
        // another wrote it may come back as only its rows past the known
        // ones (extend_items, or reload_items for a value no change record
        // vouches for); if they do not fit, it is read again whole, in one
        // snapshot.
        const ItemState *known = e.items.get();
        bool narrow = own && known && known->outdated;
        for (;;) {
            if (narrow) db.load_from(map_id_, e.id, known->next_ord, known->known_at);
            Run q = db.run(Sql::LoadEntry, map_id_);
            q.bind(1, e.id);
            found = q.step();
            if (found) {
                version = q.int64(0);
                known_at = db.loaded_changes(map_id_, e.id);
                std::string_view blob = q.blob(1);
                std::string_view bytes = dec.entry_payload(blob);
                if (Decoder::is_itemized_head(bytes)) {
                    std::string stored(blob);  // kept as the state's head
                    Decoder::Head h = dec.head(std::string_view(stored).substr(0, bytes.size()), str_key(e.key.ptr()));
                    share_key(h, e.key.ptr());
                    // Another connection wrote the entry since this one knew
                    // its rows: usually it only added items.
                    nb::object mapping;
                    bool reloaded = false;
                    size_t decoded = 0;
                    if (e.items && e.items->outdated && extend_outdated(e, dec, h, stored, decoded)) {
                        // The live value it was, with the items appended since.
                        st = std::move(e.items);
                        value = std::move(st->outdated);
                        items_decoded_ += (int64_t) decoded;
                        ++incremental_loads_;
                        ++extended_;
                    } else if (e.items) {
                        // The items it shares with the rows kept go to the
                        // new value alone.
                        e.items->outdated.reset();
                        mapping = reload_items(db, map_id_, dec, e.id, h, e.items, st, decoded);
                        if (mapping) {
                            ++incremental_loads_;
                            reloaded = true;
                        } else if (narrow) {
                            narrow = false;
                            continue;
                        }
                    }
                    if (!value) {
                        if (!mapping) {
                            mapping = load_items(db, map_id_, dec, e.id, h, st);
                            decoded = st->live;
                        }
                        items_decoded_ += (int64_t) decoded;
                        PyObject *items = mapping.ptr();  // held by the value from here on
                        value = assemble(h, std::move(mapping), std::move(stored), *st);
                        if (reloaded && h.shape->rc) mark_items(*st, items, h.shape->rc->items_changed());
                    }
                } else {
                    value = dec.value(bytes);
                }
            }
            break;
        }
        if (found && st && !rolled_back_.empty()) value = rejoin(e, std::move(value), st);
        if (own) db.run(Sql::Commit).done();
        if (!found) {
            stale_ = true;  // deleted by another connection since the index was read
            return false;
        }
        e.live = std::move(value);
        e.version = version;
        if (st) st->known_at = known_at;
        e.items = std::move(st);
        ++loads_;
        in_order_ = e.id > last_loaded_ ? in_order_ + 1 : 1;
        last_loaded_ = e.id;
        return true;
    } catch (CorruptValue &c) {
        if (own) db.rollback_quietly();
        c.what = "entry " + short_repr(e.key.ptr()) + ": " + c.what;
        throw;
    } catch (...) {
        if (own) db.rollback_quietly();
        throw;
    }
}

namespace {

// The entry a scan of the whole map is decoding: its head, then its item
// rows as they come.
struct ScannedEntry {
    Entry *entry = nullptr;  // null: the rows that follow are not wanted
    int64_t version = 0;
    nb::object value;        // a value without items, decoded already
    std::string stored;      // an itemized record's head, as stored
    std::optional<Decoder::Head> head;
    std::optional<ItemReader> items;
};

}  // namespace

size_t Store::scan_all() {
    Db &db = conn_->db();
    Decoder dec(conn_->tags(), map_id_);
    size_t loaded = 0;
    int64_t decoded = 0;
    ScannedEntry cur;
    size_t at = 0;  // the scan's place in the index (both in id order)
    // Puts the entry decoded so far into the memory level; one whose rows
    // are damaged stays out (its own load reports them).
    auto finish = [&] {
        Entry *e = cur.entry;
        if (!e) return;
        cur.entry = nullptr;
        try {
            std::unique_ptr<ItemState> st;
            nb::object value;
            if (cur.items) {
                size_t n = cur.items->count();
                nb::object mapping = cur.items->finish(*cur.head, st);
                value = assemble(*cur.head, std::move(mapping), std::move(cur.stored), *st);
                decoded += (int64_t) n;
                if (!rolled_back_.empty()) value = rejoin(*e, std::move(value), st);
            } else {
                value = std::move(cur.value);
            }
            e->live = std::move(value);
            e->version = cur.version;
            e->items = std::move(st);
            ++loaded;
        } catch (const CorruptValue &) {
        }
    };
    // One row: an entry's head, or an item row of the entry before it.
    auto take = [&](const ScanRow &row) {
        if (row.item) {
            if (!cur.entry || row.id != cur.entry->id || !cur.items) return;
            try {
                if (row.check == ScanRow::Damaged) throw CorruptValue{};
                if (row.check == ScanRow::Sound)
                    cur.items->checked_row(dec, row.ord, row.ikey, row.payload, row.crc);
                else
                    cur.items->row(dec, row.ord, row.ikey, row.stored);
            } catch (const CorruptValue &) {
                cur.entry = nullptr;
            }
            return;
        }
        finish();
        cur = ScannedEntry{};
        Entry *e = index_.by_id_ascending(row.id, at);
        if (!e || e->live || e->items) return;  // not in the iteration, in memory, or read incrementally
        try {
            cur.version = row.version;
            if (row.check == ScanRow::Damaged) throw CorruptValue{};
            std::string_view bytes = row.check == ScanRow::Sound ? row.payload : dec.entry_payload(row.stored);
            if (Decoder::is_itemized_head(bytes)) {
                cur.stored.assign(row.stored);
                cur.head.emplace(dec.head(std::string_view(cur.stored).substr(0, bytes.size()), str_key(e->key.ptr())));
                share_key(*cur.head, e->key.ptr());
                cur.items.emplace(expected_items(*cur.head));
            } else {
                cur.value = dec.value(bytes);
            }
            cur.entry = e;
        } catch (const CorruptValue &) {
        }
    };
    ScanRow row;
    auto *sqlite = dynamic_cast<SqliteDb *>(&db);
    if (sqlite && index_.unloaded() >= prefetch_from) {
        // Many rows to read: SQLite reads ahead on a worker thread while
        // this one decodes.
        conn_->tags().read_all();
        std::unique_ptr<PrefetchScan> q = sqlite->prefetch_all(map_id_, conn_->tags().format() >= 2);
        while (q->next(row)) take(row);
    } else {
        Run q = db.run(Sql::LoadAll, map_id_);
        while (q.step()) {
            row.read(q);
            take(row);
        }
    }
    finish();
    loads_ += (int64_t) loaded;
    items_decoded_ += decoded;
    return loaded;
}

void Store::load_missing() {
    in_order_ = 0;
    if (!exists()) return;
    // One by one is cheaper while few of the entries are missing.
    size_t missing = index_.unloaded();
    if (missing < 2 || missing * 8 < (size_t) index_.size()) return;
    pysem::CollectorPause paused;  // every object built stays alive: a collection would free nothing
    Db &db = conn_->db();
    bool own = !conn_->in_transaction();
    try {
        if (own) db.run(Sql::Begin).done();
        scan_all();
        if (own) db.run(Sql::Commit).done();
    } catch (...) {
        if (own) db.rollback_quietly();
        throw;
    }
    ++bulk_loads_;
}

void Store::load_all() {
    OpGuard g(*this);
    corrupt_as_store_error(path(), [&] {
        if (stale_) sync();
        load_missing();
    });
}

// The live value of a key's entry, loading it when needed; null when the
// key turned out to be gone.
nb::object Store::value_of(Entry &e) {
    if (!e.live) {
        // Keys read one after another in the store's order (a loop over
        // every key): the rest is read in one pass. Not while the index
        // awaits a reload (it may drop `e`).
        if (in_order_ >= std::max<size_t>(kInOrderRun, (size_t) index_.size() / 64) && !stale_) load_missing();
        if (!e.live && !load(e)) return nb::object();
    }
    return e.live;
}

nb::object Store::lookup(PyObject *key) {
    Entry *e = index_.find(key);
    if (!e) return nb::object();
    conn_->on_entry(map_id_, e->id);
    return read_listed(key, e);
}

nb::object Store::read_listed(PyObject *key, Entry *e) {
    if (nb::object v = value_of(*e)) return v;
    // No row under the entry's id. Either another connection removed the
    // key since the index was read (it then reads as absent), or the
    // entries table is damaged: its scan lists a row that a search by id
    // misses. The index, read again, tells which: the key gone, or stored
    // again under a new id, is another connection's doing; the key still
    // under the same id, in a snapshot that no other commit can have
    // followed (the same data version before the index was read and after
    // the row was missed, or one transaction's snapshot), is damage.
    bool in_transaction = conn_->in_transaction();
    if (in_transaction && !conn_->db().reads_one_snapshot()) return nb::object();
    for (int look = 0; look < 3; ++look) {  // (others that keep committing meanwhile: absent, as it may be)
        int64_t id = e->id;
        sync();  // (the missed load marked the index stale: it is read again)
        e = index_.find(key);
        if (!e) return nb::object();
        if (nb::object v = value_of(*e)) return v;
        if (e->id == id && (in_transaction || conn_->data_version() == data_version_))
            throw CorruptValue{"entry " + short_repr(key) + ": the entries table is damaged: a scan finds its row " +
                               std::to_string(id) + ", a search by that id does not"};
    }
    return nb::object();
}

nb::object Store::getitem(PyObject *key) {
    OpGuard g(*this);
    return corrupt_as_store_error(path(), [&] {
        sync(key);
        nb::object v = lookup(key);
        if (!v) raise_key_error(key);
        return v;
    });
}

nb::object Store::get(PyObject *key, PyObject *dflt) {
    OpGuard g(*this);
    return corrupt_as_store_error(path(), [&] {
        sync(key);
        nb::object v = lookup(key);
        return v ? v : nb::borrow(dflt);
    });
}

bool Store::contains(PyObject *key) {
    OpGuard g(*this);
    return corrupt_as_store_error(path(), [&] {
        sync();
        Entry *e = index_.find(key);
        if (e) conn_->on_entry(map_id_, e->id);
        return e != nullptr;
    });
}

Py_ssize_t Store::length() {
    OpGuard g(*this);
    return corrupt_as_store_error(path(), [&] {
        sync();
        return index_.size();
    });
}

nb::object Store::keys_snapshot() {
    OpGuard g(*this);
    return corrupt_as_store_error(path(), [&] {
        sync();
        return index_.keys();
    });
}

bool Store::value_for_iteration(PyObject *key, nb::object &value) {
    OpGuard g(*this);
    return corrupt_as_store_error(path(), [&] {
        if (stale_) sync();
        Entry *e = index_.find(key);
        if (!e) return false;
        value = read_listed(key, e);
        return (bool) value;
    });
}

bool Store::still_present(PyObject *key) {
    OpGuard g(*this);
    return index_.find(key) != nullptr;
}

// --- transactions -----------------------------------------------------------

void Store::begin_transaction(PyObject *key) {
    OpGuard g(*this);
    WriteHint hint;
    bool hinted = key && !conn_->in_transaction() && write_hint(key, hint);
    // (Without a key: the index's data version, for what changed since.)
    if (!hinted && !map_id_ && index_logged() && !conn_->in_transaction()) conn_->db().scan_from(0, data_version_);
    corrupt_as_store_error(path(), [&] { conn_->begin_level(hinted ? &hint : nullptr); });
    conn_->on_level();
}

bool Store::write_hint(PyObject *key, WriteHint &hint) {
    if (!exists()) return false;
    Entry *e = index_.find(key);
    hint.map = map_id_;
    hint.view = data_version_;
    hint.index_current = index_logged();
    if (!e) {
        // A new entry: known to be new only while the index is current.
        if (stale_) return false;
        hint.current = true;
        const Entry *last = index_.last();
        hint.last_id = last ? last->id : 0;
        return true;
    }
    // A stale index may name another row: then only a read is wasted.
    hint.entry = e->id;
    hint.current = !stale_ && e->live;
    hint.version = hint.current ? e->version : -1;
    // The rows a read could go on from (extend_items, or reload_items).
    const ItemState *st = e->items.get();
    if (st && (e->live || st->outdated)) {
        hint.items_from = st->next_ord;
        hint.items_known_at = st->known_at;
    }
    return true;
}

void Store::end_transaction(bool ok) {
    // Any thread may end a block: a generator holding one may be finished,
    // or collected, in another thread than the one that began it.
    OpGuard g(*this, Connection::Caller::AnyThread);
    conn_->on_level();
    corrupt_as_store_error(path(), [&] { conn_->end_level(ok); });
}

// --- writing ------------------------------------------------------------------

// What the head written with `plan` records of the entry's item rows
// (format 4): the entry's new version `version` when the plan rewrites or
// removes a row or writes them all anew, or when the state recorded
// nothing and rows are written; else what the state recorded.
static uint64_t head_rows_since(const ItemPlan &plan, const ItemState &st, int format, int64_t version) {
    if (format < format::kRowsSinceVersion) return 0;
    bool rewrites = plan.rewrite_all || (st.rows_since == 0 && !plan.ops.empty());
    for (const ItemOp &op : plan.ops) rewrites = rewrites || op.kind != ItemOp::Insert;
    return rewrites ? (uint64_t) version : st.rows_since;
}

// Whether a plan only appends rows to the state it was made from (`held`,
// which it still is, as it was at `before`).
static bool appends_only(const ItemPlan &plan, const ItemState &st, const ItemState *held,
                         const ItemStateBefore &before) {
    if (&st != held || plan.rewrite_all || !st.only_appended_since(before) ||
        st.recs.size() - before.slots != plan.ops.size())
        return false;
    for (const ItemOp &op : plan.ops)
        if (op.kind != ItemOp::Insert || op.ord < before.next_ord) return false;
    return true;
}

void Store::set_locked(PyObject *key, PyObject *value) {
    WriteOp op(*this, true);
    Py_hash_t hash;
    Entry *e = index_.find(key, &hash);
    if (e) conn_->on_entry(map_id_, e->id);
    if (e && !rolled_back_.empty()) rolled_back_.erase(e->id);  // the value written is the live one
    op.entry(e);
    bool added = !e;

    // Encode first: an unstorable value fails before anything is written.
    Encoder enc(conn_->tags());
    const RecordClass *rc = record_class_of(Py_TYPE(value));
    nb::object fields;
    PyObject *mapping = nullptr;
    if (rc) {
        fields = rc->fields(value);
        int slot = rc->itemized_field();
        if (slot >= 0 && slot < PyTuple_GET_SIZE(fields.ptr()) && PyDict_CheckExact(PyTuple_GET_ITEM(fields.ptr(), slot)))
            mapping = PyTuple_GET_ITEM(fields.ptr(), slot);
    }
    ByteWriter vw, kw;
    std::unique_ptr<ItemState> st;
    ItemPlan plan;
    std::shared_ptr<Connection::WriteBefore> before;
    if (mapping) {
        // Only a live value vouches for the item state: an outdated one
        // (another connection wrote the entry since) describes old rows.
        if (e && e->live) st = std::move(e->items);
        // A commit refused because another writer came first must not cost
        // the next read every row: the state before this write is kept
        // while the write only appends.
        const ItemState *held = st.get();
        if (held && conn_->first_write())
            before = std::make_shared<Connection::WriteBefore>(Connection::WriteBefore{e->version, held, held->before()});
        plan = plan_items(mapping, st, enc, rc->items_changed(), map_id_);
        if (before && !appends_only(plan, *st, held, before->items)) before.reset();
        conn_->count_compared((int64_t) plan.compared);
        st->rows_since = head_rows_since(plan, *st, conn_->db().format(), e ? e->version + 1 : 1);
        enc.itemized_head(*rc, fields.ptr(), rc->itemized_field(), st->live, st->xor_crc, st->rows_since, vw);
    } else if (rc) {
        enc.record(*rc, fields.ptr(), vw);
    } else {
        enc.value(value, vw);
    }
    sealed::value(vw.out(), map_id_);
    if (!e) {
        enc.value(key, kw);
        sealed::key(kw.out(), map_id_);
    }

    op.sql();
    Db &db = conn_->db();
    bool changed = !e || !mapping || plan.rewrite_all || !plan.ops.empty() || st->head != vw.str();
    int64_t id = e ? e->id : 0, version = e ? e->version : 0;
    if (changed) {
        std::string_view value_bytes(vw.str());
        if (!e) {
            db.run(Sql::InsertEntry, map_id_).bind(1, std::string_view(kw.str())).bind(2, value_bytes).done();
            id = db.last_insert_id();
            version = 1;
        } else {
            // Writers hold the lock and know the stored version: each write
            // of an entry gives it a new one.
            version = e->version + 1;
            db.run(Sql::UpdateEntry, map_id_).bind(1, id).bind(2, version).bind(3, value_bytes).done();
            if (!mapping || plan.rewrite_all) db.run(Sql::DeleteItemsOf, map_id_).bind(1, id).done();
        }
        conn_->count_written(1, (int64_t) (kw.size() + vw.size()));
        if (mapping) {
            apply_items(db, map_id_, id, plan);
            int64_t bytes = 0;
            for (const ItemOp &o : plan.ops) bytes += (int64_t) (o.key.size() + o.value.size());
            conn_->count_written((int64_t) plan.ops.size(), bytes);
        }
    }

    if (!e) e = &index_.add(key, hash, id, version);
    e->version = version;
    e->live = nb::borrow(value);
    if (mapping) {
        st->head = vw.str();
        st->known_at = db.changes_before_commit();
        e->items = std::move(st);
    } else {
        e->items.reset();
    }
    op.touch(id, added, std::move(before));
    op.commit();
}

nb::object Store::rejoin(const Entry &e, nb::object fresh, std::unique_ptr<ItemState> &st) {
    auto at = rolled_back_.find(e.id);
    if (at == rolled_back_.end()) return fresh;
    Kept kept = std::move(at->second);
    rolled_back_.erase(at);
    PyObject *h = kept.value.ptr(), *f = fresh.ptr();
    if (!st || h == f || Py_TYPE(h) != Py_TYPE(f)) return fresh;
    const RecordClass *rc = record_class_of(Py_TYPE(f));
    // Only a native codec's records: taking one apart runs no code of the
    // caller's, and its fields are all it holds.
    if (!rc || !rc->codec || rc->to_fields) return fresh;
    // Only compared: nothing is read or written, and any doubt keeps what
    // was read.
    TagTable::Probe probe(conn_->tags());
    try {
        if (kept.key.ptr() != e.key.ptr()) {
            if (!same_immutable_kind(kept.key.ptr(), e.key.ptr())) return fresh;
            int eq = PyObject_RichCompareBool(kept.key.ptr(), e.key.ptr(), Py_EQ);
            if (eq != 1) {
                if (eq < 0) throw nb::python_error();
                return fresh;
            }
        }
        int slot = rc->itemized_field();
        nb::object held_fields = rc->fields(h), fresh_fields = rc->fields(f);
        if (slot < 0 || slot >= PyTuple_GET_SIZE(held_fields.ptr()) ||
            !same_immutable_fields(held_fields.ptr(), fresh_fields.ptr(), slot))
            return fresh;
        Encoder enc(conn_->tags());
        ByteWriter a, b;
        enc.itemized_head(*rc, held_fields.ptr(), slot, st->live, st->xor_crc, st->rows_since, a);
        enc.itemized_head(*rc, fresh_fields.ptr(), slot, st->live, st->xor_crc, st->rows_since, b);
        if (a.str() != b.str()) return fresh;
        std::unique_ptr<ItemState> rebuilt;
        if (!rejoin_items(PyTuple_GET_ITEM(held_fields.ptr(), slot), *st, enc, rebuilt)) return fresh;
        st = std::move(rebuilt);
        return kept.value;
    } catch (nb::python_error &err) {
        // An interrupt, or a lack of memory, says nothing of the values.
        if (!err.matches(PyExc_Exception) || err.matches(PyExc_MemoryError) || err.matches(PyExc_RecursionError)) throw;
        return fresh;
    } catch (const ShapeNotStored &) {
        return fresh;
    }
}

void Store::drop_kept_of_removed() {
    for (auto it = rolled_back_.begin(); it != rolled_back_.end();)
        it = index_.by_id(it->first) ? std::next(it) : rolled_back_.erase(it);
}

void Store::restore_entry(int64_t id, const Connection::WriteBefore &before) {
    Entry *e = index_.by_id(id);
    if (!e) return;
    keep_rolled_back(e->id, e->key, e->live);
    if (e->items.get() != before.state || !e->items->only_appended_since(before.items)) {
        e->forget();
        return;
    }
    try {
        e->items->restore(ItemStateBefore(before.items));
    } catch (nb::python_error &) {
        e->forget();
        return;
    }
    e->version = before.version;
    e->outdate();
}

bool Store::del_locked(PyObject *key) {
    WriteOp op(*this, false);
    Entry *e = index_.find(key);
    if (e) conn_->on_entry(map_id_, e->id);
    if (!e) {
        op.nothing();
        return false;
    }
    op.sql();
    int64_t id = e->id;
    conn_->db().run(Sql::DeleteEntry, map_id_).bind(1, id).done();
    conn_->db().run(Sql::DeleteItemsOf, map_id_).bind(1, id).done();
    nb::handle live = e->live;
    nb::object kept;  // a value kept from a rollback stands for the live one
    if (auto at = rolled_back_.find(id); at != rolled_back_.end()) {
        kept = std::move(at->second.value);
        rolled_back_.erase(at);
        if (!live) live = kept;
    }
    op.removed(id, e->key, live);
    index_.remove(*e);
    op.commit();
    return true;
}

void Store::setitem(PyObject *key, PyObject *value) {
    OpGuard g(*this);
    if (PyObject_Hash(key) == -1) throw nb::python_error();
    corrupt_as_store_error(path(), [&] { set_locked(key, value); });
}

void Store::delitem(PyObject *key) {
    OpGuard g(*this);
    if (PyObject_Hash(key) == -1) throw nb::python_error();
    bool found = corrupt_as_store_error(path(), [&] { return del_locked(key); });
    if (!found) raise_key_error(key);
}

void Store::clear() {
    OpGuard g(*this);
    corrupt_as_store_error(path(), [&] {
        WriteOp op(*this, false);
        if (!exists()) {  // a map never written: nothing to remove
            op.nothing();
            return;
        }
        op.sql();
        conn_->db().run(Sql::DeleteAllEntries, map_id_).done();
        conn_->db().run(Sql::DeleteAllItems, map_id_).done();
        index_.clear();
        rolled_back_.clear();
        op.commit();
    });
}

// A read-then-write operation on one key, as one transaction: `body`
// receives the key's value (null when absent) and may write.
template <typename F>
nb::object Store::keyed_transaction(PyObject *key, F &&body) {
    OpGuard g(*this);
    if (PyObject_Hash(key) == -1) throw nb::python_error();
    return corrupt_as_store_error(path(), [&] {
        Scope scope(*this);
        sync();
        nb::object result = body(lookup(key));
        scope.commit();
        return result;
    });
}

nb::object Store::pop(PyObject *key, PyObject *dflt) {
    return keyed_transaction(key, [&](nb::object v) {
        if (v) {
            del_locked(key);
            return v;
        }
        if (!dflt) raise_key_error(key);
        return nb::borrow(dflt);
    });
}

nb::object Store::popitem() {
    OpGuard g(*this);
    return corrupt_as_store_error(path(), [&] {
        Scope scope(*this);
        sync();
        Entry *e = index_.last();
        if (!e) {
            PyErr_SetString(PyExc_KeyError, "popitem(): DualCache is empty");
            throw nb::python_error();
        }
        nb::object key = e->key;
        nb::object v = read_listed(key.ptr(), e);
        if (!v) raise(PyExc_RuntimeError, "DualCache entry vanished during popitem()");
        del_locked(key.ptr());
        scope.commit();
        return nb::make_tuple(key, v);
    });
}

nb::object Store::setdefault(PyObject *key, PyObject *dflt) {
    return keyed_transaction(key, [&](nb::object v) {
        if (v) return v;
        set_locked(key, dflt);
        return nb::borrow(dflt);
    });
}

static PyObject *mapping_abc() {
    static PyObject *abc = nullptr;  // kept for the process
    if (!abc) abc = import_attr("collections.abc", "Mapping");
    return abc;
}

// The (key, value) pairs an update() call names, as MutableMapping.update
// reads them: a Mapping by iteration and item access, else anything with
// keys(), else an iterable of pairs; then the keyword arguments.
static nb::list update_pairs(PyObject *other, PyObject *kwargs) {
    nb::list pairs;
    if (other) {
        int is_mapping = PyObject_IsInstance(other, mapping_abc());
        if (is_mapping < 0) throw nb::python_error();
        bool has_keys = !is_mapping && PyObject_HasAttrString(other, "keys");
        if (is_mapping || has_keys) {
            nb::object keys = nb::steal(is_mapping ? PySequence_List(other) : PyObject_CallMethod(other, "keys", nullptr));
            if (!keys) throw nb::python_error();
            nb::object key_list = nb::steal(PySequence_List(keys.ptr()));
            if (!key_list) throw nb::python_error();
            for (nb::handle k : key_list) {
                nb::object v = nb::steal(PyObject_GetItem(other, k.ptr()));
                if (!v) throw nb::python_error();
                pairs.append(nb::make_tuple(k, v));
            }
        } else {
            nb::object seq = nb::steal(PySequence_List(other));
            if (!seq) throw nb::python_error();
            for (nb::handle item : seq) {
                nb::object t = nb::steal(PySequence_Tuple(item.ptr()));
                if (!t) throw nb::python_error();
                if (PyTuple_GET_SIZE(t.ptr()) != 2) raise(PyExc_ValueError, "DualCache.update() needs pairs of key and value");
                pairs.append(t);
            }
        }
    }
    if (kwargs) {
        nb::object items = nb::steal(PyDict_Items(kwargs));
        if (!items) throw nb::python_error();
        for (nb::handle t : items) pairs.append(t);
    }
    return pairs;
}

void Store::update(PyObject *other, PyObject *kwargs) {
    // Read before this store is busy: `other` may be this very store.
    nb::list pairs = update_pairs(other, kwargs);
    OpGuard g(*this);
    for (nb::handle t : pairs)
        if (PyObject_Hash(PyTuple_GET_ITEM(t.ptr(), 0)) == -1) throw nb::python_error();
    corrupt_as_store_error(path(), [&] {
        Scope scope(*this);
        for (nb::handle t : pairs) set_locked(PyTuple_GET_ITEM(t.ptr(), 0), PyTuple_GET_ITEM(t.ptr(), 1));
        scope.commit();
    });
}

// --- test hooks and GC -------------------------------------------------------

nb::dict Store::stats() const {
    nb::dict d;
    d["loads"] = loads_;
    d["index_reloads"] = rebuilds_;
    d["index_updates"] = updates_;
    d["incremental_loads"] = incremental_loads_;
    d["extended_in_place"] = extended_;
    d["bulk_loads"] = bulk_loads_;
    d["items_decoded"] = items_decoded_;
    d["items_known_intact"] = conn_->db().items_known_intact();
    conn_->add_stats(d);
    return d;
}

int Store::traverse(visitproc visit, void *arg) {
    Py_VISIT(conn_obj_.ptr());
    Py_VISIT(map_name_.ptr());
    for (const auto &[id, kept] : rolled_back_) {
        Py_VISIT(kept.key.ptr());
        Py_VISIT(kept.value.ptr());
    }
    return index_.traverse(visit, arg);
}

void Store::gc_clear() {
    std::unordered_map<int64_t, Kept> kept = std::move(rolled_back_);
    rolled_back_.clear();
    index_.gc_clear();
}

}  // namespace dualcache
