// The block parser of OBJ text against the serial reference: same arrays,
// same first error, whatever the block length and the thread count.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quorin/parallel.hpp"
#include "quorin/surface/obj_blocks.hpp"
#include "quorin/surface/obj_parse.hpp"
#include "obj_serial_reference.hpp"

namespace quorin {
namespace {

using namespace std::string_literals;

using mesh::detail::cut_blocks;
using mesh::detail::ObjSurface;
using mesh::detail::parse_obj;
using mesh::detail::parse_obj_serial;

// Block lengths from one line per block up to the whole text in one.
constexpr std::size_t BLOCK_LENGTHS[] = {1, 2, 5, 13, 40, 1 << 20};
constexpr std::size_t THREADS[] = {1, 8};

// Bitwise, so that NaN coordinates compare equal to themselves.
bool same_vertices(const Buffer<Vec3>& a, const Buffer<Vec3>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Vec3)) == 0);
}

void expect_same(const Expected<ObjSurface>& got, const Expected<ObjSurface>& want) {
    ASSERT_EQ(got.ok(), want.ok()) << (got.ok() ? want.error() : got.error());
    if (!want.ok()) {
        EXPECT_EQ(got.error(), want.error());
        return;
    }
    EXPECT_TRUE(same_vertices(got->vertices, want->vertices));
    EXPECT_EQ(got->triangles, want->triangles);
    EXPECT_EQ(got->patch_names, want->patch_names);
    EXPECT_EQ(got->patch_ids, want->patch_ids);
}

// The block parser at every block length and thread count against the
// serial reading of `text`.
void expect_as_serial(const std::string& text,
                      const std::vector<std::size_t>& lengths = {std::begin(BLOCK_LENGTHS),
                                                                 std::end(BLOCK_LENGTHS)}) {
    const Expected<ObjSurface> want = parse_obj_serial(text);
    for (const std::size_t threads : THREADS) {
        for (const std::size_t length : lengths) {
            SCOPED_TRACE("threads " + std::to_string(threads) + ", blocks of " +
                         std::to_string(length));
            const Expected<ObjSurface> got =
                parallel::with_threads(threads, [&] { return parse_obj(text, length); });
            expect_same(got, want);
        }
    }
}

const std::string V3 = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";

TEST(ObjBlocks, CutAfterLineFeeds) {
    const struct {
        std::string text;
        std::size_t length;
        std::vector<std::string> blocks;
    } cases[] = {
        {"", 4, {}},
        {"ab\ncd\nef", 1, {"ab\n", "cd\n", "ef"}},
        {"ab\ncd\nef\n", 3, {"ab\n", "cd\n", "ef\n"}},
        {"ab\ncd\nef\n", 4, {"ab\ncd\n", "ef\n"}},
        {"a\n\n\nb\n", 1, {"a\n", "\n", "\n", "b\n"}},
        {"a long line\nb\n", 2, {"a long line\n", "b\n"}},
        {"no line feed at all", 3, {"no line feed at all"}},
        {"ab\ncd\n", 100, {"ab\ncd\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto blocks = cut_blocks(c.text, c.length);
        EXPECT_EQ(std::vector<std::string>(blocks.begin(), blocks.end()), c.blocks);
    }
}

TEST(ObjBlocks, SameSurfaceAsSerial) {
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"objects and groups spanning blocks",
         "o first hull\n" + V3 + "g a extra\nf 1 2 3\nl 1 2\n\n\ng b\np 3\nf 3 2 1\n" +
             "o second\n" + V3 + V3 + "f 4 5 6 7 8 9\ng a\nf 9 8 7\ng\nf 4 5 6\n"},
        {"a group set blocks before its faces, then met again in another object",
         "g wall\n" + V3 + "\n\n\n\n# filler\n# filler\nf 1 2 3\no x\ng wall\n" + V3 +
             "f 4 5 6\no\ng wall\n" + V3 + "f 7 8 9\n"},
        {"patch names that coincide from different objects and groups",
         "o a\n" + V3 + "g b_c\nf 1 2 3\no a_b\n" + V3 + "g c\nf 4 5 6\n"},
        {"stretches with points and lines only enter their patches in order",
         V3 + "g lines\nl 1 2\ng points\np 1 2 3\ng none\ng faces\nf 1 2 3\n"},
        {"an object without vertices or shapes between two others",
         "o a\n" + V3 + "f 1 2 3\no empty\no b\n" + V3 + "f 6 5 4\n"},
        {"CRLF, comments, tabs, blanks and ignored statements",
         "# head\r\nmtllib m.mtl\r\n\r\no  body  # c\r\nv 0 0 0 1\r\nv\t1 0 0\r\n"
         "v 0 1 0 0.5 0.5 0.5\r\nusemtl steel\r\ns off\r\nvt 0 0\r\nvn 0 0 1\r\nvp 1\r\n"
         "g wall # more\r\n   \r\nf 1/1/1 2//1 3/1\r\n"},
        {"no line feed after the last face", V3 + "f 1 2 3"},
        {"values of every form", "v 0.1 -2.5e-3 1e300\nv +1 .5 5.\nv 1e-400 -1e400 nan\nf 1 2 3\n"},
        {"a face line longer than many blocks", V3 + "v 1 1 1\nv 2 2 2\nf 1 2 3 4 5" +
                                                    std::string(50, ' ') + "\n"},
        {"empty", ""},
        {"line feeds only", "\n\n\n"},
        {"comments only, no line feed", "# a\n# b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expect_as_serial(c.text);
    }
}

TEST(ObjBlocks, SameFirstErrorAsSerial) {
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"errors in an early and a late block: the early one",
         V3 + "f 1 2 3\nv 1 2\n" + V3 + "f 1 2 3\ncurv 1\n"},
        {"a range error before a form error in a later block",
         V3 + "f 1 2 4\n" + V3 + "v 0 0 x\n"},
        {"a form error before a range error in a later block",
         V3 + "f 1 x 3\n" + V3 + "f 1 2 99\n"},
        {"the range of an object begun blocks before",
         "o a\n" + V3 + "f 1 2 3\no b\n" + V3 + "\n\n\n\n\n" + V3 + "f 4 5 10\n"},
        {"a vertex of the object before, named blocks later",
         "o a\n" + V3 + "o b\n" + V3 + "# pad\n# pad\n# pad\nf 4 5 3\n"},
        {"an object without vertices, its face blocks later",
         V3 + "o b\n\n\n\n# pad\nf 1 2 3\n"},
        {"a vertex listed after the face that names it",
         "v 0 0 0\nv 1 0 0\nf 1 2 3\nv 0 1 0\n"},
        {"a range error on a corner before a malformed one", V3 + "f 1 9 x\n"},
        {"a malformed corner before a range error", V3 + "f 1 x 9\n"},
        {"an error on the last line without a line feed", V3 + "f 1 2 3\nf 1 2 0"},
        {"CRLF line numbers", V3 + "\r\n\r\n# c\r\nvn 0 1\r\n"},
        {"an unknown statement in the first block only", "curv 0 1\n" + V3 + "f 1 2 3\n"},
        {"invalid UTF-8 in a late block wins over an early parse error",
         V3 + "f 1 2 9\n" + V3 + "# \xff\n"},
        {"a face without corners after groups in earlier blocks",
         V3 + "g a\nf 1 2 3\ng b\n\n\nf # none\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_FALSE(parse_obj_serial(c.text).ok());
        expect_as_serial(c.text);
    }
}

// A random mixture of statements, valid and not, so that objects, groups,
// errors and block cuts meet in every arrangement.
std::string random_obj(std::mt19937& rng, std::size_t lines) {
    static const char* const STATEMENTS[] = {
        "v 0 0 0",  "v 1 2 3",   "v 1 x 3",   "v 1 2",    "f 1 2 3",    "f 1 2 3 4",
        "f 2 3 4 5 6", "f -1 1 2", "f 1 2/1 3//2", "f 1 2//", "l 1 2",  "l 3 4 5",
        "p 2",      "f 1",       "f",         "o",        "o a",        "o b c",
        "g",        "g a",       "g b a",     "g c",      "# comment",  "",
        "vn 0 0 1", "vt 0",      "s 1",       "curv 1",   "v 4 5 6\r",  "f 3 2 1 # c",
    };
    constexpr std::size_t KINDS = std::size(STATEMENTS);
    std::string text;
    for (std::size_t i = 0; i < lines; ++i) {
        // Vertices twice as often, so that most faces are in range.
        const std::size_t k = rng() % (KINDS + 4);
        text += k >= KINDS ? "v 0 1 2" : STATEMENTS[k];
        if (i + 1 < lines || rng() % 2) text += '\n';
    }
    return text;
}

// Texts that parse, made of objects of vertices and faces within range.
std::string random_valid_obj(std::mt19937& rng, std::size_t objects) {
    std::string text;
    std::size_t vertices = 0;
    for (std::size_t o = 0; o < objects; ++o) {
        if (o > 0 || rng() % 2) text += "o body" + std::to_string(rng() % 3) + "\n";
        const std::size_t first = vertices;
        const std::size_t own = 3 + rng() % 6;
        for (std::size_t v = 0; v < own; ++v, ++vertices) {
            text += "v " + std::to_string(rng() % 100) + " 0." + std::to_string(rng() % 1000) +
                    " -" + std::to_string(v) + "\n";
        }
        for (std::size_t f = rng() % 6; f > 0; --f) {
            if (rng() % 3 == 0) text += "g grp" + std::to_string(rng() % 4) + "\n";
            const std::size_t corners = 1 + rng() % 5;
            text += corners < 3 && rng() % 2 ? "l" : "f";
            for (std::size_t c = 0; c < corners; ++c) {
                text += ' ';
                text += std::to_string(first + 1 + rng() % own);
            }
            text += "\n";
        }
    }
    return text;
}

TEST(ObjBlocks, RandomTextsAsSerial) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 300; ++round) {
        const std::string text =
            round % 2 ? random_obj(rng, 1 + rng() % 40) : random_valid_obj(rng, 1 + rng() % 6);
        SCOPED_TRACE(text);
        expect_as_serial(text, {1 + rng() % 8, 8 + rng() % 64});
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(ObjBlocks, ManyBlocksOnManyThreads) {
    // Several thousand blocks, and then the same with an error in each of
    // the later ones: the first in file order is reported.
    std::mt19937 rng(7);
    std::string text;
    for (int piece = 0; piece < 200; ++piece) text += random_valid_obj(rng, 5);
    expect_as_serial(text, {64, 4096});
    std::string broken = text;
    for (std::size_t at = broken.size() / 3; at < broken.size(); at += broken.size() / 50) {
        const std::size_t line_start = broken.rfind('\n', at) + 1;
        broken.insert(line_start, "v 1 2\n");
    }
    ASSERT_FALSE(parse_obj_serial(broken).ok());
    expect_as_serial(broken, {64, 4096});
}

TEST(ObjBlocks, SharedDataFileAsSerial) {
    const std::string path = std::string(QUORIN_DATA_DIR) + "/bunny_gear_multipart.obj";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent";
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_TRUE(parse_obj_serial(text).ok());
    expect_as_serial(text, {997, 16384, 1 << 20});
}

}  // namespace
}  // namespace quorin
