// Exact arithmetic for the geometric predicates: error-free transforms and
// nonoverlapping expansions. Used only where a rounded evaluation is too
// close to zero to decide.
#pragma once

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

// A nonoverlapping expansion, components in increasing magnitude.
template <int N>
struct Expansion {
    double c[N];
    int n = 0;

    void add(double b) {
        double q = b;
        int m = 0;
        for (int i = 0; i < n; ++i) {
            double s, h;
            two_sum(q, c[i], s, h);
            q = s;
            if (h != 0) c[m++] = h;
        }
        c[m++] = q;
        n = m;
    }
    void add_product(double a, double b) {
        double p, e;
        two_product(a, b, p, e);
        add(e);
        add(p);
    }
    int sign() const {
        for (int i = n - 1; i >= 0; --i) {
            if (c[i] > 0) return 1;
            if (c[i] < 0) return -1;
        }
        return 0;
    }
    // The sum rounded to a double (the components summed from the smallest):
    // within a few roundings of the exact value.
    double estimate() const {
        double s = 0;
        for (int i = 0; i < n; ++i) s += c[i];
        return s;
    }
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
