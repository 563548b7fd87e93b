// Exact arithmetic for the geometric predicates: error-free transforms and
// nonoverlapping expansions. Used only where a rounded evaluation is too
// close to zero to decide.
#pragma once

#include <cmath>

namespace quorin::geom {

inline void two_sum(double a, double b, double& s, double& e) {
    s = a + b;
    const double bv = s - a;
    const double av = s - bv;
    e = (a - av) + (b - bv);
}

inline void split(double a, double& hi, double& lo) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    const double big = c - a;
    hi = c - big;
    lo = a - hi;
}

inline void two_product(double a, double b, double& p, double& e) {
    p = a * b;
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    const double e1 = p - ah * bh;
    const double e2 = e1 - al * bh;
    const double e3 = e2 - ah * bl;
    e = al * bl - e3;
}

// The exact sum of a list of doubles, kept as the unevaluated list. Its sign
// and a rounded value are found by distillation: cascades of error-free
// two_sums that keep the exact sum, each pass moving the rounded total into
// the last component, until that component outweighs all the others. A few
// passes settle all but pathological lists; those are then merged into a
// nonoverlapping expansion, which is exact whatever the input.
template <int N>
struct Expansion {
    double c[N];
    int n = 0;

    void add(double b) {
        if (b != 0) c[n++] = b;
    }
    void add_product(double a, double b) {
        double p, e;
        two_product(a, b, p, e);
        add(e);
        add(p);
    }
    int sign() const {
        const double v = value();
        return v > 0 ? 1 : (v < 0 ? -1 : 0);
    }
    // The sum rounded to a double, within a few roundings of the exact value
    // and with its exact sign.
    double estimate() const { return value(); }

private:
    static constexpr int MAX_PASSES = 8;

    double value() const {
        double w[N];
        int m = 0;
        for (int i = 0; i < n; ++i) w[m++] = c[i];
        if (m == 0) return 0;
        for (int pass = 0; pass < MAX_PASSES; ++pass) {
            // One cascade: w[m-1] becomes the rounded total, the rest the
            // rounding errors; zeros are dropped.
            int k = 0;
            double acc = w[0];
            for (int i = 1; i < m; ++i) {
                double s, e;
                two_sum(acc, w[i], s, e);
                if (e != 0) w[k++] = e;
                acc = s;
            }
            w[k++] = acc;
            m = k;
            if (m == 1) return w[0];
            double rest = 0;
            for (int i = 0; i < m - 1; ++i) rest += std::fabs(w[i]);
            // The rounded sum of |errors| is below its exact value by less than
            // m roundings; the margin makes the comparison safe.
            if (std::fabs(acc) > rest * (1 + 4 * m * 0x1p-53)) {
                double tail = 0;
                for (int i = 0; i < m - 1; ++i) tail += w[i];
                return acc + tail;
            }
        }
        return merged(w, m);
    }

    // Exact fallback: grow a nonoverlapping expansion from the components.
    static double merged(const double* w, int m) {
        double e[N];
        int len = 0;
        for (int j = 0; j < m; ++j) {
            double q = w[j];
            int k = 0;
            for (int i = 0; i < len; ++i) {
                double s, h;
                two_sum(q, e[i], s, h);
                q = s;
                if (h != 0) e[k++] = h;
            }
            e[k++] = q;
            len = k;
        }
        // Components in increasing magnitude: the last nonzero one has the
        // sign, and the sum from the smallest is the rounded value.
        double sum = 0;
        for (int i = 0; i < len; ++i) sum += e[i];
        if (sum == 0) {
            for (int i = len - 1; i >= 0; --i)
                if (e[i] != 0) return e[i];
        }
        return sum;
    }

public:
    // Adds the exact product a·b·c as four components.
    void add_triple(double a, double b, double c3) {
        double p, e;
        two_product(a, b, p, e);
        double p1, e1, p2, e2;
        two_product(p, c3, p1, e1);
        two_product(e, c3, p2, e2);
        add(e2);
        add(p2);
        add(e1);
        add(p1);
    }
    // Adds s·det[x, y, z] (rows x, y, z), s = ±1, exactly.
    void add_det(double s, const double* x, const double* y, const double* z) {
        add_triple(s * x[0], y[1], z[2]);
        add_triple(-s * x[0], y[2], z[1]);
        add_triple(s * x[1], y[2], z[0]);
        add_triple(-s * x[1], y[0], z[2]);
        add_triple(s * x[2], y[0], z[1]);
        add_triple(-s * x[2], y[1], z[0]);
    }
};

}  // namespace quorin::geom
