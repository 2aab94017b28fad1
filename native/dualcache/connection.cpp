#include "connection.h"

#include <sys/stat.h>

#include <algorithm>
#include <new>
#include <optional>
#include <set>
#include <utility>

#include "corrupt_value.h"
#include "file_naming.h"
#include "format.h"
#include "fork_guard.h"
#include "in_use.h"
#include "pg_address.h"
#include "pg_db.h"
#include "pysem/fields.h"
#include "raise.h"
#include "schema.h"
#include "sqlite_db.h"
#include "store.h"
#include "store_error.h"

namespace dualcache {

// --- opening and closing ------------------------------------------------

void Connection::open_sqlite(nb::handle cacheName, nb::handle cachePrefix) {
    StoreFiles named = store_files(cacheName, cachePrefix);
    make_directories(named.directory, named.database);
    StoreFiles files = resolve_directory(named);
    path_ = files.database;
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
    seen_format_ = sq.format();
}

Connection::Connection(nb::handle cacheName, nb::handle cachePrefix) : fork_generation_(fork_generation()) {
    name_ = nb::borrow(cacheName);
    prefix_ = nb::borrow(cachePrefix);
    named_ = nb::steal(PyDict_New());
    if (!named_) throw nb::python_error();
    if (std::optional<PgAddress> pg = pg_address(cacheName, cachePrefix)) {
        shown_prefix_ = pg->shown_prefix;
        given_prefix_ = pg->given_prefix;
        db_ = open_pg_store(*pg);
        path_ = db_->path();
        tags_ = std::make_unique<TagTable>(*db_);
        seen_format_ = db_->format();
    } else {
        open_sqlite(cacheName, cachePrefix);
    }
}

bool Connection::exists(nb::handle cacheName, nb::handle cachePrefix) {
    if (std::optional<PgAddress> pg = pg_address(cacheName, cachePrefix)) {
        std::unique_ptr<Db> db = open_pg_store(*pg);
        bool there = db->exists();
        db->close();
        return there;
    }
    StoreFiles files = store_files(cacheName, cachePrefix);
    struct stat st;
    return lstat(files.database.c_str(), &st) == 0;
}

Connection::~Connection() {
    if (db_ && inherited()) db_->abandon();
    if (db_ && db_->is_open()) {
        db_->rollback_quietly();
        db_->close();
    }
}

bool Connection::inherited() const { return fork_generation() != fork_generation_; }

void Connection::check_usable() const {
    if (state_ == State::Open && inherited())
        raise_store_error(path_, "this store was opened before os.fork(); open it again in this process");
    if (state_ == State::Open) return;
    std::string n = name_ ? nb::str(nb::repr(name_)).c_str() : "";
    raise_store_error(path_, "store " + n + (state_ == State::Destroyed ? " was destroyed" : " was closed"));
}

void Connection::check_writable() const {
    if (db_->read_only())
        raise_store_error(path_, std::string("the store is read-only (") + db_->read_only_reason() +
                                     "): it cannot be changed");
}

void Connection::enter(Caller caller) {
    if (busy_) raise_in_use(InUse::Operation);
    check_usable();
    if (caller == Caller::Owner) check_thread();
    busy_ = true;
    op_on_hinted_ = false;
}

void Connection::check_thread() const {
    if (!levels_.empty() && owner_ != PyThread_get_thread_ident() && !inherited()) raise_in_use(InUse::OtherThread);
}

void Connection::widen() {
    narrow_ = false;
    if (db_) db_->widen();
}

void Connection::for_each_store(void (Store::*what)()) {
    std::vector<Store *> all = stores_;  // what runs may release objects
    for (Store *s : all) (s->*what)();
}

void Connection::detach(Store *s) {
    stores_.erase(std::remove(stores_.begin(), stores_.end(), s), stores_.end());
    // A map gone while a transaction is open (only the default map's object
    // can be): nothing of it is left to undo.
    for (Level &lv : levels_) {
        for (Touch &t : lv.touched)
            if (t.map == s) t.map = nullptr;
        for (Store *&w : lv.wrote_maps)
            if (w == s) w = nullptr;
        for (auto &c : lv.created)
            if (c.first == s) c.first = nullptr;
    }
}

void Connection::close() {
    if (busy_) raise_in_use(InUse::Close);
    if (state_ != State::Open) return;
    // From any thread: the rollback takes nothing another thread could keep
    // (the block's owner learns of it at its next operation, or its exit).
    if (inherited()) db_->abandon();
    db_->rollback_quietly();
    discard_levels();
    db_->close();
    state_ = State::Closed;
    for_each_store(&Store::drop_index);
    nb::object held = std::move(named_);  // the maps' objects go unless the caller holds them
    named_ = nb::steal(PyDict_New());
}

void Connection::destroy() {
    if (busy_) raise_in_use(InUse::Destroy);
    if (state_ == State::Destroyed || inherited()) check_usable();
    check_thread();
    if (state_ == State::Open) {
        check_writable();
        // Another file now at the path is not this store's to delete.
        if (db_->replaced())
            raise_store_error(path_, "the store file was replaced by another file while the store was open; "
                                     "nothing was removed");
        db_->rollback_quietly();
        discard_levels();
        for_each_store(&Store::drop_index);
    }
    state_ = State::Destroyed;
    nb::object held = std::move(named_);
    named_ = nb::steal(PyDict_New());
    db_->destroy();
}

nb::object Connection::prefix_text(const std::string &server_form, const char *errors) const {
    if (server_form.empty()) return nb::borrow(prefix_);
    PyObject *s = PyUnicode_DecodeUTF8(server_form.data(), (Py_ssize_t) server_form.size(), errors);
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

// --- the maps -----------------------------------------------------------------

static std::string utf8_of(PyObject *s) {
    nb::object b = nb::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    if (!b) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(b.ptr()), (size_t) PyBytes_GET_SIZE(b.ptr()));
}

nb::object Connection::map(nb::handle self, nb::handle name) {
    check_usable();
    if (!PyUnicode_Check(name.ptr())) {
        PyErr_Format(PyExc_TypeError, "map name must be str, not %.200s", Py_TYPE(name.ptr())->tp_name);
        throw nb::python_error();
    }
    std::string utf8 = utf8_of(name.ptr());
    if (utf8.find('\0') != std::string::npos) {
        PyErr_Format(PyExc_ValueError, "map name must not contain NUL: %R", name.ptr());
        throw nb::python_error();
    }
    nb::object key = nb::steal(PyUnicode_FromObject(name.ptr()));  // an exact str
    if (!key) throw nb::python_error();
    if (!named_) named_ = nb::steal(PyDict_New());  // after the collector cleared it
    if (!named_) throw nb::python_error();
    if (utf8.empty()) {
        for (Store *s : stores_)
            if (s->is_default_map())
                if (nb::object h = nb::find(s); h.is_valid()) return h;
    } else if (PyObject *h = PyDict_GetItemWithError(named_.ptr(), key.ptr())) {
        return nb::borrow(h);
    } else if (PyErr_Occurred()) {
        throw nb::python_error();
    }
    nb::object h = nb::inst_alloc(nb::type<Store>());
    new (nb::inst_ptr<Store>(h)) Store(self, key, std::move(utf8));
    nb::inst_mark_ready(h);
    if (PyDict_SetItem(named_.ptr(), key.ptr(), h.ptr()) < 0) throw nb::python_error();
    return h;
}

nb::object Connection::map_names() {
    enter();
    struct Leave {
        Connection &c;
        ~Leave() { c.leave(); }
    } leave{*this};
    std::vector<std::string> names;
    try {
        if (!in_transaction()) data_version();  // follows an upgrade another connection made
        names = db_->nonempty_maps();
    } catch (const CorruptValue &c) {
        raise_store_error_from(path_, "damaged stored value: " + c.what, c.cause.ptr());
    }
    nb::object list = nb::steal(PyList_New(0));
    if (!list) throw nb::python_error();
    for (const std::string &n : names) {
        nb::object s = nb::steal(PyUnicode_DecodeUTF8(n.data(), (Py_ssize_t) n.size(), "surrogatepass"));
        if (!s || PyList_Append(list.ptr(), s.ptr()) < 0) throw nb::python_error();
    }
    if (PyList_Sort(list.ptr()) < 0) throw nb::python_error();
    return list;
}

// --- transactions -----------------------------------------------------------

void Connection::begin_outermost(const WriteHint *hint) {
    owner_ = PyThread_get_thread_ident();
    // A read-only store still runs transaction() blocks that only read.
    try {
        if (!db_->read_only()) db_->expect_write(hint);
        narrow_ = hint != nullptr;
        if (hint) {
            narrow_map_ = hint->map;
            narrow_entry_ = hint->entry;
        }
        tags_added_before_ = tags_->rows_added();
        db_->run_blocking(db_->read_only() ? Sql::Begin : Sql::BeginImmediate);
        locked_version_ = data_version();
    } catch (...) {
        db_->rollback_quietly();
        throw;
    }
}

void Connection::check_not_failed() const {
    for (const Level &lv : levels_)
        if (lv.failed)
            raise_store_error(path_,
                              "an operation of this transaction failed; leave the transaction block so that it "
                              "is rolled back");
}

void Connection::begin_write() {
    check_writable();
    if (levels_.empty()) {
        begin_outermost();
        levels_.push_back(Level{true});
        return;
    }
    check_not_failed();
}

void Connection::wrote(Store &s) {
    Level &lv = levels_.back();
    lv.wrote = true;
    if (std::find(lv.wrote_maps.begin(), lv.wrote_maps.end(), &s) == lv.wrote_maps.end()) lv.wrote_maps.push_back(&s);
}

void Connection::write_failed(Store &s, bool implicit, bool sql, int64_t entry_id) {
    if (entry_id) s.forget_entry(entry_id, false);
    tags_->forget();  // a tag row may have been added
    if (implicit) {
        rollback_outermost();
        return;
    }
    if (sql) {
        levels_.back().failed = true;
        if (!db_->in_transaction())  // SQLite gave up the whole transaction
            for (Level &lv : levels_) lv.failed = true;
        s.mark_stale();
    }
}

// --- the stored format ---------------------------------------------------------

int64_t Connection::data_version() {
    int64_t v = db_->data_version();
    if (db_->take_server_restarted()) for_each_store(&Store::forget_all);
    if (db_->format() != seen_format_) format_changed();
    return v;
}

bool Connection::needs_upgrade() const { return db_->format() < db_->current_format(); }

void Connection::upgrade() {
    db_->upgrade();
    levels_.back().upgraded = true;
    format_changed();
}

void Connection::format_changed() {
    seen_format_ = db_->format();
    tags_->forget();
    for_each_store(&Store::forget_item_states);
}

void Connection::undo(const Level &lv) {
    if (lv.upgraded) {
        db_->upgrade_undone();
        format_changed();
    }
    bool one = lv.touched.size() == 1;
    // Rows the level added: one it also removed is gone, and its id may come
    // back for another key, so its value is not kept.
    std::set<std::pair<Store *, int64_t>> added;
    for (const Touch &t : lv.touched)
        if (t.added) added.emplace(t.map, t.id);
    for (const Touch &t : lv.touched) {
        if (!t.map) continue;
        if (t.removed) {
            if (!added.count({t.map, t.id})) t.map->keep_rolled_back(t.id, t.removed_key, t.removed);
        } else if (one && t.before)
            t.map->restore_entry(t.id, *t.before);
        else
            t.map->forget_entry(t.id, t.added);
    }
    for (Store *s : lv.wrote_maps)
        if (s) s->mark_stale();
    for (auto &[s, id] : lv.created) {
        if (s) s->uncreate();
        db_->drop_map(id);
    }
}

void Connection::run_undos(std::vector<nb::object> &undos) noexcept {
    std::vector<nb::object> run = std::move(undos);
    undos.clear();
    for (auto it = run.rbegin(); it != run.rend(); ++it) {
        PyObject *pending = PyErr_GetRaisedException();
        PyObject *r = PyObject_CallNoArgs(it->ptr());
        if (!r) PyErr_WriteUnraisable(it->ptr());
        Py_XDECREF(r);
        PyErr_SetRaisedException(pending);
    }
}

void Connection::discard_levels() {
    std::vector<Level> undone = std::move(levels_);
    levels_.clear();
    for (auto it = undone.rbegin(); it != undone.rend(); ++it) run_undos(it->undos);
}

void Connection::on_rollback(nb::handle undo) {
    if (!PyCallable_Check(undo.ptr())) {
        PyErr_Format(PyExc_TypeError, "on_rollback() needs a callable, not %.200s", Py_TYPE(undo.ptr())->tp_name);
        throw nb::python_error();
    }
    check_thread();
    if (levels_.empty())
        raise(PyExc_RuntimeError, "on_rollback() needs an open transaction() or batch() block: outside one "
                                  "nothing is rolled back later");
    levels_.back().undos.push_back(nb::borrow(undo));
}

void Connection::injected_failure() {
    if (fail_after_ < 0) return;
    if (fail_after_-- == 0) raise_store_error(path_, "write failed (injected by _fail_writes)");
}

void Connection::commit_outermost() {
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
            for_each_store(&Store::forget_all);
        }
        throw;
    }
    levels_.clear();
    ++commits_;
}

void Connection::rollback_outermost() {
    db_->rollback_quietly();
    std::vector<Level> undone = std::move(levels_);
    levels_.clear();
    for (const Level &lv : undone) undo(lv);
    if (tags_->rows_added() != tags_added_before_) tags_->forget();  // rows it added are gone
    for (auto it = undone.rbegin(); it != undone.rend(); ++it) run_undos(it->undos);
}

void Connection::begin_level(const WriteHint *hint) {
    check_thread();
    if (levels_.empty()) {
        begin_outermost(hint);
    } else {
        check_not_failed();
        db_->run(Sql::Savepoint).done();
    }
    levels_.push_back(Level{false});
}

template <typename T>
static void append(std::vector<T> &to, const std::vector<T> &from) {
    to.insert(to.end(), from.begin(), from.end());
}

void Connection::end_level(bool ok) {
    if (levels_.empty() || levels_.back().implicit)
        raise(PyExc_RuntimeError, "DualCache transaction exit without entry");
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
        // The parent answers for what the level wrote from here on, also
        // when the release fails.
        append(parent.touched, lv.touched);
        append(parent.created, lv.created);
        append(parent.undos, lv.undos);
        parent.upgraded = parent.upgraded || lv.upgraded;
        for (Store *s : lv.wrote_maps)
            if (std::find(parent.wrote_maps.begin(), parent.wrote_maps.end(), s) == parent.wrote_maps.end())
                parent.wrote_maps.push_back(s);
        parent.wrote = parent.wrote || lv.wrote;
        try {
            db_->run(Sql::Release).done();
        } catch (...) {
            parent.failed = true;
            throw;
        }
        return;
    }
    undo(lv);
    tags_->forget();
    run_undos(lv.undos);
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

// --- counters and GC -----------------------------------------------------------

void Connection::add_stats(nb::dict &d) const {
    d["commits"] = commits_;
    d["rows_written"] = rows_written_;
    d["items_compared"] = items_compared_;
    d["bytes_written"] = bytes_written_;
    if (db_) db_->add_stats(d);
}

int Connection::traverse(visitproc visit, void *arg) {
    Py_VISIT(name_.ptr());
    Py_VISIT(prefix_.ptr());
    Py_VISIT(named_.ptr());
    for (const Level &lv : levels_) {
        for (const nb::object &u : lv.undos) Py_VISIT(u.ptr());
        for (const Touch &t : lv.touched) {
            Py_VISIT(t.removed_key.ptr());
            Py_VISIT(t.removed.ptr());
        }
    }
    return 0;
}

void Connection::gc_clear() {
    nb::object a = std::move(named_), b = std::move(name_), c = std::move(prefix_);
    std::vector<nb::object> undos;
    std::vector<nb::object> removed;
    for (Level &lv : levels_) {
        append(undos, lv.undos), lv.undos.clear();
        for (Touch &t : lv.touched) {
            removed.push_back(std::move(t.removed_key));
            removed.push_back(std::move(t.removed));
        }
    }
}

// --- the Python type --------------------------------------------------------------

Connection &connection_of(nb::handle self) { return *nb::inst_ptr<Connection>(self); }

static int conn_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    return nb::inst_ptr<Connection>(self)->traverse(visit, arg);
}

static int conn_clear(PyObject *self) {
    if (nb::inst_ready(self)) nb::inst_ptr<Connection>(self)->gc_clear();
    return 0;
}

static PyType_Slot connection_slots[] = {{Py_tp_traverse, (void *) conn_traverse},
                                         {Py_tp_clear, (void *) conn_clear},
                                         {0, nullptr}};

void bind_connection(nb::module_ &m) {
    nb::class_<Connection>(m, "_Connection", nb::type_slots(connection_slots),
                           "The database behind a DualCache and its named maps (internal).");
}

}  // namespace dualcache
