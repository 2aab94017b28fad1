// The fixed-width, box-drawn table with one row per stored position.
#include <array>
#include <vector>

#include "diagnostics/reads.h"
#include "model/position.h"
#include "reports/report_text.h"
#include "reports/system_reporter.h"
#include "reports/time_text.h"

namespace ordermgr {

namespace {

constexpr size_t kColumns = 7;
using Row = std::array<std::string, kColumns>;
const Row kHeader = {"Key", "Qty", "Avg Price", "Direction", "Commission", "Trades", "Started"};

// The seven cells of one position, its values read in column order.
Row cells(PyObject *key, PyObject *pos) {
    Row row;
    pysem::append_str(row[0], key);
    append_qty(row[1], position_qty(pos).ptr());
    row[2] = "$";
    append_money(row[2], position_average_price(pos).ptr());
    row[3] = position_is_long(pos) ? "LONG" : "SHORT";
    row[4] = "$";
    append_money(row[4], position_total_commission(pos).ptr());
    row[5] = std::to_string(mapping_size(position_trades(pos).ptr()));
    append_minutes(row[6], position_started(pos).ptr());
    return row;
}

void separator(ReportText &text, const std::array<size_t, kColumns> &widths) {
    std::string &out = text.line("+");
    for (size_t w : widths) out.append(w + 2, '-') += '+';
}

void text_line(ReportText &text, const Row &row, const std::array<size_t, kColumns> &widths) {
    std::string &out = text.line("|");
    for (size_t c = 0; c < kColumns; ++c) {
        out += ' ';
        out += row[c];
        out.append(widths[c] - pysem::codepoints(row[c]) + 1, ' ');
        out += '|';
    }
}

}  // namespace

nb::object position_table(PyObject *order_mgr) {
    nb::object positions = pysem::getattr(order_mgr, names.positions);
    if (!truth(positions.ptr())) return pysem::utf8_to_str("No positions found.");

    std::array<size_t, kColumns> widths;
    for (size_t c = 0; c < kColumns; ++c) widths[c] = kHeader[c].size();
    std::vector<Row> rows;
    for_each_item(positions.ptr(), [&](PyObject *key, PyObject *pos) {
        rows.push_back(cells(key, pos));
        for (size_t c = 0; c < kColumns; ++c) widths[c] = std::max(widths[c], pysem::codepoints(rows.back()[c]));
    });

    ReportText text;
    separator(text, widths);
    text_line(text, kHeader, widths);
    separator(text, widths);
    for (const Row &row : rows) text_line(text, row, widths);
    separator(text, widths);
    return text.str();
}

}  // namespace ordermgr
