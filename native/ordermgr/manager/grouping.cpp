// OrderMgr.position_groups: positions that share order ids, put into
// PositionGroups in a single pass over direct neighbours.
//
// The result is the one of the plain pairwise pass (each outer position, in
// store order, pulls every later- or earlier-stored neighbour it shares an
// order id with into its current group, replacing the neighbour's group);
// an index from order id to positions finds the neighbours, so the cost
// grows with the number of positions and shared order ids instead of with
// the square of the portfolio.
#include <algorithm>
#include <vector>

#include "groups/position_group.h"
#include "manager/order_mgr.h"
#include "manager/grouping.h"
#include "manager/store_ops.h"
#include "model/module_ns.h"
#include "model/position.h"
#include "pysem/collector_pause.h"
#include "pysem/method.h"

namespace ordermgr {

Ref position_groups(PyObject *mgr, PyObject *orderid) {
    // The positions loaded from the store, their order-id sets, the index
    // and the groups: all acyclic, and numerous enough that the collections
    // they would trigger (each over the caller's whole heap) would cost more
    // than the grouping itself.
    pysem::CollectorPause pause;
    Ref store = order_mgr_field(mgr, OrderMgr::field::positions);
    Ref items = store_items(store.ptr());
    const Py_ssize_t n = PyList_GET_SIZE(items.ptr());

    int filtered = PyObject_IsTrue(orderid);
    if (filtered < 0) throw Error();

    // Snapshot: every key with its position and its order ids, in store order.
    std::vector<PyObject *> keys((size_t) n), positions((size_t) n);
    std::vector<Ref> orderids((size_t) n);
    std::vector<char> passes((size_t) n, 1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(items.ptr(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "the store's items() must yield (key, position) pairs");
            throw Error();
        }
        keys[i] = PyTuple_GET_ITEM(item, 0);
        positions[i] = PyTuple_GET_ITEM(item, 1);
        orderids[i] = position_orderids(positions[i]);
    }
    if (filtered) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            int r = PySequence_Contains(orderids[i].ptr(), orderid);
            if (r < 0) throw Error();
            passes[i] = (char) r;
        }
    }

    // Index: order id -> the positions (that pass the filter) holding it.
    Ref index = steal(PyDict_New());
    if (!index) throw Error();
    std::vector<std::vector<Py_ssize_t>> holders;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!passes[i]) continue;
        Ref it = steal(PyObject_GetIter(orderids[i].ptr()));
        if (!it) throw Error();
        while (PyObject *oid = PyIter_Next(it.ptr())) {
            Ref o = steal(oid);
            PyObject *slot = PyDict_GetItemWithError(index.ptr(), oid);
            size_t id;
            if (slot) {
                id = (size_t) PyLong_AsSsize_t(slot);
            } else {
                if (PyErr_Occurred()) throw Error();
                id = holders.size();
                holders.emplace_back();
                Ref idx = steal(PyLong_FromSize_t(id));
                if (PyDict_SetItem(index.ptr(), oid, idx.ptr()) < 0) throw Error();
            }
            if (holders[id].empty() || holders[id].back() != i) holders[id].push_back(i);
        }
        if (PyErr_Occurred()) throw Error();
    }

    std::vector<Ref> group_of((size_t) n);
    std::vector<Py_ssize_t> first_assigned;
    std::vector<Py_ssize_t> stamp((size_t) n, -1), neighbours;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!passes[i]) continue;
        Ref group = group_of[i];
        if (!group) {
            group = new_position_group();
            position_group_add(group.ptr(), positions[i]);
            group_of[i] = group;
            first_assigned.push_back(i);
        }
        neighbours.clear();
        Ref it = steal(PyObject_GetIter(orderids[i].ptr()));
        if (!it) throw Error();
        while (PyObject *oid = PyIter_Next(it.ptr())) {
            Ref o = steal(oid);
            PyObject *slot = PyDict_GetItemWithError(index.ptr(), oid);
            if (!slot) {
                if (PyErr_Occurred()) throw Error();
                continue;
            }
            for (Py_ssize_t j : holders[(size_t) PyLong_AsSsize_t(slot)]) {
                if (j == i || stamp[j] == i) continue;
                stamp[j] = i;
                neighbours.push_back(j);
            }
        }
        if (PyErr_Occurred()) throw Error();
        std::sort(neighbours.begin(), neighbours.end());
        for (Py_ssize_t j : neighbours) {
            position_group_add(group.ptr(), positions[j]);
            if (!group_of[j]) first_assigned.push_back(j);
            group_of[j] = group;
        }
    }

    Ref result = steal(PyDict_New());
    if (!result) throw Error();
    for (Py_ssize_t i : first_assigned)
        if (PyDict_SetItem(result.ptr(), keys[i], group_of[i].ptr()) < 0) throw Error();
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
