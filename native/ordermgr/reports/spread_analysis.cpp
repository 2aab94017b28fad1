// The spread analysis: every group that more than one key maps to, with its
// combined figures and members; groups of one key are only counted.
#include <unordered_map>
#include <vector>

#include "model/module_ns.h"
#include "pysem/protocol.h"
#include "pysem/record.h"
#include "groups/position_group.h"
#include "model/position.h"
#include "reports/report_text.h"
#include "reports/system_reporter.h"

namespace ordermgr {

using namespace pysem::protocol;

using pysem::getattr;

namespace {

// A distinct group object and the keys that map to it, in mapping order.
struct GroupKeys {
    Ref group;
    std::vector<Ref> keys;
};

std::vector<GroupKeys> by_identity(PyObject *groups) {
    std::vector<GroupKeys> unique;
    std::unordered_map<PyObject *, size_t> index;
    for_each_item(groups, [&](PyObject *key, PyObject *group) {
        auto [it, added] = index.try_emplace(group, unique.size());
        if (added) unique.push_back({borrow(group), {}});
        unique[it->second].keys.push_back(borrow(key));
    });
    return unique;
}

void spread_lines(ReportText &text, long long number, const GroupKeys &g) {
    PyObject *group = g.group.ptr();
    std::string &head = text.line("SPREAD #");
    head += std::to_string(number);
    head += ": ";
    for (size_t i = 0; i < g.keys.size(); ++i) {
        if (i) head += ", ";
        pysem::append_str(head, g.keys[i].ptr());
    }
    Py_ssize_t members = PyObject_Size(group_field(group, PositionGroup::field::positions).ptr());
    if (members < 0) raise();
    text.line("  Positions: ") += std::to_string(members);
    pysem::append_default(text.line("  Group Qty: "), getattr(group, names().qty).ptr());
    append_money(text.line("  Group Avg Price: $"), getattr(group, names().average_price).ptr());
    text.line("  Direction: ") += truth(getattr(group, names().is_long).ptr()) ? "LONG" : "SHORT";
    Ref positions = group_field(group, PositionGroup::field::positions);
    for_each(positions.ptr(), [&](PyObject *pos) {
        std::string &out = text.line("    ");
        pysem::append_default(out, position_field(pos, Position::field::key).ptr());
        out += ": qty=";
        pysem::append_default(out, position_qty(pos).ptr());
        out += ", price=$";
        append_money(out, position_average_price(pos).ptr());
    });
    text.line();
}

}  // namespace

Ref spread_analysis(PyObject *order_mgr) {
    Ref groups = call_method0(order_mgr, names().position_groups);
    if (!truth(groups.ptr())) return pysem::utf8_to_str("No position groups found.");

    ReportText text;
    text.line("SPREAD ANALYSIS");
    text.line().append(50, '=');
    text.line();
    long long spreads = 0, singles = 0;
    for (const GroupKeys &g : by_identity(groups.ptr())) {
        if (g.keys.size() > 1)
            spread_lines(text, ++spreads, g);
        else
            ++singles;
    }
    std::string &summary = text.line("Summary: ");
    summary += std::to_string(spreads);
    summary += " spreads, ";
    summary += std::to_string(singles);
    summary += " single positions";
    return text.str();
}

}  // namespace ordermgr
