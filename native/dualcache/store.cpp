#include "store.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "file_naming.h"
#include "fork_guard.h"
#include "itemized.h"
#include "py_import.h"
#include "raise.h"
#include "pg_address.h"
#include "pg_db.h"
#include "schema.h"
#include "sqlite_db.h"
#include "store_error.h"

namespace dualcache {

// --- guards ---------------------------------------------------------------

// One public operation: the store must be open and not already inside an
// operation (re-entered from a codec or a key's __eq__, or used by another
// thread while this one waits for SQLite without the GIL). Damaged stored
// data surfaces as StoreError.
class Store::OpGuard {
public:
    explicit OpGuard(Store &s) : s_(s) {
        if (s.busy_)
            raise(PyExc_RuntimeError, 
                "DualCache is in use by another operation (re-entered from a codec, a key's "
                "__eq__/__hash__, or another thread)");
        s.check_usable();
        s.busy_ = true;
    }
    ~OpGuard() { s_.busy_ = false; }

private:
    Store &s_;
};

// Runs an operation body, turning damaged stored data into StoreError.
template <typename F>
static auto corrupt_as_store_error(const std::string &path, F &&body) -> decltype(body()) {
    try {
        return body();
    } catch (const CorruptValue &c) {
        raise_store_error_from(path, "damaged stored value: " + c.what, c.cause.ptr());
    }
}

// One write operation. Outside transaction() it is its own transaction,
// committed by commit(); inside, it joins the open level. Leaving without
// commit() (an exception) rolls back as far as needed and makes the memory
// level forget the entry.
class Store::WriteOp {
public:
    explicit WriteOp(Store &s) : s_(s) {
        s.begin_write();
        implicit_ = s.levels_.back().implicit;
    }
    ~WriteOp() {
        if (!done_) s_.write_failed(implicit_, sql_, entry_);
    }
    WriteOp(const WriteOp &) = delete;
    WriteOp &operator=(const WriteOp &) = delete;

    void entry(Entry *e) { entry_ = e ? e->id : 0; }
    // From here on the database may have changed.
    void sql() {
        sql_ = true;
        s_.levels_.back().wrote = true;
    }
    void touch(int64_t id) { s_.levels_.back().touched.push_back(id); }
    void commit() {
        s_.injected_failure();  // test hook: fails as SQLite would, after the statements ran
        done_ = true;
        if (implicit_) s_.commit_outermost();
    }
    // Nothing was written (the key was missing).
    void nothing() {
        done_ = true;
        if (implicit_) s_.rollback_outermost();
    }

private:
    Store &s_;
    bool implicit_ = false, sql_ = false, done_ = false;
    int64_t entry_ = 0;
};

// A transaction level around a composite operation (pop, update, ...).
class Store::Scope {
public:
    explicit Scope(Store &s) : s_(s) { s.begin_level(); }
    ~Scope() {
        if (done_) return;
        try {
            s_.end_level(false);
        } catch (nb::python_error &) {
        }
    }
    void commit() {
        done_ = true;
        s_.end_level(true);
    }

private:
    Store &s_;
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

void Store::open_sqlite(nb::handle cacheName, nb::handle cachePrefix) {
    StoreFiles files = store_files(cacheName, cachePrefix);
    path_ = files.database;
    make_directories(files.directory, path_);
    check_directory(files.directory, path_);
    Py_ssize_t n;
    const char *utf8 = PyUnicode_AsUTF8AndSize(cacheName.ptr(), &n);
    if (!utf8) {
        PyErr_Clear();
        utf8 = "";
        n = 0;
    }
    std::string name_utf8(utf8, (size_t) n);
    create_store_file(path_, files.directory, name_utf8);
    auto db = std::make_unique<SqliteDb>(path_);
    SqliteDb &sq = *db;
    db_ = std::move(db);
    tags_ = std::make_unique<TagTable>(*db_);
    prepare_store(sq, name_utf8);
    sq.watch_wal();
}

Store::Store(nb::handle cacheName, nb::handle cachePrefix) : fork_generation_(fork_generation()) {
    name_ = nb::borrow(cacheName);
    prefix_ = nb::borrow(cachePrefix);
    if (std::optional<PgAddress> pg = pg_address(cacheName, cachePrefix)) {
        shown_prefix_ = pg->shown_prefix;
        db_ = open_pg_store(*pg);
        path_ = db_->path();
        tags_ = std::make_unique<TagTable>(*db_);
    } else {
        open_sqlite(cacheName, cachePrefix);
    }
    busy_ = true;
    try {
        corrupt_as_store_error(path_, [&] {
            data_version_ = data_version();
            rebuild_index();
        });
    } catch (...) {
        busy_ = false;
        throw;
    }
    busy_ = false;
}

Store::~Store() {
    if (db_ && inherited()) db_->abandon();
    if (db_ && db_->is_open()) {
        db_->rollback_quietly();
        db_->close();
    }
}

bool Store::inherited() const { return fork_generation() != fork_generation_; }

void Store::check_usable() const {
    if (state_ == State::Open && inherited())
        raise_store_error(path_, "this store was opened before os.fork(); open it again in this process");
    if (state_ == State::Open) return;
    std::string n = name_ ? nb::str(nb::repr(name_)).c_str() : "";
    raise_store_error(path_, "store " + n + (state_ == State::Destroyed ? " was destroyed" : " was closed"));
}

void Store::close() {
    if (busy_) raise(PyExc_RuntimeError, "DualCache.close() called while an operation on it runs");
    if (state_ != State::Open) return;
    if (inherited()) db_->abandon();
    db_->rollback_quietly();
    levels_.clear();
    db_->close();
    state_ = State::Closed;
    index_.clear();
}

void Store::destroy() {
    if (busy_) raise(PyExc_RuntimeError, "DualCache.destroy() called while an operation on it runs");
    if (state_ == State::Destroyed || inherited()) check_usable();
    if (state_ == State::Open) {
        check_writable();
        // Another file now at the path is not this store's to delete.
        if (db_->replaced())
            raise_store_error(path_, "the store file was replaced by another file while the store was open; "
                                     "nothing was removed");
        db_->rollback_quietly();
        levels_.clear();
        index_.clear();
    }
    state_ = State::Destroyed;
    db_->destroy();
}

nb::object Store::shown_prefix() const {
    if (shown_prefix_.empty()) return nb::borrow(prefix_);
    PyObject *s = PyUnicode_DecodeUTF8(shown_prefix_.data(), (Py_ssize_t) shown_prefix_.size(), "backslashreplace");
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

// --- staying in step with other connections -------------------------------

int64_t Store::data_version() { return db_->data_version(); }

void Store::rebuild_index() {
    Decoder dec(*tags_);
    EntryIndex::Rebuild rb(index_);
    {
        Run q = db_->run(Sql::ScanEntries);
        while (q.step()) {
            int64_t id = q.int64(0);
            try {
                rb.row(id, q.int64(1), [&] { return dec.value(q.blob(2)); });
            } catch (CorruptValue &c) {
                c.what = "the key of entry row " + std::to_string(id) + ": " + c.what;
                throw;
            }
        }
    }
    rb.finish();
    stale_ = false;
    ++rebuilds_;
}

void Store::sync() {
    if (!levels_.empty()) {  // we hold the write lock: nobody else commits
        if (stale_) rebuild_index();
        return;
    }
    int64_t dv = data_version();
    if (dv != data_version_ || stale_) {
        rebuild_index();
        data_version_ = dv;
    }
}

void Store::sync_locked() {
    int64_t dv = data_version();
    if (dv != data_version_ || stale_) {
        rebuild_index();
        data_version_ = dv;
    }
}

// --- reading ----------------------------------------------------------------

bool Store::load(Entry &e) {
    bool own = levels_.empty();
    try {
        if (own) db_->run(Sql::Begin).done();
        Decoder dec(*tags_);
        nb::object value;
        std::unique_ptr<ItemState> st;
        int64_t version = 0;
        bool found;
        {
            Run q = db_->run(Sql::LoadEntry);
            q.bind(1, e.id);
            found = q.step();
            if (found) {
                version = q.int64(0);
                std::string_view blob = q.blob(1);
                if (Decoder::is_itemized_head(blob)) {
                    std::string head(blob);
                    Decoder::Head h = dec.head(head);
                    nb::object mapping = load_items(*db_, dec, e.id, st);
                    if (PyList_SetItem(h.fields.ptr(), h.slot, mapping.release().ptr()) < 0) throw nb::python_error();
                    nb::object fields = nb::steal(PyList_AsTuple(h.fields.ptr()));
                    if (!fields) throw nb::python_error();
                    value = Decoder::build(*h.rc, fields.ptr());
                    st->head = std::move(head);
                } else {
                    value = dec.value(blob);
                }
            }
        }
        if (own) db_->run(Sql::Commit).done();
        if (!found) {
            stale_ = true;  // deleted by another connection since the index was read
            return false;
        }
        e.live = std::move(value);
        e.version = version;
        e.items = std::move(st);
        ++loads_;
        return true;
    } catch (CorruptValue &c) {
        if (own) db_->rollback_quietly();
        c.what = "entry " + short_repr(e.key.ptr()) + ": " + c.what;
        throw;
    } catch (...) {
        if (own) db_->rollback_quietly();
        throw;
    }
}

// The live value of a key's entry, loading it when needed; null when the
// key turned out to be gone.
nb::object Store::value_of(Entry &e) {
    if (!e.live && !load(e)) return nb::object();
    return e.live;
}

nb::object Store::lookup(PyObject *key) {
    Entry *e = index_.find(key);
    if (!e) return nb::object();
    nb::object v = value_of(*e);
    if (v || levels_.size()) return v;
    rebuild_index();
    e = index_.find(key);
    return e ? value_of(*e) : nb::object();
}

nb::object Store::getitem(PyObject *key) {
    OpGuard g(*this);
    return corrupt_as_store_error(path_, [&] {
        sync();
        nb::object v = lookup(key);
        if (!v) raise_key_error(key);
        return v;
    });
}

nb::object Store::get(PyObject *key, PyObject *dflt) {
    OpGuard g(*this);
    return corrupt_as_store_error(path_, [&] {
        sync();
        nb::object v = lookup(key);
        return v ? v : nb::borrow(dflt);
    });
}

bool Store::contains(PyObject *key) {
    OpGuard g(*this);
    return corrupt_as_store_error(path_, [&] {
        sync();
        return index_.find(key) != nullptr;
    });
}

Py_ssize_t Store::length() {
    OpGuard g(*this);
    return corrupt_as_store_error(path_, [&] {
        sync();
        return index_.size();
    });
}

nb::object Store::keys_snapshot() {
    OpGuard g(*this);
    return corrupt_as_store_error(path_, [&] {
        sync();
        return index_.keys();
    });
}

bool Store::value_for_iteration(PyObject *key, nb::object &value) {
    OpGuard g(*this);
    return corrupt_as_store_error(path_, [&] {
        if (stale_) sync();
        Entry *e = index_.find(key);
        if (!e) return false;
        value = value_of(*e);
        return (bool) value;
    });
}

bool Store::still_present(PyObject *key) {
    OpGuard g(*this);
    return index_.find(key) != nullptr;
}

// --- transactions -----------------------------------------------------------

void Store::check_writable() const {
    if (db_->read_only())
        raise_store_error(path_, "the store is read-only (its file or file system cannot be written): it cannot be "
                                 "changed");
}

void Store::begin_outermost() {
    // A read-only store still runs transaction() blocks that only read.
    try {
        db_->run_blocking(db_->read_only() ? Sql::Begin : Sql::BeginImmediate);
        sync_locked();
    } catch (...) {
        db_->rollback_quietly();
        throw;
    }
}

void Store::check_not_failed() const {
    for (const Level &lv : levels_)
        if (lv.failed)
            raise_store_error(path_,
                              "an operation of this transaction failed; leave the transaction block so that it "
                              "is rolled back");
}

void Store::begin_write() {
    check_writable();
    if (levels_.empty()) {
        begin_outermost();
        levels_.push_back(Level{true, false, false, {}});
        return;
    }
    check_not_failed();
    if (stale_) rebuild_index();
}

void Store::write_failed(bool implicit, bool sql, int64_t entry_id) {
    if (entry_id)
        if (Entry *e = index_.by_id(entry_id)) e->forget();
    tags_->forget();  // a tag row may have been added
    if (implicit) {
        rollback_outermost();
        return;
    }
    if (sql) {
        levels_.back().failed = true;
        if (!db_->in_transaction())  // SQLite gave up the whole transaction
            for (Level &lv : levels_) lv.failed = true;
        stale_ = true;
    }
}

void Store::forget_touched(const Level &lv) {
    for (int64_t id : lv.touched)
        if (Entry *e = index_.by_id(id)) e->forget();
}

void Store::injected_failure() {
    if (fail_after_ < 0) return;
    if (fail_after_-- == 0) raise_store_error(path_, "write failed (injected by _fail_writes)");
}

void Store::commit_outermost() {
    try {
        // A write into a file that was removed or replaced would be lost.
        for (const Level &lv : levels_)
            if (lv.wrote) {
                db_->check_in_place();
                break;
            }
        db_->run_blocking(Sql::Commit);
    } catch (...) {
        rollback_outermost();
        if (db_->take_outcome_unknown()) {
            // Whether the server stored the transaction is unknown: nothing
            // in memory may be trusted.
            index_.forget_all();
            stale_ = true;
        }
        throw;
    }
    levels_.clear();
    ++commits_;
}

void Store::rollback_outermost() {
    db_->rollback_quietly();
    bool wrote = false;
    for (const Level &lv : levels_) {
        forget_touched(lv);
        wrote = wrote || lv.wrote;
    }
    levels_.clear();
    tags_->forget();
    if (wrote) stale_ = true;
}

void Store::begin_level() {
    if (levels_.empty()) {
        begin_outermost();
    } else {
        check_not_failed();
        db_->run(Sql::Savepoint).done();
    }
    levels_.push_back(Level{false, false, false, {}});
}

void Store::end_level(bool ok) {
    if (levels_.empty() || levels_.back().implicit) raise(PyExc_RuntimeError, "DualCache transaction exit without entry");
    const char *failed_msg = "transaction rolled back: an operation in it failed";
    if (levels_.size() == 1) {
        if (ok && !levels_.back().failed) return commit_outermost();
        rollback_outermost();
        if (ok) raise_store_error(path_, failed_msg);
        return;
    }
    Level lv = std::move(levels_.back());
    levels_.pop_back();
    Level &parent = levels_.back();
    if (ok && !lv.failed) {
        // The parent answers for the level's writes first: if the release
        // fails, rolling the parent back must forget them too.
        parent.touched.insert(parent.touched.end(), lv.touched.begin(), lv.touched.end());
        parent.wrote = parent.wrote || lv.wrote;
        try {
            db_->run(Sql::Release).done();
        } catch (...) {
            parent.failed = true;
            throw;
        }
        return;
    }
    forget_touched(lv);
    tags_->forget();
    if (lv.wrote) stale_ = true;
    if (db_->in_transaction()) {
        try {
            db_->run(Sql::RollbackTo).done();
            db_->run(Sql::Release).done();
        } catch (...) {
            for (Level &l : levels_) l.failed = true;
            throw;
        }
    } else {
        for (Level &l : levels_) l.failed = true;
    }
    if (ok) raise_store_error(path_, failed_msg);
}

void Store::begin_transaction() {
    OpGuard g(*this);
    corrupt_as_store_error(path_, [&] { begin_level(); });
}

void Store::end_transaction(bool ok) {
    OpGuard g(*this);
    corrupt_as_store_error(path_, [&] { end_level(ok); });
}

// --- writing ------------------------------------------------------------------

void Store::set_locked(PyObject *key, PyObject *value) {
    WriteOp op(*this);
    Entry *e = index_.find(key);
    op.entry(e);

    // Encode first: an unstorable value fails before anything is written.
    Encoder enc(*tags_);
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
    if (mapping) {
        enc.itemized_head(*rc, fields.ptr(), rc->itemized_field(), vw);
        if (e) st = std::move(e->items);
        plan = plan_items(mapping, st, enc, rc->items_changed());
        items_compared_ += (int64_t) plan.compared;
    } else if (rc) {
        enc.record(*rc, fields.ptr(), vw);
    } else {
        enc.value(value, vw);
    }
    if (!e) enc.value(key, kw);

    op.sql();
    bool changed = !e || !mapping || plan.rewrite_all || !plan.ops.empty() || st->head != vw.str();
    int64_t id = e ? e->id : 0, version = e ? e->version : 0;
    if (changed) {
        std::string_view value_bytes(vw.str());
        if (!e) {
            db_->run(Sql::InsertEntry).bind(1, std::string_view(kw.str())).bind(2, value_bytes).done();
            id = db_->last_insert_id();
            version = 1;
        } else {
            // Writers hold the lock and know the stored version: each write
            // of an entry gives it a new one.
            version = e->version + 1;
            db_->run(Sql::UpdateEntry).bind(1, id).bind(2, version).bind(3, value_bytes).done();
            if (!mapping || plan.rewrite_all) db_->run(Sql::DeleteItemsOf).bind(1, id).done();
        }
        ++rows_written_;
        bytes_written_ += (int64_t) (kw.size() + vw.size());
        if (mapping) {
            apply_items(*db_, id, plan);
            rows_written_ += (int64_t) plan.ops.size();
            for (const ItemOp &o : plan.ops) bytes_written_ += (int64_t) (o.key.size() + o.value.size());
        }
    }

    if (!e) e = &index_.add(key, id, version);
    e->version = version;
    e->live = nb::borrow(value);
    if (mapping) {
        st->head = vw.str();
        e->items = std::move(st);
    } else {
        e->items.reset();
    }
    op.touch(id);
    op.commit();
}

bool Store::del_locked(PyObject *key) {
    WriteOp op(*this);
    Entry *e = index_.find(key);
    if (!e) {
        op.nothing();
        return false;
    }
    op.sql();
    int64_t id = e->id;
    db_->run(Sql::DeleteEntry).bind(1, id).done();
    db_->run(Sql::DeleteItemsOf).bind(1, id).done();
    index_.remove(*e);
    op.commit();
    return true;
}

void Store::setitem(PyObject *key, PyObject *value) {
    OpGuard g(*this);
    if (PyObject_Hash(key) == -1) throw nb::python_error();
    corrupt_as_store_error(path_, [&] { set_locked(key, value); });
}

void Store::delitem(PyObject *key) {
    OpGuard g(*this);
    if (PyObject_Hash(key) == -1) throw nb::python_error();
    bool found = corrupt_as_store_error(path_, [&] { return del_locked(key); });
    if (!found) raise_key_error(key);
}

void Store::clear() {
    OpGuard g(*this);
    corrupt_as_store_error(path_, [&] {
        WriteOp op(*this);
        op.sql();
        db_->run(Sql::DeleteAllEntries).done();
        db_->run(Sql::DeleteAllItems).done();
        index_.clear();
        op.commit();
    });
}

// A read-then-write operation on one key, as one transaction: `body`
// receives the key's value (null when absent) and may write.
template <typename F>
nb::object Store::keyed_transaction(PyObject *key, F &&body) {
    OpGuard g(*this);
    if (PyObject_Hash(key) == -1) throw nb::python_error();
    return corrupt_as_store_error(path_, [&] {
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
    return corrupt_as_store_error(path_, [&] {
        Scope scope(*this);
        sync();
        Entry *e = index_.last();
        if (!e) {
            PyErr_SetString(PyExc_KeyError, "popitem(): DualCache is empty");
            throw nb::python_error();
        }
        nb::object key = e->key;
        nb::object v = value_of(*e);
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
    corrupt_as_store_error(path_, [&] {
        Scope scope(*this);
        for (nb::handle t : pairs) set_locked(PyTuple_GET_ITEM(t.ptr(), 0), PyTuple_GET_ITEM(t.ptr(), 1));
        scope.commit();
    });
}

// --- test hooks and GC -------------------------------------------------------

nb::dict Store::stats() const {
    nb::dict d;
    d["commits"] = commits_;
    d["loads"] = loads_;
    d["index_reloads"] = rebuilds_;
    d["rows_written"] = rows_written_;
    d["items_compared"] = items_compared_;
    d["bytes_written"] = bytes_written_;
    if (db_) db_->add_stats(d);
    return d;
}

int Store::traverse(visitproc visit, void *arg) {
    Py_VISIT(name_.ptr());
    Py_VISIT(prefix_.ptr());
    return index_.traverse(visit, arg);
}

void Store::gc_clear() {
    nb::object a = std::move(name_), b = std::move(prefix_);
    index_.gc_clear();
}

}  // namespace dualcache
