#include "quorin/surface/predicates.hpp"

#include "quorin/surface/bvh.hpp"
#include "quorin/surface/exact.hpp"

namespace quorin::geom {

namespace {

// Exact sign of axis·v − axis·x.
int exact_axis_sign(const Vec3& axis, const Vec3& v, const Vec3& x) {
    Expansion<16> e;
    for (int j = 0; j < 3; ++j) {
        e.add_product(axis[j], v[j]);
        e.add_product(-axis[j], x[j]);
    }
    return e.sign();
}

// Does `axis` separate the closed triangle (vertices v, offsets d = v − ref,
// dmax = largest |offset component|) from the closed box [lo, hi]? The box
// projects onto the axis between its corners `bot` and `top`; the offsets
// from the reference point only sharpen the rounded filter, every decision
// it cannot prove is made exactly on the given coordinates.
bool separates(const Vec3& axis, const Vec3 (&v)[3], const Vec3 (&d)[3], double dmax, const Vec3& lo,
               const Vec3& hi, const Vec3& ref, bool exact_ok) {
    Vec3 top, bot;
    for (int j = 0; j < 3; ++j) {
        top[j] = axis[j] >= 0 ? hi[j] : lo[j];
        bot[j] = axis[j] >= 0 ? lo[j] : hi[j];
    }
    const Vec3 wt = sub(top, ref);
    const Vec3 wb = sub(bot, ref);
    const double qt = dot(axis, wt);
    const double qb = dot(axis, wb);
    const double p[3] = {dot(axis, d[0]), dot(axis, d[1]), dot(axis, d[2])};
    const double pmin = std::min({p[0], p[1], p[2]});
    const double pmax = std::max({p[0], p[1], p[2]});
    // The offsets, the four dot products and the final differences stay
    // within 8 roundings of |axis|₁·(dmax + wmax).
    const double wmax = std::max(max_abs3(wt), max_abs3(wb));
    const double bound = 16 * UNIT_ROUNDOFF * (l1(axis) * (dmax + wmax));
    const double low = pmin - qt;   // > 0: every vertex beyond the box's top
    const double high = pmax - qb;  // < 0: every vertex below the box's bottom
    if (low > bound || high < -bound) return true;
    if (low < -bound && high > bound) return false;
    if (!exact_ok) return low > 0 || high < 0;
    if (!(low < -bound)) {
        bool all = true;
        for (int k = 0; k < 3 && all; ++k) {
            if (p[k] - qt > bound) continue;
            all = exact_axis_sign(axis, v[k], top) > 0;
        }
        if (all) return true;
    }
    if (!(high > bound)) {
        bool all = true;
        for (int k = 0; k < 3 && all; ++k) {
            if (p[k] - qb < -bound) continue;
            all = exact_axis_sign(axis, v[k], bot) < 0;
        }
        if (all) return true;
    }
    return false;
}

// Closest points.

Vec3 closest_on_segment(const Vec3& p, const Vec3& a, const Vec3& b) {
    const Vec3 ab = sub(b, a);
    const double len2 = dot(ab, ab);
    if (!(len2 > 0)) return a;
    double s = dot(sub(p, a), ab) / len2;
    if (!(s > 0)) return a;
    if (s >= 1) return b;
    return add_scaled(a, ab, s);
}

Vec3 closest_on_edges(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) {
    Vec3 best = closest_on_segment(p, a, b);
    double bd = dist2(best, p);
    const Vec3 q1 = closest_on_segment(p, b, c);
    const double d1 = dist2(q1, p);
    if (d1 < bd) {
        best = q1;
        bd = d1;
    }
    const Vec3 q2 = closest_on_segment(p, c, a);
    if (dist2(q2, p) < bd) best = q2;
    return best;
}

// d · ((p − o) × (q − o)) exactly: det[d, p, q] + det[d, o, p] + det[d, q, o].
Expansion<80> edge_determinant(const Vec3& d, const Vec3& o, const Vec3& p, const Vec3& q) {
    Expansion<80> e;
    e.add_det(1.0, d.data(), p.data(), q.data());
    e.add_det(1.0, d.data(), o.data(), p.data());
    e.add_det(1.0, d.data(), q.data(), o.data());
    return e;
}

// 2^k that brings the largest magnitude of `v` into [1, 2); exact scaling,
// so the triple products neither overflow nor lose their low bits.
int scale_exponent(double m) {
    if (!(m > 0) || !std::isfinite(m)) return 0;
    return -std::ilogb(m);
}

inline Vec3 scaled(const Vec3& v, int k) {
    // A product with a power of two is exact (no over- or underflow here:
    // the largest magnitude lands in [1, 2)), and cheaper than ldexp.
    if (k > -1000 && k < 1000) {
        const double f = std::ldexp(1.0, k);
        return {v[0] * f, v[1] * f, v[2] * f};
    }
    return {std::ldexp(v[0], k), std::ldexp(v[1], k), std::ldexp(v[2], k)};
}

}  // namespace

bool exactly_collinear(const Vec3& a, const Vec3& b, const Vec3& c) {
    const Vec3 ab = sub(b, a);
    const Vec3 ac = sub(c, a);
    const bool exact_ok = max_abs3(a) < HUGE_COORD && max_abs3(b) < HUGE_COORD && max_abs3(c) < HUGE_COORD;
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3, k = (i + 2) % 3;
        const double n = ab[j] * ac[k] - ab[k] * ac[j];
        const double bound = 8 * UNIT_ROUNDOFF * (std::fabs(ab[j] * ac[k]) + std::fabs(ab[k] * ac[j]));
        if (std::fabs(n) > bound) return false;
        if (!exact_ok) {
            if (n != 0) return false;
            continue;
        }
        // (b_j − a_j)(c_k − a_k) − (b_k − a_k)(c_j − a_j), expanded.
        Expansion<32> x;
        x.add_product(b[j], c[k]);
        x.add_product(-b[j], a[k]);
        x.add_product(-a[j], c[k]);
        x.add_product(b[k], -c[j]);
        x.add_product(b[k], a[j]);
        x.add_product(a[k], c[j]);
        if (x.sign() != 0) return false;
    }
    return true;
}


bool triangle_meets_bounds(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& lo, const Vec3& hi) {
    const Vec3 v[3] = {a, b, c};
    // The box's own axes: the triangle's extent against the box's, compared
    // directly.
    for (int i = 0; i < 3; ++i) {
        if (std::min({a[i], b[i], c[i]}) > hi[i]) return false;
        if (std::max({a[i], b[i], c[i]}) < lo[i]) return false;
    }
    const bool exact_ok = max_abs3(a) < HUGE_COORD && max_abs3(b) < HUGE_COORD && max_abs3(c) < HUGE_COORD &&
                          max_abs3(lo) < HUGE_COORD && max_abs3(hi) < HUGE_COORD;
    const Vec3 ref{0.5 * lo[0] + 0.5 * hi[0], 0.5 * lo[1] + 0.5 * hi[1], 0.5 * lo[2] + 0.5 * hi[2]};
    const Vec3 d[3] = {sub(a, ref), sub(b, ref), sub(c, ref)};
    const double dmax = std::max({max_abs3(d[0]), max_abs3(d[1]), max_abs3(d[2])});
    const Vec3 f[3] = {sub(b, a), sub(c, b), sub(a, c)};
    // The triangle's plane.
    const Vec3 normal = cross(f[0], {-f[2][0], -f[2][1], -f[2][2]});
    if (separates(normal, v, d, dmax, lo, hi, ref, exact_ok)) return false;
    // Box axis × triangle edge.
    for (int k = 0; k < 3; ++k) {
        const Vec3& e = f[k];
        const Vec3 axes[3] = {{0.0, -e[2], e[1]}, {e[2], 0.0, -e[0]}, {-e[1], e[0], 0.0}};
        for (const Vec3& axis : axes) {
            if (separates(axis, v, d, dmax, lo, hi, ref, exact_ok)) return false;
        }
    }
    return true;
}

bool axis_separates(const Vec3& axis, const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& lo,
                    const Vec3& hi) {
    const Vec3 v[3] = {a, b, c};
    const Vec3 ref{0.5 * lo[0] + 0.5 * hi[0], 0.5 * lo[1] + 0.5 * hi[1], 0.5 * lo[2] + 0.5 * hi[2]};
    const Vec3 d[3] = {sub(a, ref), sub(b, ref), sub(c, ref)};
    const double dmax = std::max({max_abs3(d[0]), max_abs3(d[1]), max_abs3(d[2])});
    return separates(axis, v, d, dmax, lo, hi, ref, true);
}

namespace {

// Ray points and direction scaled apart by powers of two: signs do not
// change, and the time of impact scales by 2^(kp − kd).
struct ScaledRay {
    int kp, kd;
    Vec3 o, d, a, b, c;
};

ScaledRay scale_ray(const RayFrame& r, const Vec3& a, const Vec3& b, const Vec3& c) {
    ScaledRay s;
    s.kp = scale_exponent(std::max({max_abs3(a), max_abs3(b), max_abs3(c), max_abs3(r.origin)}));
    s.kd = scale_exponent(max_abs3(r.dir));
    s.o = scaled(r.origin, s.kp);
    s.a = scaled(a, s.kp);
    s.b = scaled(b, s.kp);
    s.c = scaled(c, s.kp);
    s.d = scaled(r.dir, s.kd);
    return s;
}

// The exact determinant of edge k (0: b-c, 1: c-a, 2: a-b), whose sign is the
// sheared edge function's.
Expansion<80> edge_determinant(const ScaledRay& s, int k) {
    const Vec3* ends[3][2] = {{&s.c, &s.b}, {&s.a, &s.c}, {&s.b, &s.a}};
    return edge_determinant(s.d, s.o, *ends[k][0], *ends[k][1]);
}

}  // namespace

void exact_edge_signs(const RayFrame& r, const Vec3& a, const Vec3& b, const Vec3& c, int& su, int& sv, int& sw) {
    const ScaledRay s = scale_ray(r, a, b, c);
    int* signs[3] = {&su, &sv, &sw};
    for (int k = 0; k < 3; ++k)
        if (*signs[k] == 0) *signs[k] = edge_determinant(s, k).sign();
}

void exact_edge_values(const RayFrame& r, const Vec3& a, const Vec3& b, const Vec3& c, const bool (&which)[3],
                       double (&uvw)[3]) {
    const ScaledRay s = scale_ray(r, a, b, c);
    // det[d', p' − o', q' − o'] = 2^(kd + 2·kp) · det[d, p − o, q − o], and the
    // sheared edge function is that determinant over |d_kz|.
    for (int k = 0; k < 3; ++k) {
        if (!which[k]) continue;
        uvw[k] = std::ldexp(edge_determinant(s, k).estimate(), -(s.kd + 2 * s.kp)) / std::fabs(r.dir[r.kz]);
    }
}

bool exact_hit(const RayFrame& r, const Vec3& a, const Vec3& b, const Vec3& c, double tmax, double& t, bool& back) {
    const ScaledRay s = scale_ray(r, a, b, c);
    const Vec3 &o = s.o, &d = s.d, &pa = s.a, &pb = s.b, &pc = s.c;
    const int kp = s.kp, kd = s.kd;
    // t = n·(a − o) / n·d with n = (b − a) × (c − a), both exactly.
    Expansion<100> num;
    num.add_det(1.0, pb.data(), pc.data(), pa.data());
    num.add_det(-1.0, pb.data(), pc.data(), o.data());
    num.add_det(1.0, pb.data(), pa.data(), o.data());
    num.add_det(1.0, pa.data(), pc.data(), o.data());
    Expansion<80> den;
    den.add_det(1.0, pb.data(), pc.data(), d.data());
    den.add_det(-1.0, pb.data(), pa.data(), d.data());
    den.add_det(-1.0, pa.data(), pc.data(), d.data());
    const int sd = den.sign();
    if (sd == 0) return false;
    const int sn = num.sign();
    if (sn != 0 && sn != sd) return false;  // behind the origin
    const double tt = sn == 0 ? 0.0 : std::ldexp(num.estimate() / den.estimate(), kd - kp);
    if (!(tt >= 0 && tt <= tmax) || !std::isfinite(tt)) return false;
    t = tt;
    back = sd > 0;
    return true;
}

Vec3 closest_point_on_triangle(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) {
    // The foot of p on the triangle's plane when it lies inside the triangle,
    // else the nearest point of the three edges. The inside test uses the
    // edge functions of p itself against the computed normal, so for a sliver
    // (whose normal is mostly rounding) it only says inside when p's foot
    // lies within the sliver, and the foot is then as near as the sliver.
    const Vec3 ab = sub(b, a);
    const Vec3 ac = sub(c, a);
    const Vec3 n = cross(ab, ac);
    if (dot(n, n) > 0) {
        const double wc = dot(cross(ab, sub(p, a)), n);
        const double wa = dot(cross(sub(c, b), sub(p, b)), n);
        const double wb = dot(cross(sub(a, c), sub(p, c)), n);
        const double sum = (wa + wb) + wc;
        if (wa >= 0 && wb >= 0 && wc >= 0 && sum > 0 && std::isfinite(sum)) {
            const double u = wb / sum;
            const double v = wc / sum;
            return {(a[0] + ab[0] * u) + ac[0] * v, (a[1] + ab[1] * u) + ac[1] * v,
                    (a[2] + ab[2] * u) + ac[2] * v};
        }
    }
    return closest_on_edges(p, a, b, c);
}


// ---------------------------------------------------------------------------

}  // namespace quorin::geom

namespace quorin::trimesh {

bool triangle_meets_box(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& centre, const Vec3& half) {
    const Vec3 lo{centre[0] - half[0], centre[1] - half[1], centre[2] - half[2]};
    const Vec3 hi{centre[0] + half[0], centre[1] + half[1], centre[2] + half[2]};
    return geom::triangle_meets_bounds(a, b, c, lo, hi);
}

bool triangle_meets_bounds(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& lo, const Vec3& hi) {
    return geom::triangle_meets_bounds(a, b, c, lo, hi);
}

std::optional<RayHit> ray_triangle(const Vec3& origin, const Vec3& dir, double max_toi, const Vec3& a,
                                   const Vec3& b, const Vec3& c) {
    if (!geom::finite3(origin) || !geom::finite3(dir) || std::isnan(max_toi)) return std::nullopt;
    if (dir[0] == 0 && dir[1] == 0 && dir[2] == 0) return std::nullopt;
    if (geom::exactly_collinear(a, b, c)) return std::nullopt;
    const geom::RayFrame r = geom::make_ray_frame(origin, dir);
    double t;
    bool back;
    if (!geom::ray_triangle_frame(r, a, b, c, max_toi, t, back)) return std::nullopt;
    return RayHit{t, 0, back};
}

Vec3 closest_point_on_triangle(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) {
    return geom::closest_point_on_triangle(p, a, b, c);
}

}  // namespace quorin::trimesh
