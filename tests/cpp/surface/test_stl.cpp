#include <stdlib.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../temp_dir.hpp"

#include "quorin/parallel.hpp"
#include "quorin/surface/stl.hpp"

namespace quorin {
namespace {

using namespace std::string_literals;

using testing::TempDir;

using F3 = std::array<float, 3>;

struct Facet {
    F3 normal;
    std::array<F3, 3> corners;
};

void put_f32(std::string& s, float v) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    for (int b = 0; b < 4; ++b) s += static_cast<char>((bits >> (8 * b)) & 0xFF);
}

void put_u32(std::string& s, std::uint32_t v) {
    for (int b = 0; b < 4; ++b) s += static_cast<char>((v >> (8 * b)) & 0xFF);
}

// A binary STL: the header padded to 80 bytes, the count (the number of facets
// unless given), the records.
std::string binary_stl(const std::vector<Facet>& facets, std::optional<std::uint32_t> count = {},
                       std::string header = "binary") {
    header.resize(80, ' ');
    std::string s = header;
    put_u32(s, count.value_or(static_cast<std::uint32_t>(facets.size())));
    for (const Facet& f : facets) {
        for (float v : f.normal) put_f32(s, v);
        for (const F3& c : f.corners) {
            for (float v : c) put_f32(s, v);
        }
        s += "\x07\x00"s;  // attribute word, ignored
    }
    return s;
}

Vec3 widen(const F3& v) { return {double(v[0]), double(v[1]), double(v[2])}; }

// Every corner of triangle t is the file's corner, widened.
void expect_facets(const IbmMesh& m, const std::vector<Facet>& facets) {
    const auto& tris = m.trimesh.triangles();
    const auto& verts = m.trimesh.vertices();
    ASSERT_EQ(tris.size(), facets.size());
    for (std::size_t t = 0; t < facets.size(); ++t) {
        for (std::size_t k = 0; k < 3; ++k) {
            ASSERT_LT(tris[t][k], verts.size());
            const Vec3 got = verts[tris[t][k]];
            const Vec3 want = widen(facets[t].corners[k]);
            for (int a = 0; a < 3; ++a) {
                if (std::isnan(want[a])) {
                    EXPECT_TRUE(std::isnan(got[a])) << "triangle " << t << " corner " << k;
                } else {
                    EXPECT_EQ(got[a], want[a]) << "triangle " << t << " corner " << k;
                }
            }
        }
    }
    EXPECT_EQ(m.patch_names, std::vector<std::string>{"_default"});
    EXPECT_EQ(m.triangle_patch_ids, std::vector<std::uint64_t>(facets.size(), 0));
}

const std::vector<Facet> THREE_FACETS = {
    {{0, 0, 1}, {{{0.1f, 0, 0}, {1, 0, 0}, {0, 1, 0}}}},
    // Shares two corners with the first one, in another corner order.
    {{0, 0, -1}, {{{1, 0, 0}, {0.1f, 0, 0}, {0, -1, 0}}}},
    // A degenerate facet and a garbage normal: both kept as they are.
    {{NAN, 7, 7}, {{{2, 2, 2}, {2, 2, 2}, {-3.5f, 1e-3f, 16777217.0f}}}},
};

TEST(LoadStl, BinaryKeepsFacetsInFileOrder) {
    TempDir dir;
    // Bytes after the announced records are not read.
    const auto r = mesh::load_stl(dir.write("body.stl", binary_stl(THREE_FACETS) + "trailing"));
    ASSERT_TRUE(r.ok()) << r.error();
    expect_facets(*r, THREE_FACETS);
    EXPECT_EQ(r->trimesh.vertices()[r->trimesh.triangles()[0][0]][0], 0.10000000149011612);
}

TEST(LoadStl, AsciiLoads) {
    const std::string body =
        "  facet normal 0 0 1\n"
        "    outer loop\n"
        "      vertex 0.1 0 0\n"
        "      vertex 1 0 0\n"
        "      vertex 0 1 0\n"
        "    endloop\n"
        "  endfacet\n"
        "\tfacet   normal 0 0 -1\n"
        "outer loop vertex +1 0 0 vertex 1e-1 -0 0e5\n"
        " vertex 0 -1.0e0 0 endloop endfacet\n";
    const std::vector<Facet> want = {THREE_FACETS[0], THREE_FACETS[1]};
    const std::size_t split = body.find("endfacet\n") + 9;
    std::string crlf;
    for (char c : "solid wing\n" + body + "endsolid wing\n") {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"LF", "solid wing\n" + body + "endsolid wing\n"},
        {"CRLF", crlf},
        {"no line feed at the end, no names", "solid \n" + body + "endsolid"},
        {"two solids", "solid a\n" + body.substr(0, split) + "endsolid a\n\nsolid b\n" +
                           body.substr(split) + "endsolid b\n\n"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = mesh::load_stl(dir.write("a.stl", c.text));
        ASSERT_TRUE(r.ok()) << r.error();
        expect_facets(*r, want);
        EXPECT_EQ(r->trimesh.vertices()[r->trimesh.triangles()[1][1]][0], 0.10000000149011612);
    }
}

std::string ascii_facet(const std::string& a, const std::string& b, const std::string& c) {
    return "facet normal 0 0 0\nouter loop\nvertex " + a + "\nvertex " + b + "\nvertex " + c +
           "\nendloop\nendfacet\n";
}

TEST(LoadStl, AsciiNumbersAreThe32BitValues) {
    TempDir dir;
    const std::string text = "solid n\n" +
                             ascii_facet("1e-45 -1e-50 3.4028235e38", "1e39 -1e39 nan",
                                         "INF -Infinity 0.30000001192092896") +
                             "endsolid n\n";
    const auto r = mesh::load_stl(dir.write("n.stl", text));
    ASSERT_TRUE(r.ok()) << r.error();
    const auto& v = r->trimesh.vertices();
    const auto& t = r->trimesh.triangles()[0];
    EXPECT_EQ(v[t[0]][0], double(std::numeric_limits<float>::denorm_min()));
    EXPECT_EQ(v[t[0]][1], 0.0);
    EXPECT_TRUE(std::signbit(v[t[0]][1]));
    EXPECT_EQ(v[t[0]][2], double(std::numeric_limits<float>::max()));
    EXPECT_EQ(v[t[1]][0], INFINITY);   // beyond the 32-bit range
    EXPECT_EQ(v[t[1]][1], -INFINITY);
    EXPECT_TRUE(std::isnan(v[t[1]][2]));
    EXPECT_EQ(v[t[2]][0], INFINITY);
    EXPECT_EQ(v[t[2]][1], -INFINITY);
    EXPECT_EQ(v[t[2]][2], double(0.3f));
}

// The encoding follows the first line alone: ASCII exactly when it is valid
// UTF-8 beginning with "solid ".
TEST(LoadStl, AsciiOrBinaryByTheFirstLine) {
    const std::string facets = ascii_facet("0 0 0", "1 0 0", "0 1 0");
    // A binary file whose header begins with "solid ": a -1.0f (bytes 00 00 80 bf)
    // makes its first line invalid UTF-8 before any line feed.
    const std::vector<Facet> negative = {{{0, 0, 1}, {{{-1, -1, -1}, {1, 0, 0}, {0, 1, 0}}}}};
    const std::string binary_solid = binary_stl(negative, {}, "solid part exported");
    ASSERT_EQ(binary_solid.find('\n'), std::string::npos);

    TempDir dir;
    {
        const auto r = mesh::load_stl(dir.write("b.stl", binary_solid));
        ASSERT_TRUE(r.ok()) << r.error();
        expect_facets(*r, negative);
    }
    // Headers with a line feed after "solid ": read as ASCII, which then fails.
    {
        const auto r = mesh::load_stl(dir.write("b.stl", binary_stl(negative, {}, "solid x\nmore")));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().rfind("Failed to read STL file: line 2: expected 'facet' or 'endsolid', found ", 0), 0u)
            << r.error();
    }
    // Text files that are not ASCII STL by that rule are read as binary: their
    // bytes 80-83 announce a count far beyond the file's size.
    const struct {
        const char* what;
        std::string text;
    } binary_texts[] = {
        {"the word solid alone", "solid\n" + facets + "endsolid\n"},
        {"capital SOLID", "SOLID x\n" + facets + "endsolid x\n"},
        {"tab after solid", "solid\tx\n" + facets + "endsolid x\n"},
        {"first line not UTF-8", "solid \xff\xfe\n" + facets + "endsolid\n"},
        {"blank before solid", " solid x\n" + facets + "endsolid x\n"},
    };
    for (const auto& c : binary_texts) {
        SCOPED_TRACE(c.what);
        ASSERT_GT(c.text.size(), 84u);
        const auto r = mesh::load_stl(dir.write("t.stl", c.text));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), "Failed to read STL file: failed to fill whole buffer");
    }
}

TEST(LoadStl, ReaderFailures) {
    const std::string one = binary_stl(THREE_FACETS).substr(0, 84 + 50);
    std::string count_one = binary_stl({}, 1);
    std::string huge = binary_stl({}, 0xFFFFFFFFu);
    const std::string good = ascii_facet("0 0 0", "1 0 0", "0 1 0");
    const std::string short_file = "failed to fill whole buffer";
    const struct {
        const char* what;
        std::string bytes;
        std::string message;
    } cases[] = {
        {"empty", "", short_file},
        {"the word solid alone", "solid", short_file},
        {"83 bytes", std::string(83, '\0'), short_file},
        {"header only, count 1", count_one, short_file},
        {"one record less a byte", count_one + std::string(49, '\0'), short_file},
        {"count 2, one record", binary_stl({THREE_FACETS[0]}, 2), short_file},
        {"count 2^32 - 1 in an 84-byte file", huge, short_file},
        {"ASCII: no facet and no endsolid", "solid x\n",
         "line 2: expected 'facet' or 'endsolid', found the end of the file"},
        {"ASCII: truncated inside a facet",
         "solid x\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0",
         "line 5: expected a number, found the end of the file"},
        {"ASCII: two vertices",
         "solid x\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nendloop\nendfacet\n",
         "line 6: expected 'vertex', found 'endloop'"},
        {"ASCII: four vertices", "solid x\n" + good.substr(0, good.find("endloop")) +
                                     "vertex 1 1 1\nendloop\nendfacet\nendsolid x\n",
         "line 7: expected 'endloop', found 'vertex'"},
        {"ASCII: bad number", "solid x\n" + ascii_facet("0 0 0", "1 zero 0", "0 1 0"),
         "line 5: expected a number, found 'zero'"},
        {"ASCII: number with junk", "solid x\n" + ascii_facet("0 0 0", "1 0 0", "0 1 0x1"),
         "line 6: expected a number, found '0x1'"},
        {"ASCII: non-UTF-8 byte in a number", "solid x\n" + ascii_facet("0 0 0", "1 0 0", "0 1 \xff"),
         "line 6: expected a number, found '\\xff'"},
        {"ASCII: normal missing", "solid x\nfacet\nouter loop\n",
         "line 3: expected 'normal', found 'outer'"},
        {"ASCII: no endfacet", "solid x\n" + good.substr(0, good.find("endfacet")) + "endsolid x\n",
         "line 8: expected 'endfacet', found 'endsolid'"},
        {"ASCII: junk after endsolid", "solid x\n" + good + "endsolid x\nfoo bar\n",
         "line 10: expected 'solid' or the end of the file, found 'foo'"},
        {"ASCII: long junk token", "solid x\n" + std::string(60, 'q'),
         "line 2: expected 'facet' or 'endsolid', found '" + std::string(40, 'q') + "...'"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = mesh::load_stl(dir.write("bad.stl", c.bytes));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), "Failed to read STL file: " + c.message);
    }
}

TEST(LoadStl, NoTriangleIsAnInternalError) {
    const std::string cases[] = {
        binary_stl({}, 0),
        binary_stl({}, 0) + std::string(49, 'x'),
        "solid x\nendsolid x\n",
    };
    TempDir dir;
    for (const std::string& bytes : cases) {
        try {
            (void)mesh::load_stl(dir.write("none.stl", bytes));
            ADD_FAILURE() << "no internal error for " << bytes.size() << " bytes";
        } catch (const InternalError& e) {
            EXPECT_STREQ(e.what(), "Failed to build TriMesh: EmptyIndices");
        }
    }
}

TEST(LoadStl, FileSystemFailures) {
    TempDir dir;
    const std::string good = dir.write("good.stl", binary_stl(THREE_FACETS));
    std::filesystem::create_directory(dir.path() + "/folder.stl");
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {dir.path() + "/missing.stl", "Failed to open STL file: No such file or directory (os error 2)"},
        {dir.path() + "/folder.stl", "Failed to read STL file: Is a directory (os error 21)"},
        {good + "/x.stl", "Failed to open STL file: Not a directory (os error 20)"},
        // Must not open the file named by the part before the NUL.
        {good + "\0.stl"s, "Failed to open STL file: path contains a NUL byte"},
    };
    for (const auto& c : cases) {
        const auto r = mesh::load_stl(c.path);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), c.message);
    }
}

TEST(LoadStl, NonFiniteCoordinatesLoadAsGiven) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<Facet> facets = {
        {{0, 0, 1}, {{{nan, 0, 0}, {1, 0, 0}, {0, 1, 0}}}},
        {{0, 0, 1}, {{{inf, -inf, 0}, {1, 0, 0}, {0, nan, inf}}}},
        {{0, 0, 1}, {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}}},
    };
    TempDir dir;
    const auto r = mesh::load_stl(dir.write("nan.stl", binary_stl(facets)));
    ASSERT_TRUE(r.ok()) << r.error();
    expect_facets(*r, facets);
}

TEST(LoadStl, LargeBinarySameForAnyThreadCount) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> coord(-100, 100);
    std::vector<Facet> facets(70000);
    for (Facet& f : facets) {
        for (F3& c : f.corners) c = {coord(rng), coord(rng), coord(rng)};
    }
    TempDir dir;
    const std::string path = dir.write("big.stl", binary_stl(facets));
    const auto one = parallel::with_threads(1, [&] { return mesh::load_stl(path); });
    const auto all = mesh::load_stl(path);
    ASSERT_TRUE(one.ok() && all.ok());
    expect_facets(*all, facets);
    EXPECT_EQ(one->trimesh.vertices(), all->trimesh.vertices());
    EXPECT_EQ(one->trimesh.triangles(), all->trimesh.triangles());
}

// Binary files are read in blocks of some megabytes: records cut at a block's
// end, counts that end before or after the file does, and headers that begin
// like ASCII files must come out as a reader of the whole file gives them.
TEST(LoadStl, BinaryFilesLongerThanAReadBlock) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> coord(-100, 100);
    std::vector<Facet> facets(190000);  // 9.5 MB of records
    for (Facet& f : facets) {
        for (F3& c : f.corners) c = {coord(rng), coord(rng), coord(rng)};
    }
    const std::vector<Facet> first_few(facets.begin(), facets.begin() + 1000);
    const auto n = static_cast<std::uint32_t>(facets.size());
    const struct {
        const char* what;
        std::string bytes;
        const std::vector<Facet>* loaded;  // null: the file is too short
    } cases[] = {
        {"records only", binary_stl(facets), &facets},
        {"a header that starts like ASCII, first line not UTF-8", binary_stl(facets, {}, "solid \xff\xfe"), &facets},
        {"megabytes past the announced records", binary_stl(facets, 1000), &first_few},
        {"one record more announced than present", binary_stl(facets, n + 1), nullptr},
        {"the last record cut short", binary_stl(facets).substr(0, 84 + 50 * facets.size() - 1), nullptr},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.write("big.stl", c.bytes);
        const auto all = mesh::load_stl(path);
        const auto one = parallel::with_threads(1, [&] { return mesh::load_stl(path); });
        if (c.loaded == nullptr) {
            ASSERT_FALSE(all.ok());
            EXPECT_EQ(all.error(), "Failed to read STL file: failed to fill whole buffer");
            ASSERT_FALSE(one.ok());
            EXPECT_EQ(one.error(), all.error());
            continue;
        }
        ASSERT_TRUE(all.ok()) << all.error();
        ASSERT_TRUE(one.ok()) << one.error();
        expect_facets(*all, *c.loaded);
        EXPECT_EQ(one->trimesh.vertices(), all->trimesh.vertices());
        EXPECT_EQ(one->trimesh.triangles(), all->trimesh.triangles());
    }
}

// ASCII files of some megabytes are read in blocks on the pool: the same
// triangles on any thread count, and an error in a late block reported with
// its line as a reading from the start gives it.
TEST(LoadStl, LargeAsciiInBlocks) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> coord(-100, 100);
    std::vector<Facet> facets(15000);
    for (Facet& f : facets) {
        for (F3& c : f.corners) c = {coord(rng), coord(rng), coord(rng)};
    }
    // Facet j takes lines 2 + 7j to 8 + 7j, its corner k line 4 + 7j + k.
    auto text = [&](std::size_t broken_facet) {
        std::string s = "solid big\n";
        char number[32];
        for (std::size_t j = 0; j < facets.size(); ++j) {
            s += "facet normal 0 0 1\nouter loop\n";
            for (std::size_t k = 0; k < 3; ++k) {
                s += "vertex";
                for (int a = 0; a < 3; ++a) {
                    std::snprintf(number, sizeof number, " %.9g", double(facets[j].corners[k][a]));
                    s += j == broken_facet && k == 1 && a == 1 ? std::string(" oops") : std::string(number);
                }
                s += '\n';
            }
            s += "endloop\nendfacet\n";
        }
        return s + "endsolid big\n";
    };
    TempDir dir;
    const std::string whole = text(facets.size());
    ASSERT_GT(whole.size(), std::size_t{2} << 20);
    const std::string path = dir.write("big.stl", whole);
    const auto all = mesh::load_stl(path);
    const auto one = parallel::with_threads(1, [&] { return mesh::load_stl(path); });
    ASSERT_TRUE(all.ok()) << all.error();
    ASSERT_TRUE(one.ok()) << one.error();
    expect_facets(*all, facets);
    EXPECT_EQ(one->trimesh.vertices(), all->trimesh.vertices());
    EXPECT_EQ(one->trimesh.triangles(), all->trimesh.triangles());

    const auto broken = mesh::load_stl(dir.write("broken.stl", text(11000)));
    ASSERT_FALSE(broken.ok());
    EXPECT_EQ(broken.error(), "Failed to read STL file: line 77005: expected a number, found 'oops'");
}

}  // namespace
}  // namespace quorin
