// Ray-triangle decisions against exact integer arithmetic, on configurations
// built to sit on the rounding edge: far-away huge triangles seen from near
// the origin, rays through vertices and edges, rays in a triangle's plane.
// A hit is reported exactly when the ray meets the closed triangle.
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>

#include <gtest/gtest.h>

#include "quorin/ibm/inside.hpp"
#include "quorin/surface/bvh.hpp"
#include "quorin/surface/ibm_mesh.hpp"

namespace quorin {
namespace {

using i128 = __int128;

struct IVec {
    std::int64_t v[3];
};

i128 det3(const i128 (&x)[3], const i128 (&y)[3], const i128 (&z)[3]) {
    return x[0] * (y[1] * z[2] - y[2] * z[1]) - x[1] * (y[0] * z[2] - y[2] * z[0]) +
           x[2] * (y[0] * z[1] - y[1] * z[0]);
}

int sgn(i128 x) { return x > 0 ? 1 : (x < 0 ? -1 : 0); }

// Exact answer for origin o, direction d and triangle (a, b, c), all with
// integer coordinates: does {o + t·d, t >= 0} meet the closed triangle, and
// at which t = num / den?
struct Exact {
    bool hit;
    i128 num, den;
};

Exact exact_ray(const IVec& o, const IVec& d, const IVec& a, const IVec& b, const IVec& c) {
    i128 A[3], B[3], C[3], D[3];
    for (int k = 0; k < 3; ++k) {
        A[k] = a.v[k] - o.v[k];
        B[k] = b.v[k] - o.v[k];
        C[k] = c.v[k] - o.v[k];
        D[k] = d.v[k];
    }
    const int su = sgn(det3(D, C, B));
    const int sv = sgn(det3(D, A, C));
    const int sw = sgn(det3(D, B, A));
    const bool neg = su < 0 || sv < 0 || sw < 0;
    const bool pos = su > 0 || sv > 0 || sw > 0;
    if (neg == pos) return {false, 0, 0};
    i128 AB[3], AC[3], AO[3];
    for (int k = 0; k < 3; ++k) {
        AB[k] = B[k] - A[k];
        AC[k] = C[k] - A[k];
        AO[k] = A[k];  // a − o
    }
    const i128 num = det3(AB, AC, AO);
    const i128 den = det3(AB, AC, D);
    if (den == 0) return {false, 0, 0};
    if (sgn(num) != 0 && sgn(num) != sgn(den)) return {false, 0, 0};
    return {true, num, den};
}

Vec3 to_vec(const IVec& v) {
    return {static_cast<double>(v.v[0]), static_cast<double>(v.v[1]), static_cast<double>(v.v[2])};
}

// Near-degenerate cases: huge triangles (coordinates up to 2^40) and small
// rays near the origin; rays aimed exactly at a vertex or at a point of an
// edge; rays in the triangle's plane.
TEST(ExactRay, DecisionsMatchIntegerArithmetic) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<std::int64_t> big(-(std::int64_t{1} << 40), std::int64_t{1} << 40);
    std::uniform_int_distribution<std::int64_t> small(-8, 8);
    std::uniform_int_distribution<int> kind(0, 3);
    int hits = 0, misses = 0, grazing = 0;
    for (int n = 0; n < 200000; ++n) {
        IVec a{{big(rng), big(rng), big(rng)}}, b{{big(rng), big(rng), big(rng)}}, c{{big(rng), big(rng), big(rng)}};
        IVec o{{small(rng), small(rng), small(rng)}};
        IVec d{{small(rng), small(rng), small(rng)}};
        const int k = kind(rng);
        if (k == 1) {
            // Through vertex a from a point on the far side: d = (a − o)/g.
            d = IVec{{a.v[0] - o.v[0], a.v[1] - o.v[1], a.v[2] - o.v[2]}};
        } else if (k == 2) {
            // Through the midpoint of edge a-b (made even so it is an integer).
            for (int j = 0; j < 3; ++j) {
                a.v[j] &= ~std::int64_t{1};
                b.v[j] &= ~std::int64_t{1};
                d.v[j] = (a.v[j] + b.v[j]) / 2 - o.v[j];
            }
        } else if (k == 3) {
            // In the plane of the triangle: origin a vertex, direction along an edge.
            o = a;
            d = IVec{{(b.v[0] - a.v[0]) / 4, (b.v[1] - a.v[1]) / 4, (b.v[2] - a.v[2]) / 4}};
            ++grazing;
        }
        if (d.v[0] == 0 && d.v[1] == 0 && d.v[2] == 0) continue;
        const Exact want = exact_ray(o, d, a, b, c);
        const auto got = trimesh::ray_triangle(to_vec(o), to_vec(d), 1e300, to_vec(a), to_vec(b), to_vec(c));
        ASSERT_EQ(got.has_value(), want.hit) << "case " << n << " kind " << k;
        if (!want.hit) {
            ++misses;
            continue;
        }
        ++hits;
        const long double t = static_cast<long double>(want.num) / static_cast<long double>(want.den);
        // Rounded times are kept while their error bound is below 2^-30 of the
        // ray's scale; the rest come from the exact plane equation.
        EXPECT_NEAR(static_cast<long double>(got->toi), t, 1e-9L * (t + 8)) << "case " << n;
        EXPECT_EQ(got->back_side, want.den > 0) << "case " << n;
    }
    EXPECT_GT(hits, 20000);
    EXPECT_GT(misses, 20000);
    EXPECT_GT(grazing, 20000);
}

// One triangle whose far corners lie at ±1e20: the rays of the inside test
// from points of the unit cube, whose answers follow from the plane z = z0.
TEST(ExactRay, HugeTriangleNearTheOrigin) {
    const double z0 = static_cast<double>(0.2f);
    const double y0 = static_cast<double>(0.2f);
    const std::vector<Vec3> corners{{1e20, y0, z0}, {-1e20, y0, z0}, {static_cast<double>(0.2f), static_cast<double>(0.8f), z0}};
    const std::vector<Triangle> tris{{0, 1, 2}};
    const IbmMesh mesh(corners, tris, {"_default"}, {0});
    const TriMesh& m = mesh.trimesh;
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(0, 1);
    int checked = 0;
    for (int n = 0; n < 2000; ++n) {
        const Vec3 o{u(rng), u(rng), u(rng)};
        for (const Vec3& d : gcibm::INSIDE_TEST_DIRECTIONS) {
            const auto hit = m.cast_ray(o, d, 1e6);
            const double t = (z0 - o[2]) / d[2];
            const double y = o[1] + t * d[1];
            const double x = o[0] + t * d[0];
            // Near x in [-5, 5] the triangle covers y from y0 to just below 0.8.
            const bool clear_in = t > 1e-9 && std::fabs(x) < 5 && y > y0 + 1e-9 && y < 0.79;
            const bool clear_out = !(t > -1e-9) || y < y0 - 1e-9 || y > 0.81;
            if (clear_in) {
                ASSERT_TRUE(hit.has_value());
                EXPECT_NEAR(hit->toi, t, 1e-12 * (1 + t));
                ++checked;
            } else if (clear_out) {
                EXPECT_FALSE(hit.has_value()) << o[0] << " " << o[1] << " " << o[2] << " t " << t << " y " << y;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 20000);
    // The inside test counts at most one crossing per ray here.
    for (int n = 0; n < 200; ++n) {
        const Vec3 p{u(rng), u(rng), u(rng)};
        (void)gcibm::is_point_inside(p, mesh, RigidPose::identity());
    }
}

}  // namespace
}  // namespace quorin
