// The triangle hierarchy against plain loops over every triangle: the same
// per-triangle test in index order (answers must be identical) and
// independent long-double references (answers must agree away from touching
// and ties).
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../data_surfaces.hpp"
#include "../uv_sphere.hpp"

#include "quorin/error.hpp"
#include "quorin/ibm/background_mesh.hpp"
#include "quorin/parallel.hpp"
#include "quorin/surface/bvh.hpp"
#include "quorin/surface/exact.hpp"
#include "quorin/surface/predicates.hpp"
#include "quorin/surface/triangle_box.hpp"

namespace quorin {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

using Soup = testing::TriangleSoup;

Soup uv_sphere(int nlat, int nlon, double radius, const Vec3& centre) {
    return testing::uv_sphere(centre, radius, static_cast<std::uint32_t>(nlat), static_cast<std::uint32_t>(nlon));
}

// Random triangles of mixed sizes in [-1, 1]³, with degenerate ones (a
// repeated vertex, collinear corners, a point), a duplicate and a triangle
// with a NaN corner mixed in.
Soup random_soup(std::size_t n, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    std::uniform_real_distribution<double> lg(-3, -0.3);
    Soup s;
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 c{u(rng), u(rng), u(rng)};
        const double size = std::pow(10.0, lg(rng));
        const auto base = static_cast<std::uint32_t>(s.vertices.size());
        for (int k = 0; k < 3; ++k) s.vertices.push_back({c[0] + size * u(rng), c[1] + size * u(rng), c[2] + size * u(rng)});
        Triangle t{base, base + 1, base + 2};
        switch (i % 50) {
            case 7: t = {base, base, base + 1}; break;  // repeated vertex
            case 13:                                    // collinear
                s.vertices[base + 2] = {2 * s.vertices[base + 1][0] - s.vertices[base][0],
                                        2 * s.vertices[base + 1][1] - s.vertices[base][1],
                                        2 * s.vertices[base + 1][2] - s.vertices[base][2]};
                break;
            case 21: t = {base, base, base}; break;  // a point
            case 33: t = s.triangles[i / 2]; break;  // duplicate of an earlier triangle
            default: break;
        }
        s.triangles.push_back(t);
    }
    s.vertices.push_back({NaN, 0, 0});
    s.triangles.push_back({static_cast<std::uint32_t>(s.vertices.size() - 1), 0, 1});
    return s;
}

RigidPose test_pose() {
    const double angle = 0.7;
    const double len = std::sqrt(14.0);
    const double sn = std::sin(angle / 2) / len;
    return RigidPose{{1 * sn, 2 * sn, 3 * sn, std::cos(angle / 2)}, {0.3, -0.2, 0.5}};
}

struct Corners {
    Vec3 a, b, c;
    bool finite;
};

Corners corners(const Soup& s, std::size_t i, const RigidPose& pose) {
    const Triangle& t = s.triangles[i];
    Corners k{pose.transform_point(s.vertices[t[0]]), pose.transform_point(s.vertices[t[1]]),
              pose.transform_point(s.vertices[t[2]]), true};
    for (const Vec3* v : {&k.a, &k.b, &k.c})
        for (double x : *v) k.finite = k.finite && std::isfinite(x);
    return k;
}

// ---------------------------------------------------------------------------
// Long-double references.

using LVec = std::array<long double, 3>;
LVec lv(const Vec3& v) { return {v[0], v[1], v[2]}; }
LVec lsub(const LVec& a, const LVec& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
long double ldot(const LVec& a, const LVec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
LVec lcross(const LVec& a, const LVec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Separating-axis test over the 13 unit axes: the largest gap (> 0 when
// separated, <= 0 the least overlap when not).
long double box_gap(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& centre, const Vec3& half) {
    const LVec v[3] = {lsub(lv(a), lv(centre)), lsub(lv(b), lv(centre)), lsub(lv(c), lv(centre))};
    const LVec h = lv(half);
    // Clearly apart on a box axis: that gap is a lower bound of the answer and enough here.
    for (int i = 0; i < 3; ++i) {
        const long double lo = std::min({v[0][i], v[1][i], v[2][i]}), hi = std::max({v[0][i], v[1][i], v[2][i]});
        const long double gap = std::max(lo - h[i], -h[i] - hi);
        if (gap > 1e-6L) return gap;
    }
    std::vector<LVec> axes = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const LVec e[3] = {lsub(v[1], v[0]), lsub(v[2], v[1]), lsub(v[0], v[2])};
    axes.push_back(lcross(e[0], lsub(v[2], v[0])));
    for (const LVec& f : e)
        for (int i = 0; i < 3; ++i) {
            LVec ax{0, 0, 0};
            ax[i] = 1;
            axes.push_back(lcross(ax, f));
        }
    long double best = -std::numeric_limits<long double>::infinity();
    for (LVec ax : axes) {
        const long double len = std::sqrt(ldot(ax, ax));
        if (len < 1e-12L) continue;
        for (auto& x : ax) x /= len;
        const long double r = std::fabs(ax[0]) * h[0] + std::fabs(ax[1]) * h[1] + std::fabs(ax[2]) * h[2];
        const long double p0 = ldot(ax, v[0]), p1 = ldot(ax, v[1]), p2 = ldot(ax, v[2]);
        const long double lo = std::min({p0, p1, p2}), hi = std::max({p0, p1, p2});
        best = std::max(best, std::max(lo - r, -r - hi));
    }
    return best;
}

// Two-sided ray/triangle hit time, or nullopt (Möller–Trumbore).
std::optional<long double> ref_ray(const Vec3& o, const Vec3& d, const Vec3& a, const Vec3& b, const Vec3& c) {
    const LVec e1 = lsub(lv(b), lv(a)), e2 = lsub(lv(c), lv(a));
    const LVec p = lcross(lv(d), e2);
    const long double det = ldot(e1, p);
    if (std::fabs(det) < 1e-18L) return std::nullopt;
    const LVec s = lsub(lv(o), lv(a));
    const long double u = ldot(s, p) / det;
    if (u < 0 || u > 1) return std::nullopt;
    const LVec q = lcross(s, e1);
    const long double v = ldot(lv(d), q) / det;
    if (v < 0 || u + v > 1) return std::nullopt;
    const long double t = ldot(e2, q) / det;
    if (t < 0) return std::nullopt;
    return t;
}

long double ref_seg_dist2(const LVec& p, const LVec& a, const LVec& b) {
    const LVec ab = lsub(b, a);
    const long double l2 = ldot(ab, ab);
    long double s = l2 > 0 ? ldot(lsub(p, a), ab) / l2 : 0;
    s = std::clamp(s, 0.0L, 1.0L);
    const LVec q{a[0] + s * ab[0], a[1] + s * ab[1], a[2] + s * ab[2]};
    const LVec d = lsub(p, q);
    return ldot(d, d);
}

// Squared distance from p to the closed triangle: the plane foot when it lies
// inside, else the nearest edge.
long double ref_dist2(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) {
    const LVec P = lv(p), A = lv(a), B = lv(b), C = lv(c);
    long double best = std::min({ref_seg_dist2(P, A, B), ref_seg_dist2(P, B, C), ref_seg_dist2(P, C, A)});
    const LVec n = lcross(lsub(B, A), lsub(C, A));
    const long double n2 = ldot(n, n);
    if (n2 > 1e-30L) {
        const long double dist = ldot(lsub(P, A), n) / n2;
        const LVec f{P[0] - dist * n[0], P[1] - dist * n[1], P[2] - dist * n[2]};
        const long double w0 = ldot(lcross(lsub(B, A), lsub(f, A)), n);
        const long double w1 = ldot(lcross(lsub(C, B), lsub(f, B)), n);
        const long double w2 = ldot(lcross(lsub(A, C), lsub(f, C)), n);
        if (w0 >= 0 && w1 >= 0 && w2 >= 0) best = std::min(best, dist * dist * n2);
    }
    return best;
}

// ---------------------------------------------------------------------------
// Brute force with the engine's own per-triangle tests, in index order.

bool brute_box(const Soup& s, const Vec3& c, const Vec3& h, const RigidPose& pose) {
    for (std::size_t i = 0; i < s.triangles.size(); ++i) {
        const Corners k = corners(s, i, pose);
        if (k.finite && trimesh::triangle_meets_box(k.a, k.b, k.c, c, h)) return true;
    }
    return false;
}

std::optional<RayHit> brute_ray(const Soup& s, const Vec3& o, const Vec3& d, double max_toi) {
    std::optional<RayHit> best;
    for (std::size_t i = 0; i < s.triangles.size(); ++i) {
        const Corners k = corners(s, i, RigidPose::identity());
        if (!k.finite) continue;
        auto hit = trimesh::ray_triangle(o, d, max_toi, k.a, k.b, k.c);
        if (hit && (!best || hit->toi < best->toi)) {
            best = hit;
            best->triangle = static_cast<std::uint32_t>(i);
        }
    }
    return best;
}

PointProjection brute_project(const Soup& s, const Vec3& p) {
    PointProjection best{{NaN, NaN, NaN}, 0};
    double bd = Inf;
    for (std::size_t i = 0; i < s.triangles.size(); ++i) {
        const Corners k = corners(s, i, RigidPose::identity());
        if (!k.finite) continue;
        const Vec3 q = trimesh::closest_point_on_triangle(p, k.a, k.b, k.c);
        const double d = (q[0] - p[0]) * (q[0] - p[0]) + (q[1] - p[1]) * (q[1] - p[1]) + (q[2] - p[2]) * (q[2] - p[2]);
        if (d < bd) {
            bd = d;
            best = {q, static_cast<std::uint32_t>(i)};
        }
    }
    return best;
}

TriMesh build(const Soup& s) { return TriMesh(s.vertices, s.triangles); }

Vec3 unit(const Vec3& v) {
    const double l = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    return {v[0] / l, v[1] / l, v[2] / l};
}

struct Fixture {
    const char* name;
    Soup soup;
};

std::vector<Fixture> fixtures() {
    return {{"soup", random_soup(1500, 11)}, {"sphere", uv_sphere(24, 48, 0.8, {0.05, -0.02, 0.01})}};
}

// ---------------------------------------------------------------------------

TEST(TriMeshBox, MatchesBruteForceAndReference) {
    for (const Fixture& f : fixtures()) {
        const TriMesh mesh = build(f.soup);
        for (const RigidPose& pose : {RigidPose::identity(), test_pose()}) {
            std::mt19937_64 rng(5);
            std::uniform_real_distribution<double> u(-1.5, 1.5);
            std::uniform_real_distribution<double> lg(-3, -0.2);
            int hits = 0, checked = 0;
            for (int q = 0; q < 3000; ++q) {
                const Vec3 c{u(rng), u(rng), u(rng)};
                const Vec3 h{std::pow(10.0, lg(rng)), std::pow(10.0, lg(rng)), std::pow(10.0, lg(rng))};
                const bool got = mesh.intersects_box(c, h, pose);
                ASSERT_EQ(got, brute_box(f.soup, c, h, pose)) << f.name << " box " << q;
                // Reference: skip boxes within 1e-9 of touching some triangle.
                bool want = false, near = false;
                for (std::size_t i = 0; i < f.soup.triangles.size(); ++i) {
                    const Corners k = corners(f.soup, i, pose);
                    if (!k.finite) continue;
                    const long double gap = box_gap(k.a, k.b, k.c, c, h);
                    near = near || std::fabs(gap) < 1e-9L;
                    want = want || gap <= 0;
                }
                if (near) continue;
                ++checked;
                hits += want;
                ASSERT_EQ(got, want) << f.name << " box " << q;
            }
            EXPECT_GT(checked, 2900);
            EXPECT_GT(hits, 150) << f.name;
            EXPECT_LT(hits, checked - 150) << f.name;
        }
    }
}

TEST(TriMeshBox, TouchingAndExactCases) {
    // Box [−1, 1]³ unless stated; boxes are given by their corners.
    const Vec3 o{-1, -1, -1}, one{1, 1, 1};
    const double e = 0x1p-51;
    struct Case {
        const char* what;
        Vec3 a, b, c;
        Vec3 lo, hi;
        bool want;
    };
    const Case cases[] = {
        {"small triangle inside, no face crossed", {0.1, 0.1, 0.1}, {0.2, 0.1, 0.1}, {0.1, 0.2, 0.15}, o, one, true},
        {"large triangle through the box, no corner inside", {-10, -10, 0}, {10, -10, 0}, {0, 10, 0.5}, o, one, true},
        {"vertex on a face", {1, 0, 0}, {2, 0, 0}, {2, 1, 0}, o, one, true},
        {"vertex 1 ulp beyond a face", {1 + 2 * e, 0, 0}, {2, 0, 0}, {2, 1, 0}, o, one, false},
        {"edge along a box edge", {1, 1, -5}, {1, 1, 5}, {3, 3, 0}, o, one, true},
        {"triangle in a face plane", {-0.5, -0.5, 1}, {0.5, -0.5, 1}, {0, 0.5, 1}, o, one, true},
        {"edge touching a vertical box edge", {2, 0, 0}, {0, 2, 0}, {3, 3, 0}, o, one, true},
        {"edge just past a vertical box edge", {2 + 2 * e, 0, 0}, {0, 2 + 2 * e, 0}, {3, 3, 0}, o, one, false},
        {"edge just cutting a vertical box edge", {2 - 2 * e, 0, 0}, {0, 2 - 2 * e, 0}, {3, 3, 0}, o, one, true},
        {"plane just past a box corner", {3 + 4 * e, 0, 0}, {0, 3 + 4 * e, 0}, {0, 0, 3 + 4 * e}, o, one, false},
        {"plane through a box corner", {3, 0, 0}, {0, 3, 0}, {0, 0, 3}, o, one, true},
        // The box ends at 0.3; fl(0.1 + 0.2) lies one ulp above it.
        {"vertex at fl(0.1 + 0.2), just outside", {0.1 + 0.2, 0, 0}, {1, 0, 0}, {1, 1, 0}, {-0.1, -1, -1}, {0.3, 1, 1}, false},
        {"vertex at 0.3, on the face", {0.3, 0, 0}, {1, 0, 0}, {1, 1, 0}, {-0.1, -1, -1}, {0.3, 1, 1}, true},
        {"point triangle on a corner", {1, 1, 1}, {1, 1, 1}, {1, 1, 1}, o, one, true},
        {"point triangle outside", {1, 1, 1.5}, {1, 1, 1.5}, {1, 1, 1.5}, o, one, false},
        {"segment triangle crossing", {-3, 0.5, 0.5}, {3, 0.5, 0.5}, {0, 0.5, 0.5}, o, one, true},
        {"segment triangle passing by a corner", {-3, 5.5, 0}, {3, -0.5, 0}, {0, 2.5, 0}, o, one, false},
        {"flat box (zero extent) crossed", {-1, -1, 0}, {1, -1, 0}, {0, 1, 0}, {-1, -1, 0}, {1, 1, 0}, true},
        {"zero box at a point of the triangle", {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0.25, 0.25, 0}, {0.25, 0.25, 0}, true},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(trimesh::triangle_meets_bounds(k.a, k.b, k.c, k.lo, k.hi), k.want) << k.what;
        const TriMesh m({k.a, k.b, k.c}, {{0, 1, 2}});
        EXPECT_EQ(m.intersects_box(CellBox{k.lo, k.hi}, RigidPose::identity()), k.want) << k.what;
    }
}

TEST(TriMeshBox, PoseAndBadBoxes) {
    // Unit right triangle in the plane z = 0.
    const TriMesh m({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}});
    const Vec3 small{0.05, 0.05, 0.05};
    const RigidPose moved{{0, 0, 0, 1}, {10, 0, 0}};
    EXPECT_TRUE(m.intersects_box({0.2, 0.2, 0}, small, RigidPose::identity()));
    EXPECT_FALSE(m.intersects_box({0.2, 0.2, 0}, small, moved));
    EXPECT_TRUE(m.intersects_box({10.2, 0.2, 0}, small, moved));
    // A quarter turn about z puts (1, 0, 0) at (0, 1, 0) and (0, 1, 0) at (−1, 0, 0).
    const double s = std::sqrt(0.5);
    const RigidPose turned{{0, 0, s, s}, {0, 0, 0}};
    EXPECT_TRUE(m.intersects_box({-0.2, 0.2, 0}, small, turned));
    EXPECT_FALSE(m.intersects_box({0.6, 0.2, 0}, small, turned));
    // Non-finite or inverted boxes and poses meet nothing.
    EXPECT_FALSE(m.intersects_box({NaN, 0.2, 0}, small, RigidPose::identity()));
    EXPECT_FALSE(m.intersects_box({0.2, 0.2, 0}, {Inf, 1, 1}, RigidPose::identity()));
    EXPECT_FALSE(m.intersects_box({0.2, 0.2, 0}, {-0.1, 1, 1}, RigidPose::identity()));
    EXPECT_FALSE(m.intersects_box({0.2, 0.2, 0}, small, RigidPose{{0, 0, 0, NaN}, {0, 0, 0}}));
    EXPECT_FALSE(m.intersects_box({0.2, 0.2, 0}, small, RigidPose{{0, 0, 0, 1}, {Inf, 0, 0}}));
}

// ---------------------------------------------------------------------------
// The prepared box test against the plain per-pair test it stands in for,
// kept here as it was written: the answers must be the same boolean for
// every pair.

namespace plain {

using namespace geom;

int exact_axis_sign(const Vec3& axis, const Vec3& v, const Vec3& x) {
    Expansion<16> e;
    for (int j = 0; j < 3; ++j) {
        e.add_product(axis[j], v[j]);
        e.add_product(-axis[j], x[j]);
    }
    return e.sign();
}

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
    const double wmax = std::max(max_abs3(wt), max_abs3(wb));
    const double bound = 16 * UNIT_ROUNDOFF * (l1(axis) * (dmax + wmax));
    const double low = pmin - qt;
    const double high = pmax - qb;
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

bool meets(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& lo, const Vec3& hi) {
    const Vec3 v[3] = {a, b, c};
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
    const Vec3 normal = cross(f[0], {-f[2][0], -f[2][1], -f[2][2]});
    if (separates(normal, v, d, dmax, lo, hi, ref, exact_ok)) return false;
    for (int k = 0; k < 3; ++k) {
        const Vec3& e = f[k];
        const Vec3 axes[3] = {{0.0, -e[2], e[1]}, {e[2], 0.0, -e[0]}, {-e[1], e[0], 0.0}};
        for (const Vec3& axis : axes) {
            if (separates(axis, v, d, dmax, lo, hi, ref, exact_ok)) return false;
        }
    }
    return true;
}

}  // namespace plain

struct BoxPair {
    Vec3 a, b, c, lo, hi;
};

// Pairs tested, pairs that meet, and the pairs where the prepared test
// answers differently (the first few kept for the message).
struct PairTally {
    std::size_t pairs = 0, meets = 0, wrong = 0;
    std::vector<BoxPair> first_wrong;

    void add(const BoxPair& p, bool want, bool got) {
        ++pairs;
        meets += want;
        if (want == got) return;
        ++wrong;
        if (first_wrong.size() < 3) first_wrong.push_back(p);
    }
    std::string report() const {
        std::ostringstream o;
        o.precision(17);
        for (const BoxPair& p : first_wrong)
            o << "\n  tri (" << p.a[0] << ", " << p.a[1] << ", " << p.a[2] << ") (" << p.b[0] << ", " << p.b[1]
              << ", " << p.b[2] << ") (" << p.c[0] << ", " << p.c[1] << ", " << p.c[2] << ") box (" << p.lo[0]
              << ", " << p.lo[1] << ", " << p.lo[2] << ") - (" << p.hi[0] << ", " << p.hi[1] << ", " << p.hi[2]
              << ")";
        return o.str();
    }
};

// The prepared test on the box, and on its eight children split at `mid`
// (all of them, and every other one: a child left out must not be
// reported), against the plain test on each.
void compare_pair(const BoxPair& p, const Vec3& mid, PairTally& t) {
    TriangleBoxTest prepared;
    prepare_box_test(p.a, p.b, p.c, false, prepared);
    t.add(p, plain::meets(p.a, p.b, p.c, p.lo, p.hi), prepared_meets_bounds(prepared, p.lo, p.hi));
    unsigned want = 0;
    for (unsigned d = 0; d < 8; ++d) {
        const CellBox c = child_bounds(p.lo, mid, p.hi, d);
        if (plain::meets(p.a, p.b, p.c, c.min, c.max)) want |= 1u << d;
    }
    for (unsigned wanted : {0xFFu, 0x5Au}) {
        const unsigned got = prepared_meets_children(prepared, p.lo, mid, p.hi, wanted);
        for (unsigned d = 0; d < 8; ++d) {
            if (!((wanted >> d) & 1u)) continue;
            const CellBox c = child_bounds(p.lo, mid, p.hi, d);
            t.add({p.a, p.b, p.c, c.min, c.max}, (want >> d) & 1u, (got >> d) & 1u);
        }
        EXPECT_EQ(got & ~wanted, 0u);
    }
}

// Split at the box's centre.
void compare_pair(const BoxPair& p, PairTally& t) {
    const Vec3 mid{0.5 * p.lo[0] + 0.5 * p.hi[0], 0.5 * p.lo[1] + 0.5 * p.hi[1], 0.5 * p.lo[2] + 0.5 * p.hi[2]};
    compare_pair(p, mid, t);
}

Vec3 scaled_by(const Vec3& v, double s) { return {v[0] * s, v[1] * s, v[2] * s}; }

// Triangles and boxes built from one grid of spacing 1/8 in [-1, 1]³ (and
// points nudged a few ulps off it), so that corners fall on box faces,
// edges and corners, edges run along box faces and planes pass through box
// corners; slivers (a third corner on or next to the line of the other two)
// and zero-area triangles are among them. Everything is then scaled by
// `scale` (a power of two keeps the grid exact) and shifted by `shift`.
std::vector<BoxPair> grid_pairs(std::size_t n, double scale, double shift, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> cell(-8, 8);
    std::uniform_int_distribution<int> ulps(-3, 3);
    std::uniform_int_distribution<int> pick(0, 9);
    const auto grid = [&] { return Vec3{cell(rng) / 8.0, cell(rng) / 8.0, cell(rng) / 8.0}; };
    const auto nudge = [&](Vec3 v) {
        for (double& x : v) {
            const int k = ulps(rng);
            for (int i = 0; i < std::abs(k); ++i) x = std::nextafter(x, k > 0 ? Inf : -Inf);
        }
        return v;
    };
    std::vector<BoxPair> out;
    for (std::size_t i = 0; i < n; ++i) {
        Vec3 lo = grid(), hi = grid();
        for (int j = 0; j < 3; ++j)
            if (lo[j] > hi[j]) std::swap(lo[j], hi[j]);
        Vec3 a = grid(), b = grid(), c = grid();
        switch (pick(rng)) {
            case 0: c = {0.5 * a[0] + 0.5 * b[0], 0.5 * a[1] + 0.5 * b[1], 0.5 * a[2] + 0.5 * b[2]}; break;  // collinear
            case 1: c = nudge({0.5 * a[0] + 0.5 * b[0], 0.5 * a[1] + 0.5 * b[1], 0.5 * a[2] + 0.5 * b[2]}); break;
            case 2: b = a; break;
            case 3: b = c = a; break;
            case 4: a = nudge(a), b = nudge(b), c = nudge(c); break;
            case 5: lo = nudge(lo), hi = nudge(hi); break;
            case 6: a = lo, b = hi; break;  // a diagonal of the box
            case 7: a = {lo[0], hi[1], lo[2]}; break;
            default: break;
        }
        const auto place = [&](const Vec3& v) {
            const Vec3 w = scaled_by(v, scale);
            return Vec3{w[0] + shift, w[1] + shift, w[2] + shift};
        };
        out.push_back({place(a), place(b), place(c), place(lo), place(hi)});
    }
    return out;
}

// Random triangles of mixed sizes and boxes of mixed sizes near them.
std::vector<BoxPair> random_pairs(std::size_t n, double scale, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    std::uniform_real_distribution<double> lg(-4, 0);
    std::vector<BoxPair> out;
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 c{u(rng), u(rng), u(rng)};
        const double size = std::pow(10.0, lg(rng));
        const double box = std::pow(10.0, lg(rng));
        BoxPair p;
        p.a = scaled_by({c[0] + size * u(rng), c[1] + size * u(rng), c[2] + size * u(rng)}, scale);
        p.b = scaled_by({c[0] + size * u(rng), c[1] + size * u(rng), c[2] + size * u(rng)}, scale);
        p.c = scaled_by({c[0] + size * u(rng), c[1] + size * u(rng), c[2] + size * u(rng)}, scale);
        const Vec3 m{c[0] + 2 * size * u(rng), c[1] + 2 * size * u(rng), c[2] + 2 * size * u(rng)};
        for (int j = 0; j < 3; ++j) {
            const double h = box * (0.2 + std::fabs(u(rng)));
            p.lo[j] = (m[j] - h) * scale;
            p.hi[j] = (m[j] + h) * scale;
        }
        out.push_back(p);
    }
    return out;
}

TEST(TriangleBoxTest, SameAnswersAsThePlainTest) {
    // Scales: plain, tiny (the filter's products underflow, or the axes are
    // too small for it), large, and beyond the exact predicates' range.
    struct Family {
        const char* what;
        std::vector<BoxPair> pairs;
    };
    const Family families[] = {
        {"random", random_pairs(40000, 1.0, 1)},
        {"random far from the origin", random_pairs(20000, 1.0 / 1024, 2)},
        {"grid", grid_pairs(60000, 1.0, 0.0, 3)},
        {"grid shifted", grid_pairs(30000, 1.0, 1e3, 4)},
        {"grid at 2^-460", grid_pairs(30000, 0x1p-460, 0.0, 5)},
        {"grid at 2^-500", grid_pairs(30000, 0x1p-500, 0.0, 6)},
        {"grid at 2^-1000", grid_pairs(10000, 0x1p-1000, 0.0, 7)},
        {"grid at 2^300", grid_pairs(30000, 0x1p300, 0.0, 8)},
        {"grid at 2^340 (huge)", grid_pairs(10000, 0x1p340, 0.0, 9)},
        {"random huge", random_pairs(10000, 1e120, 10)},
    };
    for (const Family& f : families) {
        PairTally t;
        for (const BoxPair& p : f.pairs) compare_pair(p, t);
        EXPECT_EQ(t.wrong, 0u) << f.what << t.report();
        // Both answers are well represented.
        EXPECT_GT(t.meets, t.pairs / 20) << f.what;
        EXPECT_LT(t.meets, t.pairs - t.pairs / 20) << f.what;
    }
    // The far-from-the-origin boxes: the random family above shifted by 1e3
    // would rather be separated on the box axes; shift a few instead.
    PairTally mixed;
    for (BoxPair p : random_pairs(5000, 1.0, 11)) {
        for (Vec3* v : {&p.a, &p.b, &p.c, &p.lo, &p.hi}) (*v)[0] += 1e100;  // one coordinate at 1e100
        compare_pair(p, mixed);
    }
    EXPECT_EQ(mixed.wrong, 0u) << mixed.report();
    // Boxes inverted on an axis, and children split outside the box.
    PairTally odd;
    std::mt19937_64 rng(12);
    for (BoxPair p : random_pairs(5000, 1.0, 13)) {
        const int axis = static_cast<int>(rng() % 3);
        Vec3 mid{0.5 * p.lo[0] + 0.5 * p.hi[0], 0.5 * p.lo[1] + 0.5 * p.hi[1], 0.5 * p.lo[2] + 0.5 * p.hi[2]};
        if (rng() % 2 != 0) {
            std::swap(p.lo[axis], p.hi[axis]);
        } else {
            mid[axis] = p.hi[axis] + (p.hi[axis] - p.lo[axis]);
        }
        compare_pair(p, mid, odd);
    }
    EXPECT_EQ(odd.wrong, 0u) << odd.report();
}

TEST(TriangleBoxTest, TouchingBoxesAFewUlpsApart) {
    // Each box touches its triangle (at a corner, along an edge, or by the
    // plane through a box corner); its faces are then moved one to three ulps
    // either way, one face at a time.
    struct Case {
        const char* what;
        Vec3 a, b, c, lo, hi;
    };
    const Vec3 o{-1, -1, -1}, one{1, 1, 1};
    const Case cases[] = {
        {"vertex on a face", {1, 0, 0}, {2, 0.3, 0}, {2, 1, 0.7}, o, one},
        {"vertex on a box corner", {1, 1, 1}, {2, 1.5, 1.25}, {1.5, 3, 2}, o, one},
        {"edge across a box edge", {2, 0, 0.3}, {0, 2, -0.2}, {3, 3, 0}, o, one},
        {"plane through a box corner", {3, 0, 0}, {0, 3, 0}, {0, 0, 3}, o, one},
        {"skew plane through a box corner", {0.1 + 2.9, 0.1, 0.1}, {0.1, 0.1 + 0.7, 0.1}, {0.1, 0.1, 0.1 + 1.3},
         {-1, -1, -1}, {0.1, 0.1, 0.1}},
        {"sliver along a box edge", {1, 1, -3}, {1, 1, 3}, {1 + 0x1p-40, 1 - 0x1p-40, 0}, o, one},
        {"triangle in a face plane", {-0.5, -0.5, 1}, {0.5, -0.5, 1}, {0, 0.5, 1}, o, one},
        {"tiny cell at an odd place", {0.1, 0.2, 0.3}, {0.7, 0.2, 0.3}, {0.1, 0.9, 0.35}, {0.3, 0.2, 0.29},
         {0.30001, 0.20001, 0.3}},
    };
    PairTally t;
    for (const Case& k : cases) {
        for (int face = 0; face < 6; ++face)
            for (int steps = -3; steps <= 3; ++steps) {
                BoxPair p{k.a, k.b, k.c, k.lo, k.hi};
                double& x = face < 3 ? p.lo[face] : p.hi[face - 3];
                for (int i = 0; i < std::abs(steps); ++i) x = std::nextafter(x, steps > 0 ? Inf : -Inf);
                if (p.lo[face % 3] > p.hi[face % 3]) continue;
                compare_pair(p, t);
                // The same with the corners in every order: the axes are
                // formed from the order given.
                const Vec3 order[3] = {k.a, k.b, k.c};
                for (int r = 1; r < 6; ++r) {
                    const int i0 = r % 3, i1 = (r + 1 + r / 3) % 3, i2 = 3 - i0 - i1;
                    compare_pair({order[i0], order[i1], order[i2], p.lo, p.hi}, t);
                }
            }
    }
    EXPECT_EQ(t.wrong, 0u) << t.report();
    EXPECT_GT(t.meets, 0u);
    EXPECT_LT(t.meets, t.pairs);
}

TEST(TriangleBoxTest, PlacedTrianglesAndTheirHierarchyAnswerAsBefore) {
    // Every triangle of the hierarchy prepared at a pose answers as the plain
    // test on its placed corners; a triangle placed with a non-finite corner
    // meets nothing, and at the identity the stored corners are tested as
    // they are.
    const Soup soup = random_soup(800, 21);
    const TriMesh mesh = build(soup);
    const Vec3 far{1e200, 0, 0};
    const RigidPose poses[] = {RigidPose::identity(), test_pose(), RigidPose{{0, 0, 0, 1}, far}};
    std::mt19937_64 rng(22);
    std::uniform_real_distribution<double> u(-1.2, 1.2);
    std::uniform_real_distribution<double> lg(-3, -0.5);
    for (const RigidPose& pose : poses) {
        const auto tests = mesh.box_tests(pose);
        ASSERT_EQ(tests.size(), mesh.leaf_corners().size());
        PairTally t;
        for (int q = 0; q < 300; ++q) {
            const Vec3 c{u(rng) + pose.translation[0], u(rng), u(rng)};
            const double h = std::pow(10.0, lg(rng));
            const CellBox box{{c[0] - h, c[1] - h, c[2] - h}, {c[0] + h, c[1] + h, c[2] + h}};
            for (std::uint32_t k = 0; k < tests.size(); ++k) {
                const bool want = mesh.leaf_meets_box(k, box, pose, nullptr);
                const auto& p = tests[k].corner;
                t.add({p[0], p[1], p[2], box.min, box.max}, want, prepared_meets_bounds(tests[k], box.min, box.max));
            }
            ASSERT_EQ(mesh.intersects_box(box, pose, tests), mesh.intersects_box(box, pose));
        }
        EXPECT_EQ(t.wrong, 0u) << t.report();
        EXPECT_GT(t.meets, 0u);
    }
}

TEST(TriangleBoxTest, EveryCellOfARealForestAnswersAsBefore) {
    // Every leaf box of a forest refined around a real surface, against every
    // triangle the hierarchy offers for it, at the identity and at a turned
    // and moved pose.
    const double s = std::sqrt(0.5);
    const RigidPose turned{{0.1 * s, 0.3 * s, s, s * std::sqrt(1 - 0.1)}, {0.05, -0.01, 0.02}};
    for (const char* file : {"bunny.stl", "bunny_gear_multipart.obj"}) {
        const auto mesh = testing::data_surface(file);
        if (!mesh) GTEST_SKIP() << "no " << file;
        auto [lo, hi] = testing::vertex_box(*mesh);
        for (int a = 0; a < 3; ++a) {
            const double pad = 0.1 * (hi[a] - lo[a]);
            lo[a] -= pad;
            hi[a] += pad;
        }
        for (const RigidPose& pose : {RigidPose::identity(), turned}) {
            const BuildSettings settings{{lo, hi}, {5, 4, 3}, 0};
            const auto [forest, domain] = build_amr_forest(settings, *mesh, 5, {}, pose);
            const auto tests = mesh->trimesh.box_tests(pose);
            const std::size_t n = forest.num_cells();
            // Per leaf: pairs, meets, wrong.
            const auto per_leaf = parallel::map(n, [&](std::size_t i) -> std::array<std::uint32_t, 3> {
                const CellBox box = domain.closed_cell_box(forest.leaves[i]);
                std::vector<std::uint32_t> cand;
                mesh->trimesh.box_candidates(box, pose, cand);
                std::array<std::uint32_t, 3> r{0, 0, 0};
                for (std::uint32_t k : cand) {
                    const auto& p = tests[k].corner;
                    const bool want = plain::meets(p[0], p[1], p[2], box.min, box.max);
                    ++r[0];
                    r[1] += want;
                    r[2] += want != prepared_meets_bounds(tests[k], box.min, box.max);
                }
                // The leaf with its siblings, tested together from the
                // parent's box and child 0's far corner: as each one's own
                // closed box.
                const SfcKey leaf = forest.leaves[i];
                if (leaf.level() == 0 || leaf != leaf.parent()->child(0)) return r;
                const SfcKey parent = *leaf.parent();
                const CellBox pbox = domain.closed_cell_box(parent);
                const Vec3 mid = domain.closed_cell_box(parent.child(0)).max;
                cand.clear();
                mesh->trimesh.box_candidates(pbox, pose, cand);
                for (std::uint32_t k : cand) {
                    const auto& p = tests[k].corner;
                    const unsigned got = prepared_meets_children(tests[k], pbox.min, mid, pbox.max, 0xFF);
                    for (unsigned d = 0; d < 8; ++d) {
                        const CellBox c = domain.closed_cell_box(parent.child(d));
                        ++r[0];
                        r[2] += plain::meets(p[0], p[1], p[2], c.min, c.max) != (((got >> d) & 1u) != 0);
                    }
                }
                return r;
            });
            std::size_t pairs = 0, meets = 0, wrong = 0;
            for (const auto& r : per_leaf) {
                pairs += r[0];
                meets += r[1];
                wrong += r[2];
            }
            EXPECT_EQ(wrong, 0u) << file;
            EXPECT_GT(meets, 1000u) << file;
            EXPECT_LT(meets, pairs) << file;
        }
    }
}

TEST(TriMeshRay, MatchesBruteForceAndReference) {
    for (const Fixture& f : fixtures()) {
        const TriMesh mesh = build(f.soup);
        for (const RigidPose& pose : {RigidPose::identity(), test_pose()}) {
            // The posed surface as its own mesh for the reference.
            Soup posed = f.soup;
            for (Vec3& v : posed.vertices) v = pose.transform_point(v);
            std::mt19937_64 rng(9);
            std::uniform_real_distribution<double> u(-1.5, 1.5);
            int hits = 0;
            for (int q = 0; q < 3000; ++q) {
                const Vec3 o{u(rng), u(rng), u(rng)};
                const Vec3 d = unit({u(rng), u(rng), u(rng)});
                const double max_toi = q % 3 == 0 ? 0.5 : 10.0;
                const auto got = mesh.cast_ray_posed(o, d, max_toi, pose);
                if (pose.is_identity()) {
                    const auto want = brute_ray(f.soup, o, d, max_toi);
                    ASSERT_EQ(got.has_value(), want.has_value()) << f.name << " ray " << q;
                    if (got) {
                        ASSERT_EQ(got->triangle, want->triangle);
                        ASSERT_EQ(got->toi, want->toi);
                        ASSERT_EQ(got->back_side, want->back_side);
                    }
                }
                // Reference in the domain frame: nearest and second-nearest hit.
                long double t1 = Inf, t2 = Inf;
                std::uint32_t tri = 0;
                for (std::size_t i = 0; i < posed.triangles.size(); ++i) {
                    const Corners k = corners(posed, i, RigidPose::identity());
                    if (!k.finite) continue;
                    const auto t = ref_ray(o, d, k.a, k.b, k.c);
                    if (!t) continue;
                    if (*t < t1) {
                        t2 = t1;
                        t1 = *t;
                        tri = static_cast<std::uint32_t>(i);
                    } else if (*t < t2) {
                        t2 = *t;
                    }
                }
                if (std::fabs(t1 - max_toi) < 1e-9L || t2 - t1 < 1e-9L) continue;  // near the limit or a tie
                if (t1 > max_toi) {
                    ASSERT_FALSE(got.has_value()) << f.name << " ray " << q;
                    continue;
                }
                ASSERT_TRUE(got.has_value()) << f.name << " ray " << q;
                ++hits;
                EXPECT_EQ(got->triangle, tri) << f.name << " ray " << q;
                EXPECT_NEAR(static_cast<double>(t1), got->toi, 1e-12) << f.name << " ray " << q;
            }
            EXPECT_GT(hits, 300) << f.name;
        }
    }
}

TEST(TriMeshRay, WatertightThroughVerticesAndEdges) {
    // Rays from inside a closed sphere aimed exactly at its vertices and edge
    // midpoints never slip through, and leave through the inner (back) side.
    const Soup s = uv_sphere(40, 80, 1.0, {0, 0, 0});
    const TriMesh mesh = build(s);
    std::vector<Vec3> targets = s.vertices;
    for (const Triangle& t : s.triangles)
        for (int k = 0; k < 3; ++k) {
            const Vec3& a = s.vertices[t[k]];
            const Vec3& b = s.vertices[t[(k + 1) % 3]];
            targets.push_back({0.5 * (a[0] + b[0]), 0.5 * (a[1] + b[1]), 0.5 * (a[2] + b[2])});
        }
    for (const Vec3& origin : {Vec3{0, 0, 0}, Vec3{0.1, -0.2, 0.05}}) {
        for (const Vec3& target : targets) {
            const Vec3 d{target[0] - origin[0], target[1] - origin[1], target[2] - origin[2]};
            const auto hit = mesh.cast_ray(origin, d, 2.0);
            ASSERT_TRUE(hit.has_value()) << target[0] << " " << target[1] << " " << target[2];
            EXPECT_NEAR(hit->toi, 1.0, 1e-3);
            EXPECT_TRUE(hit->back_side);
        }
    }
}

TEST(TriMeshRay, SidesLimitsAndBadInput) {
    // Normal (b − a) × (c − a) = +z.
    const Vec3 a{0, 0, 0}, b{1, 0, 0}, c{0, 1, 0};
    const TriMesh m({a, b, c}, {{0, 1, 2}});
    auto down = m.cast_ray({0.2, 0.2, 1}, {0, 0, -1}, 5);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->toi, 1.0);
    EXPECT_FALSE(down->back_side);
    auto up = m.cast_ray({0.2, 0.2, -2}, {0, 0, 1}, 5);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->toi, 2.0);
    EXPECT_TRUE(up->back_side);
    // Slanted rays on every dominant axis: the side follows dir·normal.
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(-1, 1);
    for (int q = 0; q < 2000; ++q) {
        const Vec3 target{0.25 + 0.2 * u(rng), 0.25 + 0.2 * u(rng), 0};
        const Vec3 d = unit({u(rng), u(rng), u(rng)});
        const Vec3 o{target[0] - 3 * d[0], target[1] - 3 * d[1], target[2] - 3 * d[2]};
        const auto hit = trimesh::ray_triangle(o, d, 10, a, b, c);
        if (std::fabs(d[2]) < 1e-6) continue;
        ASSERT_TRUE(hit);
        EXPECT_NEAR(hit->toi, 3.0, 1e-12);
        EXPECT_EQ(hit->back_side, d[2] > 0);
    }
    // The limit is inclusive; t = 0 counts; a ray that starts past the surface misses.
    EXPECT_TRUE(m.cast_ray({0.2, 0.2, 1}, {0, 0, -1}, 1.0));
    EXPECT_FALSE(m.cast_ray({0.2, 0.2, 1}, {0, 0, -1}, std::nextafter(1.0, 0.0)));
    EXPECT_EQ(m.cast_ray({0.2, 0.2, 0}, {0, 0, 1}, 1.0)->toi, 0.0);
    EXPECT_FALSE(m.cast_ray({0.2, 0.2, -0.5}, {0, 0, -1}, 5));
    EXPECT_TRUE(m.cast_ray({0.2, 0.2, 1}, {0, 0, -1}, Inf));
    // Zero-area triangles (a segment, a point, collinear corners off the
    // axes) are never hit, even by rays aimed exactly through them.
    const TriMesh degenerate({{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {0.5, 0.5, 0.5}, {0.125, 0.375, 0.875}, {0.375, 1.125, 2.625}},
                             {{0, 1, 2}, {3, 3, 3}, {0, 0, 1}, {4, 5, 0}});
    for (const Vec3& d : {Vec3{1, 0, 0}, Vec3{0, 0, 1}, unit({1, -1, 0.3}), unit({1, 1, 1}), unit({-0.2, 1, 0.7})}) {
        for (const Vec3& target : {Vec3{0.5, 0.5, 0.5}, Vec3{0.25, 0.75, 1.75}}) {
            const Vec3 o{target[0] - 2 * d[0], target[1] - 2 * d[1], target[2] - 2 * d[2]};
            EXPECT_FALSE(degenerate.cast_ray(o, d, 10));
        }
    }
    const Vec3 o{0.2, 0.2, 1}, d{0, 0, -1};
    EXPECT_FALSE(m.cast_ray({NaN, 0.2, 1}, d, 5));
    EXPECT_FALSE(m.cast_ray(o, {0, Inf, -1}, 5));
    EXPECT_FALSE(m.cast_ray(o, {0, 0, 0}, 5));
    EXPECT_FALSE(m.cast_ray(o, d, NaN));
    EXPECT_FALSE(m.cast_ray(o, d, -1));
    EXPECT_FALSE(m.cast_ray({1e300, 1e300, 1e300}, unit({-1, -1, -1}), Inf));
}

// Node boxes are kept in single precision: a triangle wholly beyond the
// float range must still be found, hit, met and projected onto.
TEST(TriMeshRay, TrianglesBeyondTheFloatRangeAreFound) {
    const TriMesh far({{1e39, -1e39, -1e39}, {1e39, 2e39, -1e39}, {1e39, -1e39, 2e39}}, {{0, 1, 2}});
    const auto hit = far.cast_ray({0, 0, 0}, {1, 0, 0}, 1e40);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->toi, 1e39);
    EXPECT_TRUE(far.intersects_box(CellBox{{0.5e39, -1, -1}, {2e39, 1, 1}}, RigidPose::identity()));
    EXPECT_EQ(far.project_point({2e39, 0, 0}).triangle, 0u);
}

TEST(TriMeshRay, PosedRayMovesIntoSurfaceFrame) {
    // A plane x = 0.12 (two triangles), translated by +0.01 along x.
    const TriMesh plane({{0.12, -5, -5}, {0.12, 5, -5}, {0.12, 5, 5}, {0.12, -5, 5}}, {{0, 1, 2}, {0, 2, 3}});
    const RigidPose shift{{0, 0, 0, 1}, {0.01, 0, 0}};
    const auto hit = plane.cast_ray_posed({0.05, 0.05, 0.05}, {1, 0, 0}, 1, shift);
    ASSERT_TRUE(hit);
    EXPECT_NEAR(hit->toi, 0.08, 1e-15);
    // A half turn about z puts the plane at x = −0.12 and turns its normal.
    const RigidPose half_turn{{0, 0, 1, 0}, {0, 0, 0}};
    const auto back = plane.cast_ray_posed({0, 0.05, 0.05}, {-1, 0, 0}, 1, half_turn);
    ASSERT_TRUE(back);
    EXPECT_NEAR(back->toi, 0.12, 1e-15);
    EXPECT_EQ(plane.cast_ray({0, 0.05, 0.05}, {1, 0, 0}, 1)->back_side, back->back_side);
    EXPECT_FALSE(plane.cast_ray_posed({0, 0.05, 0.05}, {1, 0, 0}, 1, half_turn));
}

// A bound on the search changes no answer: too small (nothing within it),
// tight around the answer, or loose.
TEST(TriMeshProject, BoundedSearchGivesTheSameAnswer) {
    for (const Fixture& f : fixtures()) {
        const TriMesh mesh = build(f.soup);
        std::mt19937_64 rng(23);
        std::uniform_real_distribution<double> u(-2, 2);
        for (int q = 0; q < 2000; ++q) {
            const Vec3 p{u(rng), u(rng), u(rng)};
            const PointProjection want = mesh.project_point(p);
            const double d2 = (want.point[0] - p[0]) * (want.point[0] - p[0]) +
                              (want.point[1] - p[1]) * (want.point[1] - p[1]) +
                              (want.point[2] - p[2]) * (want.point[2] - p[2]);
            for (const double bound2 : {0.0, 0.5 * d2, d2, std::nextafter(d2, 1e300), 4 * d2 + 1e-3, 1e300}) {
                const PointProjection got = mesh.project_point(p, bound2);
                ASSERT_EQ(got.triangle, want.triangle) << f.name << " point " << q << " bound " << bound2;
                ASSERT_EQ(std::memcmp(got.point.data(), want.point.data(), sizeof(Vec3)), 0);
            }
        }
    }
}

TEST(TriMeshProject, MatchesBruteForceAndReference) {
    for (const Fixture& f : fixtures()) {
        const TriMesh mesh = build(f.soup);
        std::mt19937_64 rng(17);
        std::uniform_real_distribution<double> u(-2, 2);
        for (int q = 0; q < 3000; ++q) {
            const Vec3 p{u(rng), u(rng), u(rng)};
            const PointProjection got = mesh.project_point(p);
            const PointProjection want = brute_project(f.soup, p);
            ASSERT_EQ(got.triangle, want.triangle) << f.name << " point " << q;
            ASSERT_EQ(std::memcmp(got.point.data(), want.point.data(), sizeof(Vec3)), 0);
            // Reference distance over every triangle.
            long double best = Inf, second = Inf;
            std::uint32_t tri = 0;
            for (std::size_t i = 0; i < f.soup.triangles.size(); ++i) {
                const Corners k = corners(f.soup, i, RigidPose::identity());
                if (!k.finite) continue;
                const long double d2 = ref_dist2(p, k.a, k.b, k.c);
                if (d2 < best) {
                    second = best;
                    best = d2;
                    tri = static_cast<std::uint32_t>(i);
                } else if (d2 < second) {
                    second = d2;
                }
            }
            const double dist = std::sqrt(static_cast<double>(best));
            const double gd = std::sqrt((got.point[0] - p[0]) * (got.point[0] - p[0]) +
                                        (got.point[1] - p[1]) * (got.point[1] - p[1]) +
                                        (got.point[2] - p[2]) * (got.point[2] - p[2]));
            EXPECT_NEAR(gd, dist, 1e-12 * (1 + dist)) << f.name << " point " << q;
            if (std::sqrt(static_cast<double>(second)) - dist > 1e-9) {
                EXPECT_EQ(got.triangle, tri) << f.name << " point " << q;
            }
        }
    }
}

// Points where the descent meets ties: on shared vertices and edges (equal
// distances to several triangles, the lowest index wins) and on the corners
// of node boxes (children at equal box distance).
TEST(TriMeshProject, TiesAtVerticesEdgesAndNodeCorners) {
    for (const Fixture& f : fixtures()) {
        const TriMesh mesh = build(f.soup);
        std::vector<Vec3> points;
        for (std::size_t i = 0; i < f.soup.triangles.size(); i += 7) {
            const Corners k = corners(f.soup, i, RigidPose::identity());
            points.push_back(k.a);
            points.push_back({0.5 * (k.a[0] + k.b[0]), 0.5 * (k.a[1] + k.b[1]), 0.5 * (k.a[2] + k.b[2])});
        }
        for (std::size_t i = 0; i < mesh.nodes().size(); i += 5) {
            const TriMesh::Node& n = mesh.nodes()[i];
            points.push_back({n.lo[0], n.lo[1], n.lo[2]});
            points.push_back({n.hi[0], n.lo[1], n.hi[2]});
        }
        for (const Vec3& p : points) {
            const PointProjection want = brute_project(f.soup, p);
            for (const double bound2 : {Inf, 0.0, 1e-4}) {
                const PointProjection got = mesh.project_point(p, bound2);
                ASSERT_EQ(got.triangle, want.triangle) << f.name << " " << p[0] << " " << p[1] << " " << p[2];
                ASSERT_EQ(std::memcmp(got.point.data(), want.point.data(), sizeof(Vec3)), 0);
            }
        }
    }
}

TEST(TriMeshProject, ClosestPointOnDegenerateTriangles) {
    // Degenerate triangles project onto their segment or point, never NaN.
    struct Case {
        Vec3 a, b, c, p, want;
    };
    const Case cases[] = {
        {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {1, 2, 3}, {0, 0, 0}},
        {{0, 0, 0}, {0, 0, 0}, {2, 0, 0}, {1, 1, 0}, {1, 0, 0}},
        {{0, 0, 0}, {2, 0, 0}, {0, 0, 0}, {3, 1, 0}, {2, 0, 0}},
        {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {1.5, -1, 0}, {1.5, 0, 0}},
        {{2, 0, 0}, {0, 0, 0}, {1, 0, 0}, {-1, 0, 5}, {0, 0, 0}},
        {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0.2, 0.2, 5}, {0.2, 0.2, 0}},
    };
    for (const Case& k : cases) {
        const Vec3 q = trimesh::closest_point_on_triangle(k.p, k.a, k.b, k.c);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(q[i], k.want[i], 1e-15);
    }
}

TEST(TriMesh, TiesPickTheLowestIndex) {
    // Triangle 1 and 3 are the same triangle; 0 and 2 lie farther away.
    const std::vector<Vec3> v{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 5}, {1, 0, 5}, {0, 1, 5}};
    const std::vector<Triangle> t{{3, 4, 5}, {0, 1, 2}, {3, 4, 5}, {0, 1, 2}};
    const TriMesh m(v, t);
    EXPECT_EQ(m.cast_ray({0.2, 0.2, -1}, {0, 0, 1}, 10)->triangle, 1u);
    EXPECT_EQ(m.cast_ray({0.2, 0.2, 9}, {0, 0, -1}, 10)->triangle, 0u);
    EXPECT_EQ(m.project_point({0.2, 0.2, -1}).triangle, 1u);
    EXPECT_EQ(m.project_point({0.2, 0.2, 7}).triangle, 0u);
    // Many copies of one triangle: still the first.
    std::vector<Triangle> copies(5000, Triangle{0, 1, 2});
    const TriMesh many(v, copies);
    EXPECT_EQ(many.cast_ray({0.2, 0.2, -1}, {0, 0, 1}, 10)->triangle, 0u);
    EXPECT_EQ(many.project_point({0.3, 0.3, 1}).triangle, 0u);
    EXPECT_TRUE(many.intersects_box({0.1, 0.1, 0}, {0.01, 0.01, 0.01}, RigidPose::identity()));
}

TEST(TriMesh, NonFiniteTrianglesTakeNoPart) {
    const std::vector<Vec3> v{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {NaN, 0, 0}, {Inf, 1, 1}};
    const TriMesh m(v, {{0, 3, 1}, {0, 1, 2}, {4, 1, 2}});
    EXPECT_EQ(m.project_point({5, 5, 5}).triangle, 1u);
    EXPECT_EQ(m.cast_ray({0.1, 0.1, -1}, {0, 0, 1}, 5)->triangle, 1u);
    EXPECT_FALSE(m.intersects_box({5, 0.5, 0.5}, {1, 1, 1}, RigidPose::identity()));
    // Nothing finite at all: no box, no hit, a NaN projection.
    const TriMesh none(v, {{3, 0, 1}, {4, 4, 4}});
    EXPECT_EQ(none.node_count(), 0u);
    EXPECT_FALSE(none.intersects_box({0, 0, 0}, {10, 10, 10}, RigidPose::identity()));
    EXPECT_FALSE(none.cast_ray({0.1, 0.1, -1}, {0, 0, 1}, 5));
    const PointProjection p = none.project_point({0, 0, 0});
    EXPECT_TRUE(std::isnan(p.point[0]));
    EXPECT_EQ(p.triangle, 0u);
    EXPECT_TRUE(std::isnan(m.project_point({NaN, 0, 0}).point[0]));
    // An index past the vertices stops construction.
    EXPECT_THROW(TriMesh(v, {{0, 1, 5}}), InternalError);
}

TEST(TriMesh, BuildIsIdenticalOnAnyThreadCountAndBounded) {
    const Soup sphere = uv_sphere(200, 400, 1.0, {0.3, 0.1, -0.2});  // ~160k triangles
    const auto one = parallel::with_threads(1, [&] { return build(sphere); });
    const auto many = parallel::with_threads(8, [&] { return build(sphere); });
    ASSERT_EQ(one.nodes().size(), many.nodes().size());
    EXPECT_EQ(std::memcmp(one.nodes().data(), many.nodes().data(), one.nodes().size() * sizeof(TriMesh::Node)), 0);
    EXPECT_EQ(one.leaf_order(), many.leaf_order());
    EXPECT_LE(one.depth(), 40u);
    // Every triangle sits in exactly one leaf, whose box holds it.
    std::vector<int> seen(sphere.triangles.size(), 0);
    const auto& nodes = one.nodes();
    for (const auto& n : nodes) {
        if (n.count == 0) continue;
        for (std::uint32_t k = n.index; k < n.index + n.count; ++k) {
            const std::uint32_t tri = one.leaf_order()[k];
            ++seen[tri];
            for (std::uint32_t vi : sphere.triangles[tri])
                for (int a = 0; a < 3; ++a) {
                    ASSERT_LE(n.lo[a], sphere.vertices[vi][a]);
                    ASSERT_GE(n.hi[a], sphere.vertices[vi][a]);
                }
        }
    }
    for (int s : seen) ASSERT_EQ(s, 1);

    // Adversarial inputs keep the depth bounded: identical triangles and
    // triangles at exponentially growing distances.
    std::vector<Vec3> v;
    std::vector<Triangle> t;
    for (int i = 0; i < 3000; ++i) {
        const double x = std::ldexp(1.0, i % 1000 - 500);
        const auto b = static_cast<std::uint32_t>(v.size());
        v.push_back({x, 0, 0});
        v.push_back({x * 1.5, 0, 0});
        v.push_back({x, x, 0});
        t.push_back({b, b + 1, b + 2});
    }
    for (int i = 0; i < 20000; ++i) t.push_back({0, 1, 2});
    const TriMesh odd(v, t);
    EXPECT_LE(odd.depth(), 100u);
    EXPECT_EQ(odd.project_point({-1, 0, 0}).triangle, 0u);
}

}  // namespace
}  // namespace quorin
