// Shared by the mesh-export tests: graded forests, a plain sequential face
// enumeration to compare the parallel builders with, and a geometric check
// that the faces of a mesh cover every cell side exactly once.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/forest/neighbour.hpp"
#include "../ibm/surfaces.hpp"

namespace quorin::testing {

// Face lists written out plainly with the allocating neighbour query.
struct PlainFaces {
    std::vector<std::uint64_t> owner, neighbour;
    std::vector<std::uint8_t> axis;
    std::vector<std::uint64_t> bnd_owner;
    std::vector<std::uint8_t> bnd_dir;
};

inline PlainFaces plain_faces(const Forest& f) {
    PlainFaces out;
    for (std::uint64_t i = 0; i < f.leaves.size(); ++i) {
        for (std::uint8_t a = 0; a < 3; ++a) {
            if (neighbour::face_neighbours(f, i, 2 * a).empty()) {
                out.bnd_owner.push_back(i);
                out.bnd_dir.push_back(2 * a);
            }
            const auto hi = neighbour::face_neighbours(f, i, 2 * a + 1);
            if (hi.empty()) {
                out.bnd_owner.push_back(i);
                out.bnd_dir.push_back(2 * a + 1);
            }
            for (std::uint64_t j : hi) {
                out.owner.push_back(i);
                out.neighbour.push_back(j);
                out.axis.push_back(a);
            }
        }
    }
    return out;
}

// Refines, `times` over, the leaves that hold point p, then balances: a
// forest graded from level `base` near p down to fine cells at p.
inline Forest graded_forest(std::uint32_t nx, std::uint32_t ny, std::uint32_t nz, unsigned base,
                            const Domain& d, const Vec3& p, unsigned times) {
    Forest f = uniform_forest(nx, ny, nz, base);
    for (unsigned t = 0; t < times; ++t) {
        std::vector<std::uint8_t> flags(f.leaves.size(), 0);
        flags[*f.locate_point(d, p)] = 1;
        f.refine_by_flags(flags);
    }
    f.enforce_2_to_1_balance();
    return f;
}

// Every side of every cell is covered exactly by the faces of the mesh: the
// areas of the internal faces touching it (each the smaller cell's face) and
// of its boundary faces add up to the side's area. Also checks that every
// internal face joins two touching cells, owner on the low side, and that
// the face lists are ordered by owner.
template <class Mesh>
void expect_faces_cover_cells(const Forest& f, const Domain& d, const Mesh& m) {
    const std::size_t n = f.leaves.size();
    std::vector<std::array<double, 6>> covered(n, {0, 0, 0, 0, 0, 0});
    auto side_area = [&](std::uint64_t c, int axis) {
        const Vec3& s = m.cell_sizes[c];
        return s[(axis + 1) % 3] * s[(axis + 2) % 3];
    };
    ASSERT_EQ(m.internal_faces_owner.size(), m.internal_faces_neighbour.size());
    ASSERT_EQ(m.internal_faces_owner.size(), m.internal_faces_axis.size());
    ASSERT_EQ(m.domain_bnd_faces_owner.size(), m.domain_bnd_faces_dir.size());
    for (std::size_t k = 0; k < m.internal_faces_owner.size(); ++k) {
        const std::uint64_t o = m.internal_faces_owner[k], nb = m.internal_faces_neighbour[k];
        const int a = m.internal_faces_axis[k];
        ASSERT_LT(o, n);
        ASSERT_LT(nb, n);
        ASSERT_LT(a, 3);
        if (k > 0) {
            ASSERT_LE(m.internal_faces_owner[k - 1], o);
        }
        const Vec3 &co = m.cell_centers[o], &cn = m.cell_centers[nb];
        const Vec3 &so = m.cell_sizes[o], &sn = m.cell_sizes[nb];
        EXPECT_NEAR(cn[a] - co[a], 0.5 * (so[a] + sn[a]), 1e-12) << "face " << k;
        for (int t = 1; t < 3; ++t) {
            const int b = (a + t) % 3;
            EXPECT_LT(std::abs(cn[b] - co[b]), 0.5 * (so[b] + sn[b]) - 1e-12) << "face " << k;
        }
        const double area = std::min(side_area(o, a), side_area(nb, a));
        covered[o][2 * a + 1] += area;
        covered[nb][2 * a] += area;
    }
    for (std::size_t k = 0; k < m.domain_bnd_faces_owner.size(); ++k) {
        const std::uint64_t o = m.domain_bnd_faces_owner[k];
        const int dir = m.domain_bnd_faces_dir[k];
        ASSERT_LT(o, n);
        ASSERT_LT(dir, 6);
        if (k > 0) {
            ASSERT_LE(m.domain_bnd_faces_owner[k - 1], o);
        }
        // The face really lies on the domain box.
        const int a = dir / 2;
        const double side = m.cell_centers[o][a] + ((dir & 1) ? 0.5 : -0.5) * m.cell_sizes[o][a];
        EXPECT_NEAR(side, (dir & 1) ? d.max[a] : d.min[a], 1e-12) << "boundary face " << k;
        covered[o][dir] += side_area(o, a);
    }
    for (std::size_t c = 0; c < n; ++c)
        for (int dir = 0; dir < 6; ++dir)
            EXPECT_NEAR(covered[c][dir] / side_area(c, dir / 2), 1.0, 1e-12)
                << "cell " << c << " side " << dir;
}

// The cells and faces of two mesh records (either kind) are identical.
template <class Mesh>
void expect_same_cells_and_faces(const Mesh& a, const Mesh& b) {
    EXPECT_EQ(a.n_cells, b.n_cells);
    EXPECT_EQ(a.coordinate_type, b.coordinate_type);
    EXPECT_EQ(a.cell_centers, b.cell_centers);
    EXPECT_EQ(a.cell_sizes, b.cell_sizes);
    EXPECT_EQ(a.internal_faces_owner, b.internal_faces_owner);
    EXPECT_EQ(a.internal_faces_neighbour, b.internal_faces_neighbour);
    EXPECT_EQ(a.internal_faces_axis, b.internal_faces_axis);
    EXPECT_EQ(a.domain_bnd_faces_owner, b.domain_bnd_faces_owner);
    EXPECT_EQ(a.domain_bnd_faces_dir, b.domain_bnd_faces_dir);
}

}  // namespace quorin::testing
