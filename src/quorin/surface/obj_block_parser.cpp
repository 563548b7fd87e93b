#include "quorin/surface/obj_block_parser.hpp"

#include <charconv>
#include <vector>

#include "quorin/surface/ibm_mesh.hpp"
#include "quorin/surface/obj_lex.hpp"

namespace quorin::mesh::detail {

namespace {

bool parse_int(std::string_view s, std::int64_t& out) {
    if (s.empty()) return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// A corner "v", "v/vt", "v//vn" or "v/vt/vn" with well-formed indices: its
// 1-based vertex index. Texture and normal indices are checked for form only.
std::optional<std::int64_t> corner_index(std::string_view token) {
    const std::size_t s1 = token.find('/');
    std::int64_t index = 0;
    if (!parse_int(token.substr(0, s1), index)) return std::nullopt;
    if (s1 == std::string_view::npos) return index;
    const std::string_view rest = token.substr(s1 + 1);
    const std::size_t s2 = rest.find('/');
    std::int64_t ignored;
    if (s2 == std::string_view::npos) {
        if (!parse_int(rest, ignored)) return std::nullopt;  // v/vt
        return index;
    }
    const std::string_view vt = rest.substr(0, s2);
    const std::string_view vn = rest.substr(s2 + 1);
    if (!(vt.empty() || parse_int(vt, ignored)) || !parse_int(vn, ignored)) return std::nullopt;
    return index;
}

std::string count_range(std::size_t min, std::size_t max) {
    return min == max ? std::to_string(min) : std::to_string(min) + " to " + std::to_string(max);
}

// The statements of one block, line by line, with the serial parser's state:
// the line number, the vertex count, the current object's first vertex and
// the stretch (between "o" and "g" statements) whose patch shapes take.
class BlockParser {
public:
    BlockParser(const BlockStart& start, const ObjSink& sink)
        : line_(start.line),
          vertex_(start.vertex),
          triangle_(start.triangle),
          object_first_(start.object_first),
          patches_(start.stretch_patches),
          sink_(sink) {}

    std::optional<std::string> parse(std::string_view block) {
        obj_lex::for_each_line(block, [&](std::string_view line) {
            ++line_;
            return statement(line);
        });
        return std::move(error_);
    }

private:
    bool fail(const std::string& message) {
        error_ = "parse error (L" + std::to_string(line_) + "): " + message;
        return false;
    }

    // Parses tokens [1, end) as numbers into out; checks their count.
    bool numbers(std::string_view keyword, std::size_t min, std::size_t max, double* out) {
        const std::size_t n = tokens_.size() - 1;
        if (n < min || n > max) {
            return fail("Expected " + count_range(min, max) + " numbers after '" +
                        std::string(keyword) + "', but got " + std::to_string(n) + ".");
        }
        for (std::size_t k = 0; k < n; ++k) {
            double v;
            if (!parse_real(tokens_[k + 1], v)) {
                return fail("Expected a number, but got " + quote_token(tokens_[k + 1]) + ".");
            }
            if (out) out[k] = v;
        }
        return true;
    }

    // A corner's vertex as a global 0-based index: one of the current
    // object's vertices listed so far.
    bool corner(std::string_view token, std::uint32_t& out) {
        const std::optional<std::int64_t> index = corner_index(token);
        if (!index) return fail("Invalid vertex reference " + quote_token(token) + ".");
        const auto lo = static_cast<std::int64_t>(object_first_) + 1;
        const auto hi = static_cast<std::int64_t>(vertex_) + 1;
        if (*index < lo || *index >= hi) {
            return fail("Expected index in the range [" + std::to_string(lo) + ", " +
                        std::to_string(hi) + "), but got " + std::to_string(*index) + ".");
        }
        out = static_cast<std::uint32_t>(*index - 1);
        return true;
    }

    bool corners(std::string_view keyword) {
        const std::size_t n = tokens_.size() - 1;
        if (n == 0) {
            return fail("Expected at least one vertex index after '" + std::string(keyword) + "'.");
        }
        corners_.resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            if (!corner(tokens_[k + 1], corners_[k])) return false;
        }
        return true;
    }

    bool vertex(std::string_view kw) {
        double xyz[7];
        // x y z, an optional weight or colour values after them.
        if (!numbers(kw, 3, 7, xyz)) return false;
        if (vertex_ >= OBJ_MAX_VERTICES) {
            return fail("Too many vertices: at most 4294967295 are supported.");
        }
        sink_.vertices[vertex_++] = {xyz[0], xyz[1], xyz[2]};
        return true;
    }

    // The fan (cn, c1, c2), (cn, c2, c3), ... of a face or line; points and
    // lines of fewer corners leave nothing.
    bool face(std::string_view kw) {
        if (!corners(kw)) return false;
        const std::size_t n = corners_.size();
        const std::uint32_t last = corners_[n - 1];
        const std::uint64_t patch = patches_[stretch_];
        for (std::size_t k = 0; k + 2 < n; ++k) {
            sink_.triangles[triangle_] = {last, corners_[k], corners_[k + 1]};
            sink_.patch_ids[triangle_] = patch;
            ++triangle_;
        }
        return true;
    }

    bool statement(std::string_view line) {
        obj_lex::tokenize(line, tokens_);
        if (tokens_.empty()) return true;
        const std::string_view kw = tokens_[0];
        if (kw == "v") return vertex(kw);
        if (kw == "f" || kw == "l") return face(kw);
        if (kw == "p") return corners(kw);
        if (kw == "o" || kw == "g") {
            // The first pass has followed the names; only the object's
            // first vertex and the stretch are needed here.
            if (kw == "o") object_first_ = vertex_;
            ++stretch_;
            return true;
        }
        if (kw == "vt" || kw == "vp") return numbers(kw, 1, 3, nullptr);
        if (kw == "vn") return numbers(kw, 3, 3, nullptr);
        if (kw == "s" || kw == "usemtl" || kw == "mtllib") return true;
        return fail("Unexpected statement " + quote_token(kw) + ".");
    }

    std::size_t line_;
    std::size_t vertex_;
    std::size_t triangle_;
    std::size_t object_first_;
    const std::vector<std::uint64_t>& patches_;
    std::size_t stretch_ = 0;
    const ObjSink& sink_;
    std::optional<std::string> error_;
    std::vector<std::string_view> tokens_;
    std::vector<std::uint32_t> corners_;
};

}  // namespace

std::optional<std::string> parse_block(std::string_view block, const BlockStart& start,
                                       const ObjSink& sink) {
    return BlockParser(start, sink).parse(block);
}

}  // namespace quorin::mesh::detail
