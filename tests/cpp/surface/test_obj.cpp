#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../temp_dir.hpp"

#include "quorin/surface/obj.hpp"

namespace quorin {
namespace {

using namespace std::string_literals;

using testing::TempDir;

// Three vertices, for files that need some and do not care which.
const std::string V3 = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
const std::string V4 = V3 + "v 1 1 0\n";

TEST(LoadObj, PatchesTrianglesAndFans) {
    const struct {
        const char* what;
        std::string text;
        std::vector<Triangle> triangles;
        std::vector<std::string> patches;
        std::vector<std::uint64_t> ids;
    } cases[] = {
        {"no o, no g; a triangle's fan starts at its last corner", V3 + "f 1 2 3\n",
         {{2, 0, 1}}, {"_default"}, {0}},
        {"quadrilateral", V4 + "f 1 2 3 4\n", {{3, 0, 1}, {3, 1, 2}}, {"_default"}, {0, 0}},
        {"pentagon", V4 + "v 2 2 2\nf 1 2 3 4 5\n", {{4, 0, 1}, {4, 1, 2}, {4, 2, 3}},
         {"_default"}, {0, 0, 0}},
        {"unnamed object, groups a then b", V3 + "g a\nf 1 2 3\ng b\nf 3 2 1\n",
         {{2, 0, 1}, {0, 2, 1}}, {"a", "b"}, {0, 1}},
        {"a group met again reuses its id", V3 + "g a\nf 1 2 3\ng b\nf 1 2 3\ng a\nf 2 3 1\n",
         {{2, 0, 1}, {2, 0, 1}, {0, 1, 2}}, {"a", "b"}, {0, 1, 0}},
        {"two objects with the same group; the second indexes its own vertices",
         "o p\n" + V3 + "g g\nf 1 2 3\no q\n" + V4 + "g g\nf 4 5 6 7\n",
         {{2, 0, 1}, {6, 3, 4}, {6, 4, 5}}, {"p_g", "q_g"}, {0, 1, 1}},
        {"an object without groups", "o hull\n" + V3 + "f 1 2 3\n", {{2, 0, 1}},
         {"hull__default"}, {0}},
        {"a group of points and lines only comes first",
         V3 + "g edges\nl 1 2\np 1 3\nf 2\nl 3 1\ng wall\nf 1 2 3\n", {{2, 0, 1}},
         {"edges", "wall"}, {1}},
        {"a point and a line in the default group", V3 + "f 1\nl 1 2\ng a\nf 1 2 3\n",
         {{2, 0, 1}}, {"_default", "a"}, {1}},
        {"only the first of several group names counts",
         V3 + "g a b\nf 1 2 3\ng b a\nf 1 2 3\n", {{2, 0, 1}, {2, 0, 1}}, {"a", "b"}, {0, 1}},
        {"a bare g returns to no group", V3 + "g a\nf 1 2 3\ng\nf 1 2 3\n",
         {{2, 0, 1}, {2, 0, 1}}, {"a", "_default"}, {0, 1}},
        {"an o ends the groups in force",
         V3 + "g a\nf 1 2 3\no b\n" + V3 + "f 4 5 6\n", {{2, 0, 1}, {5, 3, 4}},
         {"a", "b__default"}, {0, 1}},
        {"a group with no shape enters no patch", V3 + "g unused\ng used\nf 1 2 3\n",
         {{2, 0, 1}}, {"used"}, {0}},
        {"an l statement with three corners is a fan too", V3 + "l 1 2 3\n", {{2, 0, 1}},
         {"_default"}, {0}},
        {"corner forms with texture and normal indices",
         V3 + "vt 0 0\nvt 1 0\nvt 0 1 0\nvn 0 0 1\n"
              "f 1/1/1 2/2/1 3/3/1\nf 1//1 2//1 3//1\nf 1/1 2/2 3/3\n",
         {{2, 0, 1}, {2, 0, 1}, {2, 0, 1}}, {"_default"}, {0, 0, 0}},
        {"comments, CRLF, tabs, blank lines and ignored statements",
         "# a comment\r\nmtllib parts.mtl\r\n\r\no  body  # trailing comment\r\n"s +
             "v 0 0 0 1\r\nv\t1 0 0\r\nv 0 1 0 0.5 0.5 0.5\r\n"
             "usemtl steel\r\ns off\r\ns 1\r\nvp 0.5\r\n"
         "g wall # more\r\n   \r\n",
         {}, {}, {}},
        {"object names keep inner blanks, group names are UTF-8",
         "o my part\n" + V3 + "g w\xc3\xa4nd\nf 1 2 3\n", {{2, 0, 1}},
         {"my part_w\xc3\xa4nd"}, {0}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string text = c.text;
        std::vector<Triangle> triangles = c.triangles;
        std::vector<std::string> patches = c.patches;
        std::vector<std::uint64_t> ids = c.ids;
        if (triangles.empty()) {
            // The comment case: vertices of the object "body", group "wall".
            text += "f 1 2 3\r\n";
            triangles = {{2, 0, 1}};
            patches = {"body_wall"};
            ids = {0};
        }
        const auto r = mesh::load_obj(dir.write("s.obj", text));
        ASSERT_TRUE(r.ok()) << r.error();
        EXPECT_EQ(r->trimesh.triangles(), triangles);
        EXPECT_EQ(r->patch_names, patches);
        EXPECT_EQ(r->triangle_patch_ids, ids);
    }
}

TEST(LoadObj, VerticesInFileOrderAsDoubles) {
    TempDir dir;
    const auto r = mesh::load_obj(dir.write(
        "v.obj", "o a\nv 0.1 -2.5e-3 1e300\nv +1 .5 5.\nv 1e-400 -1e400 nan\nf 1 2 3\n"
                 "o b\nv 7 8 9\nv 1 1 1\nv 2 2 2\nf 4 5 6\n"));
    ASSERT_TRUE(r.ok()) << r.error();
    const auto& v = r->trimesh.vertices();
    ASSERT_EQ(v.size(), 6u);
    EXPECT_EQ(v[0], (Vec3{0.1, -0.0025, 1e300}));
    EXPECT_EQ(v[1], (Vec3{1, 0.5, 5}));
    EXPECT_EQ(v[2][0], 0.0);
    EXPECT_EQ(v[2][1], -INFINITY);
    EXPECT_TRUE(std::isnan(v[2][2]));
    EXPECT_EQ(v[3], (Vec3{7, 8, 9}));
    EXPECT_EQ(r->trimesh.triangles(), (std::vector<Triangle>{{2, 0, 1}, {5, 3, 4}}));
}

TEST(LoadObj, ParseErrors) {
    const struct {
        const char* what;
        std::string text;
        std::string message;
    } cases[] = {
        {"index past the vertices", V3 + "f 1 2 4\n", "(L4): Expected index in the range [1, 4), but got 4."},
        {"index 0", V3 + "f 0 1 2\n", "(L4): Expected index in the range [1, 4), but got 0."},
        {"relative index", V3 + "f -1 -2 -3\n", "(L4): Expected index in the range [1, 4), but got -1."},
        {"the third corner is checked too", V3 + "f 1 2 9/1/1\n",
         "(L4): Expected index in the range [1, 4), but got 9."},
        {"a vertex of the object before",
         "o a\n" + V3 + "f 1 2 3\no b\n" + V3 + "f 4 5 3\n",
         "(L10): Expected index in the range [4, 7), but got 3."},
        {"a vertex listed after the face", "v 0 0 0\nv 1 0 0\nf 1 2 3\nv 0 1 0\n",
         "(L3): Expected index in the range [1, 3), but got 3."},
        {"an object without vertices", V3 + "o b\nf 1 2 3\n",
         "(L5): Expected index in the range [4, 4), but got 1."},
        {"a line's index", V3 + "l 1 5\n", "(L4): Expected index in the range [1, 4), but got 5."},
        {"index beyond 64 bits", V3 + "f 1 2 99999999999999999999\n",
         "(L4): Invalid vertex reference '99999999999999999999'."},
        {"not an index", V3 + "f 1 two 3\n", "(L4): Invalid vertex reference 'two'."},
        {"empty vertex index", V3 + "f 1 /2 3\n", "(L4): Invalid vertex reference '/2'."},
        {"slash without texture index", V3 + "f 1 2/ 3\n", "(L4): Invalid vertex reference '2/'."},
        {"no normal after two slashes", V3 + "f 1 2// 3\n", "(L4): Invalid vertex reference '2//'."},
        {"too many slashes", V3 + "f 1 2/1/1/1 3\n", "(L4): Invalid vertex reference '2/1/1/1'."},
        {"plus sign", V3 + "f +1 2 3\n", "(L4): Invalid vertex reference '+1'."},
        {"face without corners", V3 + "f\n", "(L4): Expected at least one vertex index after 'f'."},
        {"face with a comment only", V3 + "f # none\n",
         "(L4): Expected at least one vertex index after 'f'."},
        {"vertex with two coordinates", "v 1 2\n", "(L1): Expected 3 to 7 numbers after 'v', but got 2."},
        {"vertex with eight values", "v 1 2 3 4 5 6 7 8\n",
         "(L1): Expected 3 to 7 numbers after 'v', but got 8."},
        {"bad coordinate", "v 0 0 0\nv 1 0 x\n", "(L2): Expected a number, but got 'x'."},
        {"normal with two values", "vn 0 1\n", "(L1): Expected 3 numbers after 'vn', but got 2."},
        {"texture vertex without values", "vt\n", "(L1): Expected 1 to 3 numbers after 'vt', but got 0."},
        {"unknown statement", V3 + "curv 0 1 2\n", "(L4): Unexpected statement 'curv'."},
        {"unknown statement with control bytes", "\x01x 1\n", "(L1): Unexpected statement '\\x01x'."},
        {"keyword glued to its value", "v1 2 3\n", "(L1): Unexpected statement 'v1'."},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = mesh::load_obj(dir.write("bad.obj", c.text));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), "Failed to parse OBJ file: parse error " + c.message);
    }
}

TEST(LoadObj, Utf8Check) {
    const std::string invalid[] = {
        "\xff",
        "\x80",                               // lone continuation byte
        "\xc0\xaf",                           // overlong "/"
        "\xe0\x80\xaf",                       // overlong, three bytes
        "\xed\xa0\x80",                       // surrogate U+D800
        "\xf4\x90\x80\x80",                   // above U+10FFFF
        "\xf5\x80\x80\x80",
        "\xe2\x82",                           // cut short at the end
        "\xe2\x82x",                          // cut short before ASCII
        "aaaaaaaaaaaaaaaaaaaaaaaa\xc3",       // after a long ASCII run
    };
    TempDir dir;
    for (const std::string& bad : invalid) {
        const auto r = mesh::load_obj(dir.write("u.obj", V3 + "f 1 2 3\n# " + bad + "\n"));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), "Failed to read OBJ file: stream did not contain valid UTF-8");
    }
    // The largest and smallest code points of each length, and those next to
    // the surrogates, are valid.
    const std::string valid = "# \x7f \xc2\x80 \xdf\xbf \xe0\xa0\x80 \xed\x9f\xbf \xee\x80\x80 "
                              "\xef\xbf\xbf \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf \xf0\x9f\x98\x80\n";
    const auto r = mesh::load_obj(dir.write("u.obj", valid + V3 + "f 1 2 3\n"));
    EXPECT_TRUE(r.ok()) << r.error();
}

TEST(LoadObj, FileSystemFailures) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() + "/part.obj");
    const std::string good = dir.write("good.obj", V3 + "f 1 2 3\n");
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {dir.path() + "/missing.obj", "Failed to read OBJ file: No such file or directory (os error 2)"},
        {dir.path() + "/part.obj", "Failed to read OBJ file: Is a directory (os error 21)"},
        {good + "\0.obj"s, "Failed to read OBJ file: path contains a NUL byte"},
    };
    for (const auto& c : cases) {
        const auto r = mesh::load_obj(c.path);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), c.message);
    }
}

TEST(LoadObj, NoTriangleIsAnInternalError) {
    const std::string cases[] = {
        "",
        "# nothing but a comment\n",
        V3,
        V3 + "g edges\nl 1 2\np 3\nf 1\nf 2 3\n",
    };
    TempDir dir;
    for (const std::string& text : cases) {
        try {
            (void)mesh::load_obj(dir.write("none.obj", text));
            ADD_FAILURE() << "no internal error for:\n" << text;
        } catch (const InternalError& e) {
            EXPECT_STREQ(e.what(), "Failed to build TriMesh: EmptyIndices");
        }
    }
}

}  // namespace
}  // namespace quorin
