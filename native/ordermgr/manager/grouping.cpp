// OrderMgr.position_groups: positions that share order ids, put into
// PositionGroups in a single pass over direct neighbours.
//
// The result is the one of the plain pairwise pass (each outer position, in
// store order, pulls every later- or earlier-stored neighbour it shares an
// order id with into its current group, replacing the neighbour's group);
// an index from order id to positions finds the neighbours, so the cost
// grows with the number of positions and shared order ids instead of with
// the square of the portfolio.
//
// The work per position is kept small: the order ids of an exact Position
// are the keys of its trade dict (no set is built for them), the index is a
// table of native arrays probed with the host's hash and equality, and when
// every group is an exact PositionGroup of exact Positions keyed by plain
// strings or ints, members go straight into the group's set and each group's
// key is computed once, from its final members, instead of after every add
// (the same key: computing it runs no code of the caller's and nothing else
// changes the set in between).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "groups/group_key.h"
#include "groups/position_group.h"
#include "manager/order_mgr.h"
#include "manager/grouping.h"
#include "manager/store_ops.h"
#include "model/module_ns.h"
#include "model/position.h"
#include "pysem/collector_pause.h"
#include "pysem/method.h"
#include "pysem/record_type.h"

namespace ordermgr {

namespace {

// Order id -> the positions holding it, in ascending position order: one
// entry per distinct order id (equal by the host's hash and ==, as a dict
// key), its holders a chain of nodes in flat arrays.
class OrderIdIndex {
public:
    explicit OrderIdIndex(size_t expected) {
        size_t cap = 16;
        while (cap < expected * 2) cap <<= 1;
        slots_.assign(cap, -1);
        entries_.reserve(expected);
        nodes_.reserve(expected);
    }

    // The entry of `oid` (hash `h`), made when new; `holder` is added to its
    // holders unless it is already the last one.
    int32_t add(PyObject *oid, Py_hash_t h, int32_t holder) {
        int32_t e = find(oid, h, true);
        Entry &en = entries_[(size_t) e];
        if (en.tail >= 0 && nodes_[(size_t) en.tail].holder == holder) return e;
        int32_t node = (int32_t) nodes_.size();
        nodes_.push_back(Node{holder, -1});
        if (en.tail >= 0)
            nodes_[(size_t) en.tail].next = node;
        else
            en.head = node;
        en.tail = node;
        return e;
    }

    template <typename F>
    void for_each_holder(int32_t entry, F &&f) const {
        for (int32_t n = entries_[(size_t) entry].head; n >= 0; n = nodes_[(size_t) n].next)
            f(nodes_[(size_t) n].holder);
    }

private:
    struct Entry {
        PyObject *oid;  // borrowed: the caller keeps every order id alive
        Py_hash_t hash;
        int32_t head, tail;
    };
    struct Node {
        int32_t holder, next;
    };

    int32_t find(PyObject *oid, Py_hash_t h, bool insert) {
        size_t mask = slots_.size() - 1, i = (size_t) h & mask;
        for (size_t perturb = (size_t) h;; perturb >>= 5, i = (i * 5 + perturb + 1) & mask) {
            int32_t e = slots_[i];
            if (e < 0) break;
            const Entry &en = entries_[(size_t) e];
            if (en.oid == oid) return e;
            if (en.hash != h) continue;
            // The host's equality, as a dict lookup makes it.
            PyObject *held = Py_NewRef(en.oid);
            int eq = PyObject_RichCompareBool(held, oid, Py_EQ);
            Py_DECREF(held);
            if (eq < 0) throw Error();
            if (eq) return e;
        }
        if (!insert) return -1;
        int32_t e = (int32_t) entries_.size();
        entries_.push_back(Entry{oid, h, -1, -1});
        slots_[i] = e;
        if (entries_.size() * 2 > slots_.size()) grow();
        return e;
    }

    void grow() {
        std::vector<int32_t> old(slots_.size() * 2, -1);
        slots_.swap(old);
        size_t mask = slots_.size() - 1;
        for (size_t e = 0; e < entries_.size(); ++e) {
            size_t h = (size_t) entries_[e].hash, i = h & mask;
            for (size_t perturb = h; slots_[i] >= 0; perturb >>= 5) i = (i * 5 + perturb + 1) & mask;
            slots_[i] = (int32_t) e;
        }
    }

    std::vector<int32_t> slots_;
    std::vector<Entry> entries_;
    std::vector<Node> nodes_;
};

// What the pass knows of each stored position: its key, the position and
// where its order ids are in the flat arrays.
struct Snapshot {
    std::vector<PyObject *> keys, positions;  // borrowed from the items list
    std::vector<size_t> first;                // order ids of i: [first[i], first[i+1])
    std::vector<Ref> orderids;
    std::vector<int32_t> entry;               // index entry of each order id
    std::vector<char> passes;
};

// The order ids of `position` appended to the snapshot: the keys of an
// exact Position's trade dict (`book`), else the members of its `orderids`
// (kept in `ids` for the filter).
static void gather_orderids(Snapshot &s, PyObject *position, Ref &book, Ref &ids) {
    if (PyObject *b = exact_position_book(position)) {
        book = borrow(b);  // held: a later position's orderids may run the caller's code
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(b, &pos, &k, &v)) s.orderids.push_back(borrow(k));
        return;
    }
    ids = position_orderids(position);
    Ref it = steal(PyObject_GetIter(ids.ptr()));
    if (!it) throw Error();
    while (PyObject *oid = PyIter_Next(it.ptr())) s.orderids.push_back(steal(oid));
    if (PyErr_Occurred()) throw Error();
}

// Whether a position passes the filter `orderid`: a member of its order ids.
// The membership test on an exact book's keys is the dict's own, except for
// a set as the operand (looked up as a frozenset in a set).
static bool passes_filter(PyObject *position, const Ref &book, Ref &ids, PyObject *orderid) {
    if (book && !PyAnySet_Check(orderid)) {
        int r = PyDict_Contains(book.ptr(), orderid);
        if (r < 0) throw Error();
        return r != 0;
    }
    if (!ids) ids = position_orderids(position);
    int r = PySequence_Contains(ids.ptr(), orderid);
    if (r < 0) throw Error();
    return r != 0;
}

// A group that its key can be left to the end for: computing the key of
// such members runs none of the caller's code.
static bool plain_member(PyObject *position) {
    Position *p = position_class.exact<Position>(position);
    if (!p || !p->key.ptr()) return false;
    PyObject *key = p->key.ptr();
    return PyUnicode_CheckExact(key) || PyLong_CheckExact(key);
}

// Whether the module's `PositionGroup` is still the class itself (looked
// up without raising: a missing name fails where a group is made).
static bool module_names_own_group_class() {
    PyObject *cls = PyDict_GetItemWithError(PyModule_GetDict(state().module), names().PositionGroup);
    if (!cls && PyErr_Occurred()) throw Error();
    return cls == (PyObject *) group_class.type;
}

// A new, empty exact PositionGroup (the class the module names is still it).
static Ref empty_group() {
    PyObject *values[2] = {PySet_New(nullptr), Py_NewRef(Py_None)};
    if (!values[0]) {
        Py_DECREF(values[1]);
        throw Error();
    }
    return pysem::check(pysem::record::make(group_class, values));
}

}  // namespace

Ref position_groups(PyObject *mgr, PyObject *orderid) {
    // The positions loaded from the store, their order ids, the index and
    // the groups: all acyclic, and numerous enough that the collections
    // they would trigger (each over the caller's whole heap) would cost more
    // than the grouping itself.
    pysem::CollectorPause pause;
    Ref store = order_mgr_field(mgr, OrderMgr::field::positions);
    Ref items = store_items(store.ptr());
    const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    if (n > INT32_MAX) raise(PyExc_OverflowError, "too many positions to group");

    int filtered = PyObject_IsTrue(orderid);
    if (filtered < 0) throw Error();

    // Snapshot: every key with its position and its order ids, in store order.
    Snapshot s;
    s.keys.resize((size_t) n);
    s.positions.resize((size_t) n);
    s.first.resize((size_t) n + 1);
    s.passes.resize((size_t) n);
    s.orderids.reserve((size_t) n * 3);
    // Every position's order ids first, then the filter over them, in the
    // order of the pass itself.
    std::vector<Ref> books((size_t) n);
    std::vector<Ref> id_sets((size_t) n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(items.ptr(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "the store's items() must yield (key, position) pairs");
            throw Error();
        }
        s.keys[i] = PyTuple_GET_ITEM(item, 0);
        s.positions[i] = PyTuple_GET_ITEM(item, 1);
        s.first[i] = s.orderids.size();
        gather_orderids(s, s.positions[i], books[i], id_sets[i]);
    }
    s.first[n] = s.orderids.size();
    bool plain = module_names_own_group_class();
    for (Py_ssize_t i = 0; i < n; ++i) {
        s.passes[i] = !filtered || passes_filter(s.positions[i], books[i], id_sets[i], orderid);
        if (s.passes[i] && plain) plain = plain_member(s.positions[i]);
    }

    // Index: order id -> the positions (that pass the filter) holding it.
    OrderIdIndex index(s.orderids.size());
    s.entry.assign(s.orderids.size(), -1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!s.passes[i]) continue;
        for (size_t o = s.first[i]; o < s.first[i + 1]; ++o) {
            PyObject *oid = s.orderids[o].ptr();
            Py_hash_t h = PyObject_Hash(oid);
            if (h == -1 && PyErr_Occurred()) throw Error();
            s.entry[o] = index.add(oid, h, (int32_t) i);
        }
    }

    std::vector<Ref> group_of((size_t) n);
    std::vector<int32_t> first_assigned;
    std::vector<int32_t> stamp((size_t) n, -1), neighbours;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!s.passes[i]) continue;
        Ref group = group_of[i];
        Ref members;  // an exact group's set, held while it is filled
        if (!group) {
            group = plain ? empty_group() : new_position_group();
            if (plain) {
                members = group_class.exact<PositionGroup>(group.ptr())->positions;
                if (PySet_Add(members.ptr(), s.positions[i]) < 0) throw Error();
            } else {
                position_group_add(group.ptr(), s.positions[i]);
            }
            group_of[i] = group;
            first_assigned.push_back((int32_t) i);
        } else if (plain) {
            members = group_class.exact<PositionGroup>(group.ptr())->positions;
        }
        neighbours.clear();
        for (size_t o = s.first[i]; o < s.first[i + 1]; ++o)
            index.for_each_holder(s.entry[o], [&](int32_t j) {
                if (j == i || stamp[(size_t) j] == i) return;
                stamp[(size_t) j] = (int32_t) i;
                neighbours.push_back(j);
            });
        std::sort(neighbours.begin(), neighbours.end());
        for (int32_t j : neighbours) {
            if (plain) {
                if (PySet_Add(members.ptr(), s.positions[(size_t) j]) < 0) throw Error();
            } else {
                position_group_add(group.ptr(), s.positions[(size_t) j]);
            }
            if (!group_of[(size_t) j]) first_assigned.push_back(j);
            group_of[(size_t) j] = group;
        }
    }

    Ref result = steal(PyDict_New());
    if (!result) throw Error();
    for (int32_t i : first_assigned) {
        PyObject *group = group_of[(size_t) i].ptr();
        if (plain) {
            // Each group in the result once: its key from its final members.
            PositionGroup *g = group_class.exact<PositionGroup>(group);
            // A group of one holds this key's position (or one equal to it,
            // with an equal plain key: the same group key).
            if (g->key.is_none())
                g->key = PySet_GET_SIZE(g->positions.ptr()) == 1 ? group_key_of(&s.positions[(size_t) i], 1)
                                                                 : compute_group_key(g->positions.ptr());
        }
        if (PyDict_SetItem(result.ptr(), s.keys[(size_t) i], group) < 0) throw Error();
    }
    return result;
}

Ref call_position_groups(PyObject *mgr, PyObject *orderid) {
    if (order_mgr_class.exact(mgr)) return position_groups(mgr, orderid);
    return pysem::check(PyObject_CallMethodOneArg(mgr, names().position_groups, orderid));
}

const pysem::Method position_groups_method = {
    "position_groups",
    "position_groups($self, orderid=None)\n--\n\n"
    "Combine positions having shared orderIds into PositionGroups for multi-reporting.",
    [](PyObject *self, PyObject *const *a) { return position_groups(self, a[0] ? a[0] : Py_None); },
    pysem::Method::Function};

}  // namespace ordermgr
