#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../temp_dir.hpp"

#include "quorin/parallel.hpp"
#include "quorin/surface/ibm_mesh.hpp"

namespace quorin {
namespace {

TEST(IbmMesh, CopiesGeometryAsGivenAndTakesPatches) {
    // Order, winding, a repeated vertex and a duplicate triangle are kept.
    const std::vector<Vec3> vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const std::vector<Triangle> triangles = {{2, 1, 0}, {0, 1, 3}, {0, 1, 3}, {3, 3, 3}};
    const IbmMesh m(vertices, triangles, {"a", "b"}, {1, 0, 1, 1});
    EXPECT_EQ(m.trimesh.vertices(), vertices);
    EXPECT_EQ(m.trimesh.triangles(), triangles);
    EXPECT_EQ(m.patch_names, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(m.triangle_patch_ids, (std::vector<std::uint64_t>{1, 0, 1, 1}));
}

TEST(IbmMesh, InvalidGeometryIsAnInternalError) {
    const std::vector<Vec3> vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    // Far enough in that the scan runs in several chunks on the pool.
    std::vector<Triangle> bad_late(10000, Triangle{0, 1, 2});
    bad_late[9000] = {0, 7, 3};
    bad_late[9500] = {5, 0, 1};
    const struct {
        std::vector<Vec3> vertices;
        std::vector<Triangle> triangles;
        const char* message;
    } cases[] = {
        {vertices, {}, "Failed to build TriMesh: EmptyIndices"},
        {{}, {}, "Failed to build TriMesh: EmptyIndices"},
        {vertices, {{0, 1, 3}}, "index out of bounds: the len is 3 but the index is 3"},
        {{}, {{0, 0, 0}}, "index out of bounds: the len is 0 but the index is 0"},
        {vertices, bad_late, "index out of bounds: the len is 3 but the index is 7"},
    };
    for (const auto& c : cases) {
        try {
            const IbmMesh m(c.vertices, c.triangles, {"p"},
                            std::vector<std::uint64_t>(c.triangles.size(), 0));
            ADD_FAILURE() << "accepted; expected " << c.message;
        } catch (const InternalError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(IbmMesh, PlaceholderSurface) {
    const IbmMesh m = mesh::placeholder_surface();
    EXPECT_EQ(m.trimesh.vertices(), (std::vector<Vec3>{{1e10, 1e10, 1e10},
                                                       {10000000001.0, 1e10, 1e10},
                                                       {1e10, 10000000001.0, 1e10}}));
    EXPECT_EQ(m.trimesh.triangles(), (std::vector<Triangle>{{0, 1, 2}}));
    EXPECT_EQ(m.patch_names, std::vector<std::string>{"empty"});
    EXPECT_EQ(m.triangle_patch_ids, std::vector<std::uint64_t>{0});
}

TEST(VerticesToF64, WidensExactlyInOrder) {
    using L = std::numeric_limits<float>;
    const std::vector<std::array<float, 3>> special = {
        {0.1f, -0.0f, L::denorm_min()},
        {L::max(), -L::infinity(), L::quiet_NaN()},
        {16777217.0f, -3.5f, L::min()},
    };
    const auto out = mesh::vertices_to_f64(special);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0][0], 0.10000000149011612);
    EXPECT_TRUE(std::signbit(out[0][1]));
    EXPECT_EQ(out[0][2], std::ldexp(1.0, -149));
    EXPECT_EQ(out[1][0], 3.4028234663852886e38);
    EXPECT_EQ(out[1][1], -INFINITY);
    EXPECT_TRUE(std::isnan(out[1][2]));
    EXPECT_EQ(out[2][0], 16777216.0);  // the float nearest to 16777217
    EXPECT_EQ(out[2][1], -3.5);
    EXPECT_EQ(out[2][2], std::ldexp(1.0, -126));

    // Many vertices: every one in its place, for any thread count.
    std::vector<std::array<float, 3>> many(100003);
    for (std::size_t i = 0; i < many.size(); ++i) {
        many[i] = {float(i) * 0.25f, -float(i), float(i % 7) / 3.0f};
    }
    const auto all = mesh::vertices_to_f64(many);
    const auto one = parallel::with_threads(1, [&] { return mesh::vertices_to_f64(many); });
    ASSERT_EQ(all.size(), many.size());
    for (std::size_t i = 0; i < many.size(); ++i) {
        ASSERT_EQ(all[i], (Vec3{double(many[i][0]), double(many[i][1]), double(many[i][2])})) << i;
    }
    EXPECT_EQ(one, all);
}

TEST(ParseReal, NumberTokens) {
    using mesh::detail::parse_real;
    const struct {
        const char* token;
        bool ok;
        double as_double;
        float as_float;
    } cases[] = {
        {"0.1", true, 0.1, 0.1f},
        {"+1.5", true, 1.5, 1.5f},
        {"-2e3", true, -2000, -2000.0f},
        {".5", true, 0.5, 0.5f},
        {"5.", true, 5, 5.0f},
        {"1E2", true, 100, 100.0f},
        {"1e39", true, 1e39, INFINITY},       // beyond the float range
        {"-1e39", true, -1e39, -INFINITY},
        {"1e-50", true, 1e-50, 0.0f},         // below the float range
        {"1e-40", true, 1e-40, 1e-40f},       // a float subnormal
        {"1e400", true, INFINITY, INFINITY},  // beyond the double range
        {"-1e400", true, -INFINITY, -INFINITY},
        {"1e-400", true, 0.0, 0.0f},
        {"1e-99999", true, 0.0, 0.0f},        // beyond any wider type as well
        {"-1e99999", true, -INFINITY, -INFINITY},
        {"INF", true, INFINITY, INFINITY},
        {"-infinity", true, -INFINITY, -INFINITY},
        {"", false, 0, 0},
        {"+", false, 0, 0},
        {"-", false, 0, 0},
        {"++1", false, 0, 0},
        {"+-1", false, 0, 0},
        {".", false, 0, 0},
        {"1.5x", false, 0, 0},
        {"0x10", false, 0, 0},
        {"1,5", false, 0, 0},
        {"e5", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.token);
        double d = 42;
        float f = 42;
        EXPECT_EQ(parse_real(c.token, d), c.ok);
        EXPECT_EQ(parse_real(c.token, f), c.ok);
        if (c.ok) {
            EXPECT_EQ(d, c.as_double);
            EXPECT_EQ(f, c.as_float);
        }
    }
    double d;
    float f;
    ASSERT_TRUE(parse_real("nan", d) && parse_real("NaN", f));
    EXPECT_TRUE(std::isnan(d) && std::isnan(f));
}

// Large files are read by the pool in pieces: every byte must land at its
// place, on any thread count, with pieces cut anywhere in a line.
TEST(ReadFile, LargeFilesReadWholeAndInOrder) {
    std::string bytes(37u << 20, '\0');
    std::uint64_t x = 88172645463325252ull;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<char>(x);
    }
    testing::TempDir dir;
    const std::string path = dir.write("big.bin", bytes);
    for (const std::size_t threads : {1, 8}) {
        SCOPED_TRACE(threads);
        const auto file =
            parallel::with_threads(threads, [&] { return mesh::detail::read_file(path, "open: ", "read: "); });
        ASSERT_TRUE(file.ok()) << file.error();
        ASSERT_EQ(file->size, bytes.size());
        EXPECT_TRUE(file->view() == bytes);
    }
}

}  // namespace
}  // namespace quorin
