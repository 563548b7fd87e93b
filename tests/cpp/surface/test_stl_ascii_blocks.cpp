// The block reader of ASCII STL text against the token-by-token reading:
// the same arrays and the same first error, whatever the block length and
// the thread count.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quorin/parallel.hpp"
#include "quorin/surface/stl_ascii.hpp"
#include "quorin/surface/stl_ascii_serial.hpp"

namespace quorin {
namespace {

using mesh::detail::parse_ascii_stl;
using mesh::detail::read_ascii_stl_serial;
using mesh::detail::STL_MAX_VERTICES;
using mesh::detail::StlSurface;

constexpr std::size_t THREADS[] = {1, 8};

// Block lengths from one line per block up to the whole text in one.
const std::vector<std::size_t> SOME_LENGTHS = {1, 2, 3, 5, 8, 13, 40, 97, 256, std::size_t{1} << 20};

// Every block length from one byte to the whole text: blocks then end after
// each line of the text in turn.
std::vector<std::size_t> every_length(const std::string& text) {
    std::vector<std::size_t> lengths;
    for (std::size_t n = 1; n <= text.size() + 1; ++n) lengths.push_back(n);
    return lengths;
}

// Bitwise, so that NaN coordinates compare equal to themselves.
bool same_vertices(const Buffer<Vec3>& a, const Buffer<Vec3>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Vec3)) == 0);
}

void expect_same(const Expected<StlSurface>& got, const Expected<StlSurface>& want) {
    ASSERT_EQ(got.ok(), want.ok()) << (got.ok() ? want.error() : got.error());
    if (!want.ok()) {
        EXPECT_EQ(got.error(), want.error());
        return;
    }
    EXPECT_TRUE(same_vertices(got->vertices, want->vertices));
    EXPECT_EQ(got->faces, want->faces);
}

// The block reader at each block length and thread count against the
// token-by-token reading of `text`.
void expect_as_serial(const std::string& text, const std::vector<std::size_t>& lengths = SOME_LENGTHS,
                      std::size_t max_vertices = STL_MAX_VERTICES) {
    const Expected<StlSurface> want = read_ascii_stl_serial(text, max_vertices);
    for (const std::size_t threads : THREADS) {
        parallel::with_threads(threads, [&] {
            for (const std::size_t length : lengths) {
                SCOPED_TRACE("threads " + std::to_string(threads) + ", blocks of " + std::to_string(length));
                expect_same(parse_ascii_stl(text, length, max_vertices), want);
                if (::testing::Test::HasFailure()) return;
            }
        });
    }
}

std::string facet(const std::string& a, const std::string& b, const std::string& c,
                  const std::string& normal = "0 0 1") {
    return "  facet normal " + normal + "\n    outer loop\n      vertex " + a + "\n      vertex " + b +
           "\n      vertex " + c + "\n    endloop\n  endfacet\n";
}

// `count` facets of distinct corners, the first numbered `first`.
std::string facets(std::size_t count, std::size_t first = 0) {
    std::string s;
    for (std::size_t i = first; i < first + count; ++i) {
        const std::string n = std::to_string(i);
        s += facet(n + " 0.5 -1", "1e-3 " + n + ".25 2", "-" + n + " 3 " + n + "e2");
    }
    return s;
}

// The same tokens with every run of blanks and line feeds replaced by `space`.
std::string respaced(const std::string& text, const std::string& space) {
    std::string s;
    bool in_space = false;
    for (const char c : text) {
        const bool blank = c == ' ' || c == '\n';
        if (blank && !in_space) s += space;
        if (!blank) s += c;
        in_space = blank;
    }
    return s;
}

TEST(StlAsciiBlocks, SameSurfaceAsSerial) {
    const std::string body = facets(4);
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"facets of seven lines", "solid part\n" + body + "endsolid part\n"},
        {"one token per line: blocks cut a facet at every token",
         "solid part\n" + respaced(body, "\n") + "\nendsolid part\n"},
        {"all facets on one line", "solid part\n" + respaced(body, " ") + " endsolid part\n"},
        {"two facets per line",
         "solid p\n" + respaced(facets(2), " ") + "\n" + respaced(facets(2, 2), " ") + "\nendsolid\n"},
        {"several solids, names with spaces, blank lines between",
         "solid first part\n" + facets(2) + "endsolid first part\n\n\nsolid   second  part \n" +
             facets(3, 2) + "endsolid second  part\nsolid\n" + facets(1, 5) + "endsolid\n\n"},
        {"a solid without facets between two others",
         "solid a\n" + facets(2) + "endsolid a\nsolid empty\nendsolid empty\nsolid b\n" + facets(2, 2) +
             "endsolid b\n"},
        {"names made of facet keywords are skipped",
         "solid facet normal 0 0 1 outer loop\n" + facets(2) + "endsolid " + respaced(facets(1), " ") +
             "\nsolid facet\n" + facets(2, 2) + "endsolid facet\n"},
        {"CRLF, tabs, vertical tabs and form feeds",
         "solid x\r\n" + respaced(facets(3), "\r\n\t") + "\r\n\v\fendsolid x\r\n"},
        {"no line feed at the end", "solid \n" + body + "endsolid"},
        {"nothing after endsolid's name", "solid \n" + body + "endsolid name"},
        {"numbers of every form",
         "solid n\n" +
             facet("1e-45 -1e-50 3.4028235e38", "1e39 -1e39 nan", "INF -Infinity 0.30000001192092896",
                   "+1 -0 .5") +
             facet("+.5e+1 5. -0.0", "1E5 0e0 NaN", "infinity 1e-400 -1e400", "nan inf 1") + "endsolid n\n"},
        {"no facets at all", "solid x\nendsolid x\n"},
        {"no facets, several solids", "solid x\nendsolid x\nsolid y\n\nendsolid y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(read_ascii_stl_serial(c.text).ok()) << read_ascii_stl_serial(c.text).error();
        expect_as_serial(c.text, every_length(c.text));
    }
}

TEST(StlAsciiBlocks, SameFirstErrorAsSerial) {
    const std::string good = facets(3);
    const std::string late = facets(6, 3);
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"a bad number in a late block",
         "solid x\n" + good + late + facet("1 2 3", "4 5 6", "7 8 x") + "endsolid\n"},
        {"a bad number in a late normal",
         "solid x\n" + good + late + facet("1 2 3", "4 5 6", "7 8 9", "0 - 1")},
        {"a missing keyword in a late block",
         "solid x\n" + good + late + "facet normal 0 0 1 outer vertex 1 2 3\nendsolid\n"},
        {"a bad number early and another late: the early one",
         "solid x\n" + facet("1 2 3", "4 y 6", "7 8 9") + late + facet("1 2 3", "4 5 6", "7 8 z")},
        {"a bad number early, a missing keyword late: the number",
         "solid x\n" + facet("1 2 3", "4 y 6", "7 8 9") + late + "facet outer loop\n"},
        {"a missing keyword early, a bad number late: the keyword",
         "solid x\n" + good + "facet normal 0 0 1\nloop\n" + late + facet("1 2 3", "4 5 6", "7 8 z")},
        {"a bad number in one solid, junk after another",
         "solid a\n" + good + facet("1 2 3", "4 5 6", "7 8 q") + "endsolid a\nsolid b\n" + late +
             "endsolid b\njunk"},
        {"numbers with junk",
         "solid x\n" + good + facet("1.5x 0 0", "0 0 0", "0 0 0") + facet("0x1 0 0", "0 0 0", "0 0 0")},
        {"number forms that are not numbers",
         "solid x\n" + good + facet("1 2 3", "4 5 6", "1e 2 3") + facet("--1 +-2 1..2", "0 0 0", "0 0 0")},
        {"a non-UTF-8 byte in a number", "solid x\n" + good + facet("1 2 3", "4 5 \xff", "7 8 9")},
        {"a long bad token",
         "solid x\n" + good + facet("1 2 3", "4 5 " + std::string(60, '7') + "q", "7 8 9")},
        {"two vertices",
         "solid x\n" + good + "facet normal 0 0 1 outer loop vertex 0 0 0 vertex 1 0 0 endloop\n"},
        {"four vertices",
         "solid x\n" + good +
             "facet normal 0 0 1 outer loop vertex 0 0 0 vertex 1 0 0 vertex 1 1 0 vertex 0 1 0 "
             "endloop endfacet\n" +
             late},
        {"a number missing", "solid x\n" + good + facet("1 2", "4 5 6", "7 8 9") + late},
        {"normal missing", "solid x\n" + good + "facet\nouter loop\n" + late},
        {"endfacet missing before endsolid", "solid x\n" + good +
                                                 "facet normal 0 0 1 outer loop vertex 0 0 0 "
                                                 "vertex 1 0 0 vertex 0 1 0 endloop\nendsolid x\n"},
        {"junk between facets", "solid x\n" + good + "vertex 1 2 3\n" + late},
        {"junk after endsolid", "solid x\n" + good + late + "endsolid x\nfoo bar\n"},
        {"solid after endsolid, then the end", "solid x\n" + good + "endsolid x\nsolid y\n"},
        {"no endsolid", "solid x\n" + good + late},
        {"CRLF line numbers", "solid x\r\n" + respaced(good + late, "\r\n") +
                                  "\r\nfacet normal 1 2 3 outer loop "
                                  "vertex 1 2 3 vertex 4 5 6 vertex a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_FALSE(read_ascii_stl_serial(c.text).ok());
        expect_as_serial(c.text, every_length(c.text));
    }
}

TEST(StlAsciiBlocks, TruncatedAnywhere) {
    // Every prefix of a text: cut inside each token of a facet, between
    // tokens, and around endsolid and a second solid.
    const std::string text =
        "solid a\n" + facets(3) + "endsolid a\nsolid b\n" + respaced(facets(2, 3), " ") + "\nendsolid b\n";
    for (std::size_t n = 0; n <= text.size(); ++n) {
        SCOPED_TRACE("the first " + std::to_string(n) + " bytes");
        expect_as_serial(text.substr(0, n), {1, 7, 40});
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(StlAsciiBlocks, TooManyTriangles) {
    // A small vertex limit stands for the 32-bit one: the facet that would
    // cross it fails at its "loop" line unless a bad number comes first.
    const std::string text =
        "solid x\n" + facets(3) + "endsolid x\nsolid y\n" + facets(6, 3) + "endsolid y\n";
    const std::string bad_normal =
        "solid x\n" + facets(4) + facet("1 2 3", "4 5 6", "7 8 9", "0 x 1") + facets(4, 5);
    const std::string bad_corner = "solid x\n" + facets(4) + facet("1 2 3", "4 5 x", "7 8 9") + facets(4, 5);
    for (const std::size_t max_vertices : {0, 2, 3, 14, 15, 17, 26, 27, 30}) {
        SCOPED_TRACE("at most " + std::to_string(max_vertices) + " vertices");
        for (const std::string* t : {&text, &bad_normal, &bad_corner}) {
            expect_as_serial(*t, {1, 8, 64, 200}, max_vertices);
        }
    }
    // The fifth facet takes lines 30 to 36, "outer loop" on line 31.
    const auto normal_first = read_ascii_stl_serial(bad_normal, 14);
    ASSERT_FALSE(normal_first.ok());
    EXPECT_EQ(normal_first.error(), "line 30: expected a number, found 'x'");
    const auto too_many = read_ascii_stl_serial(bad_corner, 14);
    ASSERT_FALSE(too_many.ok());
    EXPECT_EQ(too_many.error(), "line 31: too many triangles for 32-bit vertex indices");
}

// A text of several solids whose tokens are then mangled at random: tokens
// dropped, doubled or replaced, whitespace changed, lines joined or split.
std::string random_text(std::mt19937& rng) {
    static const char* const JUNK[] = {"facet", "endfacet", "vertex", "solid", "endsolid", "loop", "x",
                                       "1e",    "nan",      "-0",     "",      "\n",       "\r\n", "\t"};
    std::string text = "solid first\n";
    for (std::size_t s = 1 + rng() % 3; s > 0; --s) {
        text += facets(rng() % 6, rng() % 100);
        if (s > 1) text += "endsolid x y\nsolid z\n";
    }
    if (rng() % 4 != 0) text += "endsolid first\n";
    for (std::size_t m = rng() % 3; m > 0; --m) {
        const std::size_t at = 12 + rng() % (text.size() - 11);
        const std::size_t length = rng() % 12;
        text.replace(at, std::min(length, text.size() - at), JUNK[rng() % std::size(JUNK)]);
    }
    return text;
}

TEST(StlAsciiBlocks, RandomTextsAsSerial) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 400; ++round) {
        const std::string text = random_text(rng);
        SCOPED_TRACE(text);
        expect_as_serial(text, {1 + rng() % 8, 8 + rng() % 64, 64 + rng() % 256});
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(StlAsciiBlocks, ManyBlocksOnManyThreads) {
    // Thousands of blocks, and then the same with an error in each of the
    // later ones: the first in file order is reported.
    std::string text = "solid big\n" + facets(20000) + "endsolid big\n";
    expect_as_serial(text, {512, 4096, 65536});
    std::string broken = text;
    for (std::size_t at = broken.size() / 3; at < broken.size(); at += broken.size() / 50) {
        broken[broken.find("vertex ", at) + 7] = '?';
    }
    ASSERT_FALSE(read_ascii_stl_serial(broken).ok());
    expect_as_serial(broken, {512, 4096, 65536});
    // Facets on one line after a name that reads like a facet: no block
    // vouches for any, all are read token by token.
    const std::string unvouched =
        "solid a\nendsolid facet\nsolid b\n" + respaced(facets(20000), " ") + "endsolid\n";
    expect_as_serial(unvouched, {512});
}

TEST(StlAsciiBlocks, SharedDataFileAsSerial) {
    const std::string path = std::string(QUORIN_DATA_DIR) + "/gearwheel.ascii.stl";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent";
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_TRUE(read_ascii_stl_serial(text).ok());
    expect_as_serial(text, {61, 997, 16384, 1 << 20});
}

}  // namespace
}  // namespace quorin
