// The per-triangle geometric predicates of the surface queries: closed
// triangle against closed box, ray against triangle, zero-area test and
// closest point. Decisions are made in floating point where a forward error
// bound proves the sign, and exactly otherwise, so no answer comes from
// rounding alone. Internal to the surface code; the queries inline the ray
// test, which runs for every triangle a ray reaches.
#pragma once

#include <utility>

#include "quorin/surface/vec_ops.hpp"

namespace quorin::geom {

// Exactly collinear corners (a zero-area triangle): every component of
// (b − a) × (c − a) vanishes in exact arithmetic.
bool exactly_collinear(const Vec3& a, const Vec3& b, const Vec3& c);

// The closed triangle (a, b, c) and the closed box [lo, hi] share a point.
// Every separation decision is exact on the given coordinates, so a triangle
// that touches the box answers true.
bool triangle_meets_bounds(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& lo, const Vec3& hi);

// The point of the closed triangle nearest to p.
Vec3 closest_point_on_triangle(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c);

// Ray set-up for the watertight triangle test: the ray is sheared so that it
// runs along +z' from the origin; the dominant axis of the direction is z'.
struct RayFrame {
    Vec3 origin;
    Vec3 dir;
    int kx, ky, kz;
    double sx, sy, sz;
    double origin_scale;  // largest |origin component|
};

inline RayFrame make_ray_frame(const Vec3& origin, const Vec3& dir) {
    RayFrame r;
    r.origin = origin;
    r.dir = dir;
    int kz = 0;
    if (std::fabs(dir[1]) > std::fabs(dir[kz])) kz = 1;
    if (std::fabs(dir[2]) > std::fabs(dir[kz])) kz = 2;
    int kx = (kz + 1) % 3;
    int ky = (kx + 1) % 3;
    // Keeps the sheared frame right-handed, so the sign of the determinant
    // tells the sides apart.
    if (dir[kz] < 0) std::swap(kx, ky);
    r.kx = kx;
    r.ky = ky;
    r.kz = kz;
    r.sx = dir[kx] / dir[kz];
    r.sy = dir[ky] / dir[kz];
    r.sz = 1.0 / dir[kz];
    r.origin_scale = max_abs3(origin);
    return r;
}

// The exact parts of ray_triangle_frame, for the cases that floating point
// cannot settle. Fills in the exact sign of each sheared edge function whose
// sign is 0 on entry (U: edge b-c, V: c-a, W: a-b), from exact triple
// products.
void exact_edge_signs(const RayFrame& r, const Vec3& a, const Vec3& b, const Vec3& c, int& su, int& sv, int& sw);
// The hit of a ray whose line meets the closed triangle, from the exactly
// evaluated plane equation: the time of impact a few roundings off.
bool exact_hit(const RayFrame& r, const Vec3& a, const Vec3& b, const Vec3& c, double tmax, double& t, bool& back);

// Bound on the error of a sheared edge function, per unit of |P|₁·|Q|₁ of its
// two corners (about 20 roundings; doubled for safety).
constexpr double EDGE_ERROR = 40 * UNIT_ROUNDOFF;
// A floating-point time of impact is kept when its error bound is at most
// this fraction of the ray's own scale (|t| + largest |origin component|);
// beyond it, the time is recomputed from the exact plane equation.
constexpr double TOI_TRUST = 0x1p-30;

inline double l1(const Vec3& v) { return (std::fabs(v[0]) + std::fabs(v[1])) + std::fabs(v[2]); }

// Hit of the ray with the closed triangle at 0 <= t <= tmax. The edge
// functions of a shared edge are computed from the same operands in both
// triangles (with opposite signs) and settled by the same rule, so no ray
// slips between them; a sign too close to zero to trust, or a time of impact
// too uncertain, is decided exactly.
inline bool ray_triangle_frame(const RayFrame& r, const Vec3& a, const Vec3& b, const Vec3& c, double tmax,
                               double& t, bool& back) {
    const Vec3 A = sub(a, r.origin);
    const Vec3 B = sub(b, r.origin);
    const Vec3 C = sub(c, r.origin);
    const double Ax = A[r.kx] - r.sx * A[r.kz];
    const double Ay = A[r.ky] - r.sy * A[r.kz];
    const double Bx = B[r.kx] - r.sx * B[r.kz];
    const double By = B[r.ky] - r.sy * B[r.kz];
    const double Cx = C[r.kx] - r.sx * C[r.kz];
    const double Cy = C[r.ky] - r.sy * C[r.kz];
    const double U = Cx * By - Cy * Bx;
    const double V = Ax * Cy - Ay * Cx;
    const double W = Bx * Ay - By * Ax;
    const double ma = l1(A), mb = l1(B), mc = l1(C);
    const double eu = EDGE_ERROR * (mb * mc);
    const double ev = EDGE_ERROR * (mc * ma);
    const double ew = EDGE_ERROR * (ma * mb);
    // Signs that the bounds prove; 0 where they cannot (also NaN).
    const int su = U > eu ? 1 : (U < -eu ? -1 : 0);
    const int sv = V > ev ? 1 : (V < -ev ? -1 : 0);
    const int sw = W > ew ? 1 : (W < -ew ? -1 : 0);
    if ((su < 0 || sv < 0 || sw < 0) && (su > 0 || sv > 0 || sw > 0)) return false;
    if (su == 0 || sv == 0 || sw == 0) {
        int eu_sign = su, ev_sign = sv, ew_sign = sw;
        exact_edge_signs(r, a, b, c, eu_sign, ev_sign, ew_sign);
        const bool neg = eu_sign < 0 || ev_sign < 0 || ew_sign < 0;
        const bool pos = eu_sign > 0 || ev_sign > 0 || ew_sign > 0;
        if (neg == pos) return false;  // mixed signs, or the ray lies in the plane
    }
    // The line meets the closed triangle.
    const double det = U + V + W;
    const double Az = r.sz * A[r.kz];
    const double Bz = r.sz * B[r.kz];
    const double Cz = r.sz * C[r.kz];
    const double T = (U * Az + V * Bz) + W * Cz;
    const double tt = T / det;
    // Forward error of det and T, then of their quotient.
    const double e_det = (eu + ev + ew) + 2 * UNIT_ROUNDOFF * (std::fabs(U) + std::fabs(V) + std::fabs(W));
    const double e_num = (eu * std::fabs(Az) + ev * std::fabs(Bz)) + ew * std::fabs(Cz) +
                         6 * UNIT_ROUNDOFF * ((std::fabs(U * Az) + std::fabs(V * Bz)) + std::fabs(W * Cz));
    const double adet = std::fabs(det);
    const double e_t = (e_num + std::fabs(tt) * e_det) / (adet - e_det) + UNIT_ROUNDOFF * std::fabs(tt);
    if (!(adet > 2 * e_det) || !(e_t <= TOI_TRUST * (std::fabs(tt) + r.origin_scale)))
        return exact_hit(r, a, b, c, tmax, t, back);
    if (!(tt >= 0 && tt <= tmax) || !std::isfinite(tt)) return false;
    t = tt;
    back = det < 0;
    return true;
}

}  // namespace quorin::geom
