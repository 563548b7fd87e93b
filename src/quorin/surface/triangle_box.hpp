// One triangle prepared for many closed-box tests: the separating axes and
// the corners' projections on them are formed once, so that a box test only
// projects the box. The answers are those of trimesh::triangle_meets_bounds
// on the same corners, bit for bit.
#pragma once

#include <cstdint>

#include "quorin/forest/domain.hpp"

namespace quorin {

struct TriangleBoxTest {
    // Lanes of the axes: the triangle's normal, then box axis × edge for
    // each edge; the last two lanes, and an axis that is exactly zero,
    // never separate.
    static constexpr int LANES = 12;
    // How a box test runs: on the prepared axes; by the plain test on the
    // corners (a coordinate beyond the range of the exact predicates, or an
    // axis so small that its filter could underflow); or not at all, for a
    // placed triangle with a corner that is not finite.
    enum class Kind : std::uint8_t { Fast, Plain, Never };

    // What every test reads first, together.
    Kind kind;
    double dmax;  // largest |corner − corner 0| component
    Vec3 lo, hi;  // the corners' extent
    Vec3 corner[3];
    double ax[LANES];
    double ay[LANES];
    double az[LANES];
    // Least and largest projection of the corners, taken from corner 0.
    double pmin[LANES];
    double pmax[LANES];
    // Per lane, the filter's error bound per unit of offset magnitude.
    double scale[LANES];
};

// Prepares the test of the triangle (a, b, c); `never` gives a triangle
// that meets no box.
void prepare_box_test(const Vec3& a, const Vec3& b, const Vec3& c, bool never, TriangleBoxTest& out);

// The closed prepared triangle and the closed box [lo, hi] share a point.
bool prepared_meets_bounds(const TriangleBoxTest& t, const Vec3& lo, const Vec3& hi);

// The closed box of child d of the box [lo, hi] split at `mid`: bit a of d
// picks the upper half on axis a.
CellBox child_bounds(const Vec3& lo, const Vec3& mid, const Vec3& hi, unsigned d);

// Which of the children of [lo, hi] split at `mid` (lo <= mid <= hi) the
// prepared triangle meets, bit d for child_bounds(lo, mid, hi, d), among
// those in `wanted`: the answers of prepared_meets_bounds on each, found
// together.
unsigned prepared_meets_children(const TriangleBoxTest& t, const Vec3& lo, const Vec3& mid, const Vec3& hi,
                                 unsigned wanted);

}  // namespace quorin
