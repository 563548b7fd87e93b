// The per-triangle geometric predicates of the surface queries: closed
// triangle against closed box, ray against triangle, zero-area test and
// closest point. Decisions are made in floating point where a forward error
// bound proves the sign, and exactly otherwise, so no answer comes from
// rounding alone. Internal to the surface code; the queries inline the ray
// test, which runs for every triangle a ray reaches.
#pragma once

#include <cstdint>
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

// Does `axis` separate the closed triangle (a, b, c) from the closed box
// [lo, hi]? Decided exactly, for coordinates below HUGE_COORD: the
// per-axis step of triangle_meets_bounds.
bool axis_separates(const Vec3& axis, const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& lo,
                    const Vec3& hi);

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
// The sheared edge functions marked in `which`, evaluated exactly and then
// rounded (a few roundings off, with their exact signs).
void exact_edge_values(const RayFrame& r, const Vec3& a, const Vec3& b, const Vec3& c, const bool (&which)[3],
                       double (&uvw)[3]);
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

// The sheared edge functions of one triangle for one ray (U: edge b-c,
// V: c-a, W: a-b), with their error bounds and the triangle's offsets from
// the ray origin.
struct EdgeFunctions {
    Vec3 A, B, C;            // corners minus the ray origin
    double U, V, W;
    double eu, ev, ew;       // error bounds of U, V, W
    double ma, mb, mc;       // |A|₁, |B|₁, |C|₁
};

inline EdgeFunctions edge_functions(const RayFrame& r, const Vec3& a, const Vec3& b, const Vec3& c) {
    EdgeFunctions f;
    f.A = sub(a, r.origin);
    f.B = sub(b, r.origin);
    f.C = sub(c, r.origin);
    const Vec3 &A = f.A, &B = f.B, &C = f.C;
    const double Ax = A[r.kx] - r.sx * A[r.kz];
    const double Ay = A[r.ky] - r.sy * A[r.kz];
    const double Bx = B[r.kx] - r.sx * B[r.kz];
    const double By = B[r.ky] - r.sy * B[r.kz];
    const double Cx = C[r.kx] - r.sx * C[r.kz];
    const double Cy = C[r.ky] - r.sy * C[r.kz];
    f.U = Cx * By - Cy * Bx;
    f.V = Ax * Cy - Ay * Cx;
    f.W = Bx * Ay - By * Ax;
    f.ma = l1(A);
    f.mb = l1(B);
    f.mc = l1(C);
    f.eu = EDGE_ERROR * (f.mb * f.mc);
    f.ev = EDGE_ERROR * (f.mc * f.ma);
    f.ew = EDGE_ERROR * (f.ma * f.mb);
    return f;
}

// Sign of x that a bound e proves; 0 where it cannot (also for NaN).
inline int proven_sign(double x, double e) { return x > e ? 1 : (x < -e ? -1 : 0); }

// The rounded time of impact T / det of a line that meets the triangle, with
// its forward error bound; false when the determinant's sign is not proven
// or the bound is too large against the ray's scale.
inline bool rounded_toi(const RayFrame& r, const EdgeFunctions& f, double& tt, double& e_t, double& det) {
    det = f.U + f.V + f.W;
    const double Az = r.sz * f.A[r.kz];
    const double Bz = r.sz * f.B[r.kz];
    const double Cz = r.sz * f.C[r.kz];
    const double T = (f.U * Az + f.V * Bz) + f.W * Cz;
    tt = T / det;
    // Forward error of det and T, then of their quotient.
    const double e_det =
        (f.eu + f.ev + f.ew) + 2 * UNIT_ROUNDOFF * (std::fabs(f.U) + std::fabs(f.V) + std::fabs(f.W));
    const double e_num = (f.eu * std::fabs(Az) + f.ev * std::fabs(Bz)) + f.ew * std::fabs(Cz) +
                         6 * UNIT_ROUNDOFF * ((std::fabs(f.U * Az) + std::fabs(f.V * Bz)) + std::fabs(f.W * Cz));
    const double adet = std::fabs(det);
    e_t = (e_num + std::fabs(tt) * e_det) / (adet - e_det) + UNIT_ROUNDOFF * std::fabs(tt);
    return adet > 2 * e_det && e_t <= TOI_TRUST * (std::fabs(tt) + r.origin_scale);
}

// Hit of the ray with the closed triangle at 0 <= t <= tmax. The edge
// functions of a shared edge are computed from the same operands in both
// triangles (with opposite signs) and settled by the same rule, so no ray
// slips between them; a sign too close to zero to trust, or a time of impact
// too uncertain, is decided exactly.
inline bool ray_triangle_frame(const RayFrame& r, const Vec3& a, const Vec3& b, const Vec3& c, double tmax,
                               double& t, bool& back) {
    const EdgeFunctions f = edge_functions(r, a, b, c);
    int su = proven_sign(f.U, f.eu);
    int sv = proven_sign(f.V, f.ev);
    int sw = proven_sign(f.W, f.ew);
    if ((su < 0 || sv < 0 || sw < 0) && (su > 0 || sv > 0 || sw > 0)) return false;
    if (su == 0 || sv == 0 || sw == 0) {
        exact_edge_signs(r, a, b, c, su, sv, sw);
        const bool neg = su < 0 || sv < 0 || sw < 0;
        const bool pos = su > 0 || sv > 0 || sw > 0;
        if (neg == pos) return false;  // mixed signs, or the ray lies in the plane
    }
    // The line meets the closed triangle.
    double tt, e_t, det;
    if (!rounded_toi(r, f, tt, e_t, det)) return exact_hit(r, a, b, c, tmax, t, back);
    if (!(tt >= 0 && tt <= tmax) || !std::isfinite(tt)) return false;
    t = tt;
    back = det < 0;
    return true;
}

// The ray test of a ray whose origin may later move by up to `shift` (on
// each axis) off its line: Hit and Miss hold for every such origin, Fragile
// when the answer could change. A Hit gives the time of impact from this
// origin and its error bound.
enum class RayOutcome : std::uint8_t { Miss, Hit, Fragile };

inline RayOutcome ray_triangle_stable(const RayFrame& r, const Vec3& a, const Vec3& b, const Vec3& c,
                                      double tmax, double shift, double& t, double& e_t) {
    const EdgeFunctions f = edge_functions(r, a, b, c);
    // A shift of the origin moves each sheared coordinate by at most 2·shift,
    // so an edge function by 2·shift·(|P|₁ + |Q|₁) + 4·shift²; the shifted
    // ray's own rounding adds one more error bound.
    const double s2 = 4 * shift * shift;
    const double slack[3] = {2 * shift * (f.mb + f.mc) + s2, 2 * shift * (f.mc + f.ma) + s2,
                             2 * shift * (f.ma + f.mb) + s2};
    int su = proven_sign(f.U, 2 * f.eu + slack[0]);
    int sv = proven_sign(f.V, 2 * f.ev + slack[1]);
    int sw = proven_sign(f.W, 2 * f.ew + slack[2]);
    if ((su < 0 || sv < 0 || sw < 0) && (su > 0 || sv > 0 || sw > 0)) return RayOutcome::Miss;
    if (su == 0 || sv == 0 || sw == 0) {
        // Exact values need no rounding allowance: a shifted cast decides its
        // signs exactly too, so only the shift itself can change them.
        const bool which[3] = {su == 0, sv == 0, sw == 0};
        double exact[3];
        exact_edge_values(r, a, b, c, which, exact);
        constexpr double ROUNDED = 1 + 0x1p-40;  // the exact values' own rounding
        if (which[0]) su = proven_sign(exact[0], ROUNDED * slack[0]);
        if (which[1]) sv = proven_sign(exact[1], ROUNDED * slack[1]);
        if (which[2]) sw = proven_sign(exact[2], ROUNDED * slack[2]);
        if ((su < 0 || sv < 0 || sw < 0) && (su > 0 || sv > 0 || sw > 0)) return RayOutcome::Miss;
        if (su == 0 || sv == 0 || sw == 0) return RayOutcome::Fragile;
    }
    double tt, det;
    if (!rounded_toi(r, f, tt, e_t, det)) {
        bool back;
        // Signs proven the same: the line crosses the triangle, and only a
        // crossing behind the origin (behind every later origin too) is missed.
        if (!exact_hit(r, a, b, c, INF, tt, back)) return RayOutcome::Miss;
        e_t = 8 * UNIT_ROUNDOFF * (std::fabs(tt) + r.origin_scale);
    }
    if (!(tt >= 0) || !std::isfinite(tt) || tt > tmax) return RayOutcome::Miss;
    t = tt;
    return RayOutcome::Hit;
}

}  // namespace quorin::geom
