// The fixed-width, box-drawn table with one row per stored position.
#include <array>
#include <vector>

#include "model/module_ns.h"
#include "pysem/protocol.h"
#include "pysem/record.h"
#include "manager/order_mgr.h"
#include "model/position.h"
#include "reports/report_text.h"
#include "reports/system_reporter.h"
#include "reports/time_text.h"

namespace ordermgr {

using namespace pysem::protocol;

namespace {

constexpr size_t kColumns = 7;
const std::array<const char *, kColumns> kHeader = {"Key",        "Qty",    "Avg Price", "Direction",
                                                    "Commission", "Trades", "Started"};

// Every cell text, row after row, in one buffer.
class Cells {
public:
    Cells() {
        for (size_t c = 0; c < kColumns; ++c) {
            text_ += kHeader[c];
            close(c);
        }
    }
    std::string &text() { return text_; }
    // Ends the cell of column c that was just written.
    void close(size_t c) {
        size_t start = ends_.empty() ? 0 : ends_.back();
        widths_[c] = std::max(widths_[c], pysem::codepoints(std::string_view(text_).substr(start)));
        ends_.push_back(text_.size());
    }
    size_t rows() const { return ends_.size() / kColumns; }
    std::string_view cell(size_t row, size_t c) const {
        size_t i = row * kColumns + c, start = i ? ends_[i - 1] : 0;
        return std::string_view(text_).substr(start, ends_[i] - start);
    }
    const std::array<size_t, kColumns> &widths() const { return widths_; }

private:
    std::string text_;
    std::vector<size_t> ends_;
    std::array<size_t, kColumns> widths_{};
};

// The seven cells of one position, its values read in column order.
void add_row(Cells &cells, PyObject *key, PyObject *pos) {
    std::string &out = cells.text();
    pysem::append_str(out, key);
    cells.close(0);
    KeptFigures f;
    if (kept_figures(pos, f) && f.started) {
        append_qty(out, f.qty);
        cells.close(1);
        append_money(out += '$', f.average_price);
        cells.close(2);
        out += f.qty.gt_zero() ? "LONG" : "SHORT";
        cells.close(3);
        append_money(out += '$', f.total_commission);
        cells.close(4);
        out += std::to_string(f.trades);
        cells.close(5);
        append_minutes(out, f.started);
        cells.close(6);
        return;
    }
    append_qty(out, position_qty(pos).ptr());
    cells.close(1);
    append_money(out += '$', position_average_price(pos).ptr());
    cells.close(2);
    out += position_is_long(pos) ? "LONG" : "SHORT";
    cells.close(3);
    append_money(out += '$', position_total_commission(pos).ptr());
    cells.close(4);
    out += std::to_string(mapping_size(position_field(pos, Position::field::trades).ptr()));
    cells.close(5);
    append_minutes(out, position_started(pos).ptr());
    cells.close(6);
}

void separator(ReportText &text, const std::array<size_t, kColumns> &widths) {
    std::string &out = text.line("+");
    for (size_t w : widths) out.append(w + 2, '-') += '+';
}

void text_line(ReportText &text, const Cells &cells, size_t row) {
    std::string &out = text.line("|");
    for (size_t c = 0; c < kColumns; ++c) {
        std::string_view cell = cells.cell(row, c);
        out += ' ';
        out += cell;
        out.append(cells.widths()[c] - pysem::codepoints(cell) + 1, ' ');
        out += '|';
    }
}

}  // namespace

Ref position_table(PyObject *order_mgr) {
    Ref positions = order_mgr_field(order_mgr, OrderMgr::field::positions);
    if (!truth(positions.ptr())) return pysem::utf8_to_str("No positions found.");

    Cells cells;  // row 0 is the header
    for_each_item(positions.ptr(), [&](PyObject *key, PyObject *pos) { add_row(cells, key, pos); });

    ReportText text;
    separator(text, cells.widths());
    text_line(text, cells, 0);
    separator(text, cells.widths());
    for (size_t row = 1; row < cells.rows(); ++row) text_line(text, cells, row);
    separator(text, cells.widths());
    return text.str();
}

}  // namespace ordermgr
