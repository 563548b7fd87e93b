#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "../forest/forest_checks.hpp"
#include "quorin/forest/balance.hpp"
#include "quorin/ibm/background_mesh.hpp"
#include "quorin/parallel.hpp"
#include "surfaces.hpp"

namespace quorin {
namespace {

using testing::box_mesh;
using testing::reference_amr_forest;
using testing::sphere_mesh;
using testing::unit_settings;

const RigidPose IDENTITY = RigidPose::identity();

// A scratch directory, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/quorin_ibm_XXXXXX";
        const char* p = mkdtemp(tmpl);
        if (!p) std::abort();
        path_ = p;
    }
    ~TempDir() { (void)std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Binary STL of the given triangles.
std::string binary_stl(const std::vector<std::array<std::array<float, 3>, 3>>& tris) {
    std::string out(80, ' ');
    const std::uint32_t n = static_cast<std::uint32_t>(tris.size());
    out.append(reinterpret_cast<const char*>(&n), 4);
    for (const auto& t : tris) {
        const float normal[3] = {0, 0, 0};
        out.append(reinterpret_cast<const char*>(normal), 12);
        for (const auto& v : t) out.append(reinterpret_cast<const char*>(v.data()), 12);
        out.append(2, '\0');
    }
    return out;
}

TEST(BackgroundMesh, FileNameAndExtensionRules) {
    struct Case {
        const char* path;
        const char* name;  // nullptr: no file name
        const char* ext;   // nullptr: no extension
    };
    const Case cases[] = {
        {"mesh.stl", "mesh.stl", "stl"},
        {"dir/a.tar.obj", "a.tar.obj", "obj"},
        {"/abs//dir///mesh.STL", "mesh.STL", "STL"},
        {"dir/part.obj/", "part.obj", "obj"},
        {"dir/part.obj/.", "part.obj", "obj"},
        {"dir/./part.obj//./", "part.obj", "obj"},
        {"./mesh.obj", "mesh.obj", "obj"},
        {".stl", ".stl", nullptr},
        {"dir/.obj", ".obj", nullptr},
        {"..stl", "..stl", "stl"},
        {"mesh.", "mesh.", ""},
        {"mesh...", "mesh...", ""},
        {"noext", "noext", nullptr},
        {"dir.d/noext", "noext", nullptr},
        {"", nullptr, nullptr},
        {"/", nullptr, nullptr},
        {"///", nullptr, nullptr},
        {".", nullptr, nullptr},
        {"./", nullptr, nullptr},
        {"..", nullptr, nullptr},
        {"dir/..", nullptr, nullptr},
        {"dir/../", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        const auto name = background::file_name(c.path);
        ASSERT_EQ(name.has_value(), c.name != nullptr) << c.path;
        if (!name) continue;
        EXPECT_EQ(*name, c.name) << c.path;
        const auto ext = background::extension(*name);
        ASSERT_EQ(ext.has_value(), c.ext != nullptr) << c.path;
        if (ext) {
            EXPECT_EQ(*ext, c.ext) << c.path;
        }
    }
}

TEST(BackgroundMesh, PathErrorsInTheirOrder) {
    const TempDir dir;
    write_file(dir / "plain", "x");
    write_file(dir / ".stl", "x");
    write_file(dir / "mesh.", "x");
    write_file(dir / "MESH.PLY", "x");
    write_file(dir /
                   "a.\xC3\x96"
                   "BJ",
               "x");  // "a.ÖBJ": only ASCII letters are lowered
    write_file(dir / "file.stl", "x");
    write_file(dir / "x", "x");
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir / "missing.stl").c_str(), (dir / "dangling.stl").c_str()), 0);

    const std::string not_found = "Mesh file not found: ";
    const std::string no_ext = "Mesh file has no extension. Use .stl or .obj.";
    const auto unsupported = [](const std::string& e) {
        return "Unsupported mesh extension '." + e + "'. Use .stl or .obj.";
    };
    const std::string nul_path = (dir / "x") + std::string(1, '\0') + ".stl";
    const std::pair<std::string, std::string> cases[] = {
        {dir / "nope.stl", not_found + (dir / "nope.stl")},
        {dir / "nope.ply", not_found + (dir / "nope.ply")},  // existence comes first
        {dir / "dangling.stl", not_found + (dir / "dangling.stl")},
        {nul_path, not_found + nul_path},
        {dir / "file.stl/inner.stl", not_found + (dir / "file.stl/inner.stl")},
        {dir / "plain", no_ext},
        {dir / ".stl", no_ext},
        {dir / "sub", no_ext},
        {dir / "sub/", no_ext},
        {dir / "sub/.", no_ext},
        {dir / "sub/..", no_ext},
        {"/", no_ext},
        {".", no_ext},
        {dir / "mesh.", unsupported("")},
        {dir / "MESH.PLY", unsupported("ply")},
        {dir / "a.\xC3\x96"
               "BJ",
         unsupported("\xC3\x96"
                     "bj")},
    };
    const BuildSettings s = unit_settings({1, 1, 1}, 0);
    for (const auto& [path, message] : cases) {
        const auto r = build_background_mesh(s, path, 2, {}, IDENTITY);
        ASSERT_FALSE(r.ok()) << path;
        EXPECT_EQ(r.error(), message);
    }
}

TEST(BackgroundMesh, LoadsByExtensionInAnyCaseAndPassesTheWholePath) {
    const TempDir dir;
    const std::string stl =
        binary_stl({{{{0.1f, 0.1f, 0.1f}, {0.9f, 0.1f, 0.1f}, {0.1f, 0.9f, 0.1f}}},
                    {{{0.1f, 0.1f, 0.6f}, {0.9f, 0.1f, 0.6f}, {0.1f, 0.9f, 0.6f}}}});
    write_file(dir / "mesh.STL", stl);
    write_file(dir / "mesh.Stl", stl);
    write_file(dir / "a.tar.obj", "v 0.1 0.1 0.1\nv 0.9 0.1 0.1\nv 0.1 0.9 0.1\nf 1 2 3\n");
    ASSERT_EQ(mkdir((dir / "part.obj").c_str(), 0755), 0);

    const BuildSettings s = unit_settings({2, 2, 2}, 1);
    for (const auto& [name, triangles] :
         {std::pair<std::string, std::size_t>{"mesh.STL", 2}, {"mesh.Stl", 2}, {"a.tar.obj", 1}}) {
        const auto r = build_background_mesh(s, dir.path() + "//./" + name, 3, {}, IDENTITY);
        ASSERT_TRUE(r.ok()) << name << ": " << r.error();
        EXPECT_EQ(r->ibm_mesh.trimesh.triangles().size(), triangles);
        const auto expect = reference_amr_forest(s, r->ibm_mesh, 3, {}, IDENTITY);
        EXPECT_EQ(r->forest.leaves, expect.leaves);
        EXPECT_GT(r->forest.leaves.size(), 64u * 8);
    }
    // A directory with an OBJ name passes both checks and fails in the loader.
    for (const std::string& p : {dir / "part.obj", dir / "part.obj/"}) {
        const auto r = build_background_mesh(s, p, 3, {}, IDENTITY);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().rfind("Failed to read OBJ file: ", 0), 0u) << r.error();
    }
}

TEST(BackgroundMesh, SkippingUncutLeavesGivesTheForestOfTestingEveryLeaf) {
    const IbmMesh sphere = sphere_mesh({0.5, 0.47, 0.52}, 0.31, 16, 24);
    const IbmMesh cube = box_mesh({0.2, 0.25, 0.3}, {0.65, 0.7, 0.61});
    const IbmMesh sheet =
        testing::triangle_mesh({-0.2, 0.1, 0.3}, {1.3, 0.4, 0.5}, {0.2, 1.2, 0.7});
    const IbmMesh tiny = testing::triangle_mesh({0.3, 0.3, 0.3}, {0.3 + 1e-4, 0.3, 0.3},
                                                {0.3, 0.3 + 1e-4, 0.3 + 1e-5});
    const IbmMesh both = testing::merge({&sphere, &tiny});
    const RigidPose poses[] = {
        IDENTITY,
        {{0, 0, 0, 1}, {0.13, -0.07, 0.05}},
        testing::pose_of({1, -2, 0.5}, 0.9, {0.02, 0.03, -0.04}),
    };
    const std::vector<RefinementRegion> regions = {{{0.0, 0.0, 0.0}, {0.3, 0.2, 0.25}, 3}};
    const BuildSettings settings[] = {
        unit_settings({1, 1, 1}, 0),
        BuildSettings{{{-1, 0, 0.25}, {2, 1, 1.5}}, {3, 2, 2}, 1},
    };
    int compared = 0;
    for (const BuildSettings& s : settings) {
        for (const IbmMesh* m : {&sphere, &cube, &sheet, &both}) {
            for (const RigidPose& p : poses) {
                for (const std::uint8_t target : {1, 3, 5}) {
                    const auto& regs = target == 3 ? regions : std::vector<RefinementRegion>{};
                    const auto [forest, domain] = build_amr_forest(s, *m, target, regs, p);
                    const Forest expect = reference_amr_forest(s, *m, target, regs, p);
                    ASSERT_EQ(forest.leaves, expect.leaves) << "target " << int(target);
                    ++compared;
                }
            }
        }
    }
    EXPECT_EQ(compared, 2 * 4 * 3 * 3);
}

TEST(BackgroundMesh, CarriedStatusesEqualAFreshMarking) {
    const IbmMesh sphere = sphere_mesh({0.45, 0.5, 0.55}, 0.3, 16, 24);
    const Domain d({0, 0, 0}, {1, 1, 1}, 1, 1, 1);
    std::mt19937 rng(7);
    for (const RigidPose& p :
         {IDENTITY, testing::pose_of({0.3, 1, 0.2}, 1.1, {0.05, -0.02, 0.0})}) {
        Forest f = testing::uniform_forest(1, 1, 1, 2);
        auto status = flood::initial_cell_status(f, d, sphere, p);
        for (int round = 0; round < 3; ++round) {
            // Random flags, cut or not: the carried statuses must not depend on why a leaf split.
            std::vector<std::uint8_t> flags(f.leaves.size());
            for (auto& x : flags) x = (rng() % 3) == 0;
            status = background::refine_and_mark(f, d, p, sphere, status, flags);
            EXPECT_EQ(status, flood::initial_cell_status(f, d, sphere, p)) << round;
        }
    }
}

TEST(BackgroundMesh, TargetZeroIgnoresTheSurface) {
    const IbmMesh sphere = sphere_mesh({0.5, 0.5, 0.5}, 0.3, 12, 16);
    const std::vector<RefinementRegion> regions = {{{0.0, 0.0, 0.0}, {0.2, 0.2, 0.2}, 3}};
    const BuildSettings s = unit_settings({2, 1, 1}, 1);
    const auto [with_surface, d1] = build_amr_forest(s, sphere, 0, regions, IDENTITY);
    const auto none = build_background_mesh(s, std::nullopt, 0, regions, IDENTITY);
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(with_surface.leaves, none->forest.leaves);
    // By hand: the base grid, the region's three passes, the balance, one uniform pass.
    Forest f(2, 1, 1);
    const Domain d({0, 0, 0}, {1, 1, 1}, 2, 1, 1);
    for (int k = 0; k < 3; ++k) {
        std::vector<std::uint8_t> flags(f.leaves.size());
        for (std::size_t i = 0; i < flags.size(); ++i)
            flags[i] = d.cell_overlaps_box(f.leaves[i], regions[0].min, regions[0].max) &&
                       f.leaves[i].level() < 3;
        f.refine_by_flags(flags);
    }
    f.enforce_2_to_1_balance();
    f.refine_by_flags(std::vector<std::uint8_t>(f.leaves.size(), 1));
    EXPECT_EQ(with_surface.leaves, f.leaves);
}

TEST(BackgroundMesh, NoSurfaceUsesThePlaceholderAndCutsNothing) {
    const std::vector<RefinementRegion> regions = {{{0.6, 0.6, 0.6}, {0.9, 0.7, 0.95}, 2}};
    const BuildSettings s = unit_settings({2, 2, 3}, 2);
    const auto r = build_background_mesh(s, std::nullopt, 9, regions, IDENTITY);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->ibm_mesh.patch_names, std::vector<std::string>{"empty"});
    EXPECT_EQ(r->ibm_mesh.trimesh.triangles().size(), 1u);
    const auto [base, d] = build_amr_forest(s, r->ibm_mesh, 0, regions, IDENTITY);
    EXPECT_EQ(r->forest.leaves, base.leaves);
    const auto status = flood::initial_cell_status(r->forest, r->domain, r->ibm_mesh, IDENTITY);
    EXPECT_EQ(std::count(status.begin(), status.end(), STATUS_INTERSECTED), 0);
}

TEST(BackgroundMesh, ZeroInTheBaseGridGivesAnEmptyForest) {
    const IbmMesh sphere = sphere_mesh({0.5, 0.5, 0.5}, 0.3, 12, 16);
    const std::vector<RefinementRegion> regions = {{{0, 0, 0}, {1, 1, 1}, 4}};
    for (const std::array<std::uint32_t, 3> res :
         {std::array<std::uint32_t, 3>{0, 4, 4}, {4, 0, 4}, {4, 4, 0}}) {
        const auto r =
            build_background_mesh(unit_settings(res, 3), std::nullopt, 5, regions, IDENTITY);
        ASSERT_TRUE(r.ok());
        EXPECT_TRUE(r->forest.leaves.empty());
        const auto [f, d] = build_amr_forest(unit_settings(res, 3), sphere, 5, regions, IDENTITY);
        EXPECT_TRUE(f.leaves.empty());
        for (int a = 0; a < 3; ++a) EXPECT_EQ(std::isinf(d.root_size[a]), res[a] == 0);
    }
}

TEST(BackgroundMesh, TargetsAbove32EndWithTheCutCellsAtLevel32) {
    // A triangle far smaller than a level-32 cell (2.3e-10 here) stays
    // within a few cells at every level.
    const IbmMesh speck =
        testing::triangle_mesh({0.3, 0.3, 0.3}, {0.3 + 1e-12, 0.3, 0.3}, {0.3, 0.3 + 1e-12, 0.3});
    const BuildSettings s = unit_settings({1, 1, 1}, 1);
    for (const std::uint8_t target : {33, 40, 255}) {
        const auto [f, d] = build_amr_forest(s, speck, target, {}, IDENTITY);
        EXPECT_EQ(f.leaves, reference_amr_forest(s, speck, target, {}, IDENTITY).leaves);
        const auto status = flood::initial_cell_status(f, d, speck, IDENTITY);
        int cut = 0;
        for (std::size_t i = 0; i < status.size(); ++i) {
            if (status[i] != STATUS_INTERSECTED) continue;
            ++cut;
            EXPECT_EQ(f.leaves[i].level(), MAX_LEVEL);
        }
        EXPECT_GE(cut, 1);
        EXPECT_LE(cut, 8);
    }
}

TEST(BackgroundMesh, BuildIsBalancedWithCutCellsAtTheirFinalLevel) {
    const IbmMesh sphere = sphere_mesh({0.52, 0.5, 0.47}, 0.3, 16, 24);
    const std::vector<RefinementRegion> regions = {{{0.0, 0.0, 0.0}, {0.25, 1.0, 0.3}, 4}};
    const BuildSettings s = unit_settings({2, 2, 1}, 1);
    const RigidPose p = testing::pose_of({1, 0, 1}, 0.4, {0.03, 0, 0});
    const auto build = [&] { return build_amr_forest(s, sphere, 4, regions, p); };
    const auto [f, d] = parallel::with_threads(8, build);
    const auto [f1, d1] = parallel::with_threads(1, build);
    EXPECT_EQ(f.leaves, f1.leaves);
    EXPECT_TRUE(testing::forest_invariants(f));
    for (std::size_t i = 0; i < f.leaves.size(); ++i) {
        ASSERT_TRUE(balance::coarse_neighbours_of_leaf(f, i).empty()) << i;
    }
    const auto status = flood::initial_cell_status(f, d, sphere, p);
    for (std::size_t i = 0; i < status.size(); ++i) {
        if (status[i] == STATUS_INTERSECTED) {
            EXPECT_GE(f.leaves[i].level(), 5) << i;
        }
        if (d.cell_overlaps_box(f.leaves[i], regions[0].min, regions[0].max)) {
            EXPECT_GE(f.leaves[i].level(), 5) << i;
        }
    }
}

}  // namespace
}  // namespace quorin
