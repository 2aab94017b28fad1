// The host's built-in sum(items, 0) over native numbers only, without
// allocating: exact int accumulation until the first float, then
// Neumaier-compensated float accumulation with ints added uncompensated, as
// CPython 3.12 does. `add` returns false for a value it cannot take natively
// (an int sum leaving the int64 range); the caller then computes the sum the
// generic way (BuiltinSum).
#pragma once
#include <cmath>
#include <cstdint>

#include "pysem/num.h"

namespace pysem {

// One step of the built-in sum's float accumulation (Neumaier's improved
// Kahan-Babuska summation).
inline void neumaier_add(double &sum, double &comp, double x) {
    double t = sum + x;
    if (std::fabs(sum) >= std::fabs(x))
        comp += (sum - t) + x;
    else
        comp += (x - t) + sum;
    sum = t;
}

class NativeSum {
public:
    // An exact int (is_int) or an exact float's value.
    bool add(bool is_int, int64_t i, double d) {
        if (!is_float_) {
            if (is_int) {
                int64_t r;
                if (__builtin_add_overflow(int_sum_, i, &r)) return false;  // the sum so far stays
                int_sum_ = r;
                return true;
            }
            // int + float: the int is converted to the nearest double first.
            is_float_ = true;
            float_sum_ = (double) int_sum_ + d;
            compensation_ = 0.0;
            return true;
        }
        if (is_int) {
            float_sum_ += (double) i;
            return true;
        }
        neumaier_add(float_sum_, compensation_, d);
        return true;
    }

    // Whether every value so far was an int, and their sum.
    bool int_phase() const { return !is_float_; }
    int64_t int_sum() const { return int_sum_; }

    Num result() const {
        if (!is_float_) return Num::of_int(int_sum_);
        double r = float_sum_;
        if (compensation_ != 0.0 && std::isfinite(compensation_)) r += compensation_;
        return Num::of_double(r);
    }

private:
    // The int phase's sum until the first float, the float phase's after.
    union {
        int64_t int_sum_ = 0;
        double float_sum_;
    };
    double compensation_ = 0.0;
    bool is_float_ = false;
};

}  // namespace pysem
