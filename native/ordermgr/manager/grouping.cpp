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
#include "pysem/record_methods.h"

namespace ordermgr {

nb::object position_groups(PyObject *mgr, PyObject *orderid) {
    nb::object store = order_mgr_field(mgr, OrderMgr::field::positions);
    nb::object items = store_items(store.ptr());
    const Py_ssize_t n = PyList_GET_SIZE(items.ptr());

    int filtered = PyObject_IsTrue(orderid);
    if (filtered < 0) throw nb::python_error();

    // Snapshot: every key with its position and its order ids, in store order.
    std::vector<PyObject *> keys((size_t) n), positions((size_t) n);
    std::vector<nb::object> orderids((size_t) n);
    std::vector<char> passes((size_t) n, 1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(items.ptr(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "the store's items() must yield (key, position) pairs");
            throw nb::python_error();
        }
        keys[i] = PyTuple_GET_ITEM(item, 0);
        positions[i] = PyTuple_GET_ITEM(item, 1);
        orderids[i] = position_orderids(positions[i]);
    }
    if (filtered) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            int r = PySequence_Contains(orderids[i].ptr(), orderid);
            if (r < 0) throw nb::python_error();
            passes[i] = (char) r;
        }
    }

    // Index: order id -> the positions (that pass the filter) holding it.
    nb::object index = nb::steal(PyDict_New());
    if (!index) throw nb::python_error();
    std::vector<std::vector<Py_ssize_t>> holders;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!passes[i]) continue;
        nb::object it = nb::steal(PyObject_GetIter(orderids[i].ptr()));
        if (!it) throw nb::python_error();
        while (PyObject *oid = PyIter_Next(it.ptr())) {
            nb::object o = nb::steal(oid);
            PyObject *slot = PyDict_GetItemWithError(index.ptr(), oid);
            size_t id;
            if (slot) {
                id = (size_t) PyLong_AsSsize_t(slot);
            } else {
                if (PyErr_Occurred()) throw nb::python_error();
                id = holders.size();
                holders.emplace_back();
                nb::object idx = nb::steal(PyLong_FromSize_t(id));
                if (PyDict_SetItem(index.ptr(), oid, idx.ptr()) < 0) throw nb::python_error();
            }
            if (holders[id].empty() || holders[id].back() != i) holders[id].push_back(i);
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }

    std::vector<nb::object> group_of((size_t) n);
    std::vector<Py_ssize_t> first_assigned;
    std::vector<Py_ssize_t> stamp((size_t) n, -1), neighbours;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!passes[i]) continue;
        nb::object group = group_of[i];
        if (!group) {
            group = new_position_group();
            position_group_add(group.ptr(), positions[i]);
            group_of[i] = group;
            first_assigned.push_back(i);
        }
        neighbours.clear();
        nb::object it = nb::steal(PyObject_GetIter(orderids[i].ptr()));
        if (!it) throw nb::python_error();
        while (PyObject *oid = PyIter_Next(it.ptr())) {
            nb::object o = nb::steal(oid);
            PyObject *slot = PyDict_GetItemWithError(index.ptr(), oid);
            if (!slot) {
                if (PyErr_Occurred()) throw nb::python_error();
                continue;
            }
            for (Py_ssize_t j : holders[(size_t) PyLong_AsSsize_t(slot)]) {
                if (j == i || stamp[j] == i) continue;
                stamp[j] = i;
                neighbours.push_back(j);
            }
        }
        if (PyErr_Occurred()) throw nb::python_error();
        std::sort(neighbours.begin(), neighbours.end());
        for (Py_ssize_t j : neighbours) {
            position_group_add(group.ptr(), positions[j]);
            if (!group_of[j]) first_assigned.push_back(j);
            group_of[j] = group;
        }
    }

    nb::object result = nb::steal(PyDict_New());
    if (!result) throw nb::python_error();
    for (Py_ssize_t i : first_assigned)
        if (PyDict_SetItem(result.ptr(), keys[i], group_of[i].ptr()) < 0) throw nb::python_error();
    return result;
}

nb::object call_position_groups(PyObject *mgr, PyObject *orderid) {
    if (is_exact(mgr, types.OrderMgr)) return position_groups(mgr, orderid);
    nb::object r = nb::steal(PyObject_CallMethod(mgr, "position_groups", "O", orderid));
    if (!r) throw nb::python_error();
    return r;
}

void define_grouping(PyTypeObject *cls) {
    pysem::def_method(
        cls,
        "position_groups", [](nb::handle self, nb::handle orderid) { return position_groups(self.ptr(), orderid.ptr()); },
        nb::arg("orderid").none() = nb::none(),
        "Combine positions having shared orderIds into PositionGroups for multi-reporting.");
}

}  // namespace ordermgr
