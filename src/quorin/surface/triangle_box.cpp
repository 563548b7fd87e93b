#include "quorin/surface/triangle_box.hpp"

#include <cstring>

#include "quorin/surface/bvh.hpp"
#include "quorin/surface/predicates.hpp"

namespace quorin {

using namespace geom;

namespace {

constexpr int AXES = 10;  // the normal and three per edge

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

// Boxes the filter takes: below HUGE_COORD and ordered (lo <= hi); the plain
// test decides the others as it always has.
bool filter_box(const Vec3& lo, const Vec3& hi) {
    return below_huge(lo) && below_huge(hi) && lo[0] <= hi[0] && lo[1] <= hi[1] && lo[2] <= hi[2];
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

namespace {

// Lanes of doubles, W at a time (W = 2: the baseline vector unit; W = 4 on
// processors with AVX2), and the comparison masks between them.
template <int W>
struct LaneTypes;
template <>
struct LaneTypes<2> {
    using Lanes = double __attribute__((vector_size(16)));
    using Mask = long long __attribute__((vector_size(16)));
};
template <>
struct LaneTypes<4> {
    using Lanes = double __attribute__((vector_size(32)));
    using Mask = long long __attribute__((vector_size(32)));
};
template <int W>
using Lanes = typename LaneTypes<W>::Lanes;
template <int W>
using Mask = typename LaneTypes<W>::Mask;

template <int W>
[[gnu::always_inline]] inline void load(Lanes<W>& v, const double* p, int g) {
    std::memcpy(&v, p + W * g, sizeof v);
}

template <int W>
[[gnu::always_inline]] inline bool any_lane(const Mask<W>& m) {
    long long r = 0;
    for (int i = 0; i < W; ++i) r |= m[i];
    return r != 0;
}

// The rounded filter over every lane, W at a time, for a triangle whose box
// axes already overlap the box's: false when a lane proves them apart; else
// the lanes it left undecided (bit i for lane i) in `open`.
template <int W>
[[gnu::always_inline]] inline bool filter_lanes(const TriangleBoxTest& t, const Vec3& wlo, const Vec3& whi,
                                                double unit, unsigned& open) {
    constexpr int groups = (AXES + W - 1) / W;
    static_assert(groups * W <= TriangleBoxTest::LANES);
    Mask<W> apart{};
    Mask<W> undecided[groups];
    for (int g = 0; g < groups; ++g) {
        Lanes<W> x, y, z, pmin, pmax, scale;
        load<W>(x, t.ax, g);
        load<W>(y, t.ay, g);
        load<W>(z, t.az, g);
        load<W>(pmin, t.pmin, g);
        load<W>(pmax, t.pmax, g);
        load<W>(scale, t.scale, g);
        // Per component, the box corner reaching farthest along the axis and
        // the one reaching least: fl(x·w) is monotone in w.
        const Lanes<W> x0 = x * wlo[0], x1 = x * whi[0];
        const Lanes<W> y0 = y * wlo[1], y1 = y * whi[1];
        const Lanes<W> z0 = z * wlo[2], z1 = z * whi[2];
        const Lanes<W> top = ((x0 > x1 ? x0 : x1) + (y0 > y1 ? y0 : y1)) + (z0 > z1 ? z0 : z1);
        const Lanes<W> bot = ((x0 < x1 ? x0 : x1) + (y0 < y1 ? y0 : y1)) + (z0 < z1 ? z0 : z1);
        const Lanes<W> low = pmin - top;   // > 0: beyond the top
        const Lanes<W> high = pmax - bot;  // < 0: below the bottom
        const Lanes<W> bound = scale * unit + TINY;
        apart |= (low > bound) | (high < -bound);
        undecided[g] = ~((low < -bound) & (high > bound));
    }
    if (any_lane<W>(apart)) return false;
    open = 0;
    for (int g = 0; g < groups; ++g)
        for (int i = 0; i < W; ++i)
            if (undecided[g][i] != 0) open |= 1u << (W * g + i);
    return true;
}

bool filter_baseline(const TriangleBoxTest& t, const Vec3& wlo, const Vec3& whi, double unit, unsigned& open) {
    return filter_lanes<2>(t, wlo, whi, unit, open);
}

[[gnu::target("avx2")]] bool filter_avx2(const TriangleBoxTest& t, const Vec3& wlo, const Vec3& whi, double unit,
                                         unsigned& open) {
    return filter_lanes<4>(t, wlo, whi, unit, open);
}

// The rounded filter for the children of a box at once. w[0], w[1], w[2]
// are the box's low corner, the children's common corner and its high
// corner, less corner 0; `unit` bounds the offsets of every child's corners
// (each of them is one of these). A child's box reaches, per component,
// from the lower or the upper pair of these, so the products are shared.
// Returns the children among `cand` that no lane proves apart, with each
// one's undecided lanes in open[d].
template <int W>
[[gnu::always_inline]] inline unsigned filter_children_lanes(const TriangleBoxTest& t, const Vec3 (&w)[3],
                                                             double unit, unsigned cand, unsigned (&open)[8]) {
    constexpr int groups = (AXES + W - 1) / W;
    Lanes<W> top[groups][3][2], bot[groups][3][2], pmin[groups], pmax[groups], bound[groups];
    for (int g = 0; g < groups; ++g) {
        const double* comps[3] = {t.ax, t.ay, t.az};
        for (int c = 0; c < 3; ++c) {
            Lanes<W> x;
            load<W>(x, comps[c], g);
            const Lanes<W> p0 = x * w[0][c], p1 = x * w[1][c], p2 = x * w[2][c];
            top[g][c][0] = p0 > p1 ? p0 : p1;
            bot[g][c][0] = p0 < p1 ? p0 : p1;
            top[g][c][1] = p1 > p2 ? p1 : p2;
            bot[g][c][1] = p1 < p2 ? p1 : p2;
        }
        Lanes<W> scale;
        load<W>(pmin[g], t.pmin, g);
        load<W>(pmax[g], t.pmax, g);
        load<W>(scale, t.scale, g);
        bound[g] = scale * unit + TINY;
    }
    unsigned met = 0;
    for (unsigned d = 0; d < 8; ++d) {
        if (!((cand >> d) & 1u)) continue;
        const unsigned hx = d & 1u, hy = (d >> 1) & 1u, hz = (d >> 2) & 1u;
        Mask<W> apart{};
        Mask<W> undecided[groups];
        for (int g = 0; g < groups; ++g) {
            const Lanes<W> low = pmin[g] - ((top[g][0][hx] + top[g][1][hy]) + top[g][2][hz]);
            const Lanes<W> high = pmax[g] - ((bot[g][0][hx] + bot[g][1][hy]) + bot[g][2][hz]);
            apart |= (low > bound[g]) | (high < -bound[g]);
            undecided[g] = ~((low < -bound[g]) & (high > bound[g]));
        }
        if (any_lane<W>(apart)) continue;
        unsigned bits = 0;
        for (int g = 0; g < groups; ++g)
            for (int i = 0; i < W; ++i)
                if (undecided[g][i] != 0) bits |= 1u << (W * g + i);
        open[d] = bits;
        met |= 1u << d;
    }
    return met;
}

unsigned children_baseline(const TriangleBoxTest& t, const Vec3 (&w)[3], double unit, unsigned cand,
                           unsigned (&open)[8]) {
    return filter_children_lanes<2>(t, w, unit, cand, open);
}

[[gnu::target("avx2")]] unsigned children_avx2(const TriangleBoxTest& t, const Vec3 (&w)[3], double unit,
                                               unsigned cand, unsigned (&open)[8]) {
    return filter_children_lanes<4>(t, w, unit, cand, open);
}

// The same IEEE operations either way, so the same decisions.
const bool HAS_AVX2 = __builtin_cpu_supports("avx2");
const auto filter = HAS_AVX2 ? filter_avx2 : filter_baseline;
const auto filter_children = HAS_AVX2 ? children_avx2 : children_baseline;

// The children (bit d) among `wanted` whose box the triangle's extent
// overlaps on the box axes: per axis, the halves it reaches.
unsigned overlapping_children(const TriangleBoxTest& t, const Vec3& lo, const Vec3& mid, const Vec3& hi,
                              unsigned wanted) {
    unsigned halves[3];
    for (int a = 0; a < 3; ++a) {
        const bool lower = !(t.lo[a] > mid[a] || t.hi[a] < lo[a]);
        const bool upper = !(t.lo[a] > hi[a] || t.hi[a] < mid[a]);
        halves[a] = (lower ? 1u : 0u) | (upper ? 2u : 0u);
    }
    unsigned out = 0;
    for (unsigned d = 0; d < 8; ++d) {
        const bool in = ((halves[0] >> (d & 1u)) & 1u) && ((halves[1] >> ((d >> 1) & 1u)) & 1u) &&
                        ((halves[2] >> (d >> 2)) & 1u);
        out |= in ? 1u << d : 0u;
    }
    return out & wanted;
}

}  // namespace

bool prepared_meets_bounds(const TriangleBoxTest& t, const Vec3& lo, const Vec3& hi) {
    if (t.kind == TriangleBoxTest::Kind::Never) return false;
    if (t.kind == TriangleBoxTest::Kind::Plain || !filter_box(lo, hi))
        return triangle_meets_bounds(t.corner[0], t.corner[1], t.corner[2], lo, hi);
    // The box's own axes, compared directly.
    for (int i = 0; i < 3; ++i) {
        if (t.lo[i] > hi[i] || t.hi[i] < lo[i]) return false;
    }
    const Vec3& a = t.corner[0];
    const Vec3 wlo = sub(lo, a);
    const Vec3 whi = sub(hi, a);
    const double unit = t.dmax + std::max(max_abs3(wlo), max_abs3(whi));
    unsigned open = 0;
    if (!filter(t, wlo, whi, unit, open)) return false;
    for (int i = 0; open != 0; ++i, open >>= 1) {
        if ((open & 1u) && lane_separates(t, i, lo, hi)) return false;
    }
    return true;
}

CellBox child_bounds(const Vec3& lo, const Vec3& mid, const Vec3& hi, unsigned d) {
    CellBox c;
    for (int a = 0; a < 3; ++a) {
        const bool upper = ((d >> a) & 1u) != 0;
        c.min[a] = upper ? mid[a] : lo[a];
        c.max[a] = upper ? hi[a] : mid[a];
    }
    return c;
}

unsigned prepared_meets_children(const TriangleBoxTest& t, const Vec3& lo, const Vec3& mid, const Vec3& hi,
                                 unsigned wanted) {
    if (t.kind == TriangleBoxTest::Kind::Never) return 0;
    if (t.kind == TriangleBoxTest::Kind::Plain || !filter_box(lo, mid) || !filter_box(mid, hi)) {
        unsigned out = 0;
        for (unsigned d = 0; d < 8; ++d) {
            if (!((wanted >> d) & 1u)) continue;
            const CellBox c = child_bounds(lo, mid, hi, d);
            if (triangle_meets_bounds(t.corner[0], t.corner[1], t.corner[2], c.min, c.max)) out |= 1u << d;
        }
        return out;
    }
    const unsigned cand = overlapping_children(t, lo, mid, hi, wanted);
    if (cand == 0) return 0;
    const Vec3& a = t.corner[0];
    // fl(mid − a) lies between fl(lo − a) and fl(hi − a): the parent's
    // offsets bound every child's.
    const Vec3 w[3] = {sub(lo, a), sub(mid, a), sub(hi, a)};
    const double unit = t.dmax + std::max(max_abs3(w[0]), max_abs3(w[2]));
    unsigned open[8];
    unsigned met = filter_children(t, w, unit, cand, open);
    for (unsigned d = 0; d < 8; ++d) {
        if (!((met >> d) & 1u) || open[d] == 0) continue;
        const CellBox c = child_bounds(lo, mid, hi, d);
        unsigned bits = open[d];
        for (int i = 0; bits != 0; ++i, bits >>= 1) {
            if ((bits & 1u) && lane_separates(t, i, c.min, c.max)) {
                met &= ~(1u << d);
                break;
            }
        }
    }
    return met;
}

}  // namespace quorin
