#include "quorin/surface/triangle_box.hpp"

#include <cstring>

#include "quorin/surface/bvh.hpp"
#include "quorin/surface/predicates.hpp"

namespace quorin {

using namespace geom;

namespace {

// Pairs of lanes: the width of the vector unit the build targets.
using Lanes = double __attribute__((vector_size(16)));
constexpr int WIDTH = 2;
constexpr int AXES = 10;  // the normal and three per edge
constexpr int GROUPS = TriangleBoxTest::LANES / WIDTH;

// Lanes WIDTH·g onwards of an array (no alignment needed).
inline Lanes load(const double* p, int g) {
    Lanes v;
    std::memcpy(&v, p + WIDTH * g, sizeof v);
    return v;
}

// The rounded filter of a lane. Take a = corner 0, an axis x (exact, as
// formed), D = max |fl(v − a)| over the corners' components, W the same for
// the box corners and L = |x|₁. A corner's projection fl(x·fl(v − a)) is
// within (γ₃ + u/(1 − u))·L·D < 4.01u·L·D of x·(v − a), so the least and
// largest of them are within that of the exact extremes; likewise the box
// corner's within 4.01u·L·W of x·(t − a), and the final difference adds at
// most 1.01u·L·(D + W): every rounded difference is within 9.1u·L·(D + W) of
// the exact one. The bound fl(fl(16u·fl(L))·fl(D + W)) loses at most four
// roundings of 16u·L·(D + W), so it still exceeds that. Underflow adds at most
// 2^-1075 per product (a handful in all), which TINY covers, as long as
// 16u·fl(L) itself is normal (MIN_L). Below HUGE_COORD nothing overflows:
// the products stay below 2^1003.
constexpr double FILTER = 16 * UNIT_ROUNDOFF;
constexpr double TINY = 0x1p-1020;
constexpr double MIN_L = 0x1p-960;

bool below_huge(const Vec3& v) {
    return std::fabs(v[0]) < HUGE_COORD && std::fabs(v[1]) < HUGE_COORD && std::fabs(v[2]) < HUGE_COORD;
}

// A lane that proves nothing apart and everything together.
void idle_lane(TriangleBoxTest& t, int i) {
    t.ax[i] = t.ay[i] = t.az[i] = 0.0;
    t.pmin[i] = -1.0;
    t.pmax[i] = 1.0;
    t.scale[i] = 0.0;
}

// The separating axes in the plain test's order and rounding: the normal
// cross(f0, −f2) of the edge differences f, then per edge e the axes
// (0, −e2, e1), (e2, 0, −e0), (−e1, e0, 0).
void form_axes(const Vec3& a, const Vec3& b, const Vec3& c, Vec3 (&axes)[AXES]) {
    const Vec3 f[3] = {sub(b, a), sub(c, b), sub(a, c)};
    axes[0] = cross(f[0], {-f[2][0], -f[2][1], -f[2][2]});
    for (int k = 0; k < 3; ++k) {
        const Vec3& e = f[k];
        axes[1 + 3 * k] = {0.0, -e[2], e[1]};
        axes[2 + 3 * k] = {e[2], 0.0, -e[0]};
        axes[3 + 3 * k] = {-e[1], e[0], 0.0};
    }
}

// The exact decision of lane i, where the filter proved nothing.
bool lane_separates(const TriangleBoxTest& t, int i, const Vec3& lo, const Vec3& hi) {
    return axis_separates({t.ax[i], t.ay[i], t.az[i]}, t.corner[0], t.corner[1], t.corner[2], lo, hi);
}

}  // namespace

void prepare_box_test(const Vec3& a, const Vec3& b, const Vec3& c, bool never, TriangleBoxTest& t) {
    t.corner[0] = a;
    t.corner[1] = b;
    t.corner[2] = c;
    for (int i = 0; i < 3; ++i) {
        t.lo[i] = std::min({a[i], b[i], c[i]});
        t.hi[i] = std::max({a[i], b[i], c[i]});
    }
    for (int i = 0; i < TriangleBoxTest::LANES; ++i) idle_lane(t, i);
    t.dmax = 0;
    if (never) {
        t.kind = TriangleBoxTest::Kind::Never;
        return;
    }
    t.kind = TriangleBoxTest::Kind::Plain;
    if (!below_huge(a) || !below_huge(b) || !below_huge(c)) return;
    Vec3 axes[AXES];
    form_axes(a, b, c, axes);
    const Vec3 d1 = sub(b, a);
    const Vec3 d2 = sub(c, a);
    t.dmax = std::max(max_abs3(d1), max_abs3(d2));
    for (int i = 0; i < AXES; ++i) {
        const Vec3& x = axes[i];
        if (x[0] == 0 && x[1] == 0 && x[2] == 0) continue;  // every projection is 0
        const double l = l1(x);
        if (!(l >= MIN_L)) return;
        const double p1 = dot(x, d1);
        const double p2 = dot(x, d2);
        t.ax[i] = x[0];
        t.ay[i] = x[1];
        t.az[i] = x[2];
        t.pmin[i] = std::min({0.0, p1, p2});
        t.pmax[i] = std::max({0.0, p1, p2});
        t.scale[i] = FILTER * l;
    }
    t.kind = TriangleBoxTest::Kind::Fast;
}

bool prepared_meets_bounds(const TriangleBoxTest& t, const Vec3& lo, const Vec3& hi) {
    if (t.kind == TriangleBoxTest::Kind::Never) return false;
    if (t.kind == TriangleBoxTest::Kind::Plain || !below_huge(lo) || !below_huge(hi))
        return triangle_meets_bounds(t.corner[0], t.corner[1], t.corner[2], lo, hi);
    // The box's own axes, compared directly.
    for (int i = 0; i < 3; ++i) {
        if (t.lo[i] > hi[i] || t.hi[i] < lo[i]) return false;
    }
    const Vec3& a = t.corner[0];
    const Vec3 wlo = sub(lo, a);
    const Vec3 whi = sub(hi, a);
    const double bound_unit = t.dmax + std::max(max_abs3(wlo), max_abs3(whi));
    unsigned open = 0;  // lanes the filter left undecided
    for (int g = 0; g < GROUPS; ++g) {
        const Lanes x = load(t.ax, g);
        const Lanes y = load(t.ay, g);
        const Lanes z = load(t.az, g);
        // Per component, the box corner reaching farthest along the axis and
        // the one reaching least: fl(x·w) is monotone in w.
        const Lanes x0 = x * wlo[0], x1 = x * whi[0];
        const Lanes y0 = y * wlo[1], y1 = y * whi[1];
        const Lanes z0 = z * wlo[2], z1 = z * whi[2];
        const Lanes top = ((x0 > x1 ? x0 : x1) + (y0 > y1 ? y0 : y1)) + (z0 > z1 ? z0 : z1);
        const Lanes bot = ((x0 < x1 ? x0 : x1) + (y0 < y1 ? y0 : y1)) + (z0 < z1 ? z0 : z1);
        const Lanes low = load(t.pmin, g) - top;   // > 0: beyond the top
        const Lanes high = load(t.pmax, g) - bot;  // < 0: below the bottom
        const Lanes bound = load(t.scale, g) * bound_unit + TINY;
        const auto apart = (low > bound) | (high < -bound);
        const auto together = (low < -bound) & (high > bound);
        for (int i = 0; i < WIDTH; ++i) {
            if (apart[i]) return false;
            if (!together[i]) open |= 1u << (WIDTH * g + i);
        }
    }
    for (int i = 0; open != 0; ++i, open >>= 1) {
        if ((open & 1u) && lane_separates(t, i, lo, hi)) return false;
    }
    return true;
}

}  // namespace quorin
