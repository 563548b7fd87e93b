#include "obj_serial_reference.hpp"

#include <charconv>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "quorin/surface/ibm_mesh.hpp"

namespace quorin::mesh::detail {

namespace {

// Vertex indices are 32-bit: at most 2^32 - 1 vertices.
constexpr std::size_t MAX_VERTICES = 0xFFFFFFFFu;

// One pass over the text, line by line. The parsed model (objects with their
// own vertices, shapes with their first group) is turned into the surface as
// it is read: objects are contiguous in the global vertex list, so an
// object's local-to-global map is its first global index plus the local one.
class ObjParser {
public:
    explicit ObjParser(std::string_view text) : text_(text) {}

    // False on a parse error; error() then holds "parse error (L{}): {}".
    bool parse() {
        std::size_t pos = 0;
        while (pos < text_.size()) {
            ++line_;
            const std::size_t lf = text_.find('\n', pos);
            const std::size_t stop = lf == std::string_view::npos ? text_.size() : lf;
            if (!statement(text_.substr(pos, stop - pos))) return false;
            pos = stop + 1;
        }
        return true;
    }

    const std::string& error() const { return error_; }

    std::vector<Vec3> vertices;
    std::vector<Triangle> triangles;
    std::vector<std::uint64_t> patch_ids;
    std::vector<std::string> patch_names;  // by id

private:
    static bool is_space(char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
    }

    // Splits a line into tokens; a token that begins with '#' starts a comment.
    void tokenize(std::string_view line) {
        tokens_.clear();
        std::size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && is_space(line[i])) ++i;
            if (i == line.size() || line[i] == '#') break;
            const std::size_t start = i;
            while (i < line.size() && !is_space(line[i])) ++i;
            tokens_.push_back(line.substr(start, i - start));
        }
    }

    bool fail(const std::string& message) {
        error_ = "parse error (L" + std::to_string(line_) + "): " + message;
        return false;
    }

    // Parses tokens [1, end) as numbers into out; checks their count.
    bool numbers(std::string_view keyword, std::size_t min, std::size_t max, double* out) {
        const std::size_t n = tokens_.size() - 1;
        if (n < min || n > max) {
            const std::string range =
                min == max ? std::to_string(min) : std::to_string(min) + " to " + std::to_string(max);
            return fail("Expected " + range + " numbers after '" + std::string(keyword) +
                        "', but got " + std::to_string(n) + ".");
        }
        for (std::size_t k = 0; k < n; ++k) {
            double v;
            if (!parse_real(tokens_[k + 1], v)) {
                return fail("Expected a number, but got " + quote_token(tokens_[k + 1]) +
                            ".");
            }
            if (out) out[k] = v;
        }
        return true;
    }

    static bool parse_int(std::string_view s, std::int64_t& out) {
        if (s.empty()) return false;
        const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
        return r.ec == std::errc() && r.ptr == s.data() + s.size();
    }

    // A corner "v", "v/vt", "v//vn" or "v/vt/vn": its vertex as a global
    // 0-based index. Texture and normal indices are checked for form only.
    bool corner(std::string_view token, std::uint32_t& out) {
        const std::size_t s1 = token.find('/');
        const std::string_view vpart = token.substr(0, s1);
        bool well_formed = true;
        std::int64_t index = 0;
        if (!parse_int(vpart, index)) well_formed = false;
        if (well_formed && s1 != std::string_view::npos) {
            const std::string_view rest = token.substr(s1 + 1);
            const std::size_t s2 = rest.find('/');
            std::int64_t ignored;
            if (s2 == std::string_view::npos) {
                well_formed = parse_int(rest, ignored);  // v/vt
            } else {
                const std::string_view vt = rest.substr(0, s2);
                const std::string_view vn = rest.substr(s2 + 1);
                well_formed = (vt.empty() || parse_int(vt, ignored)) && parse_int(vn, ignored);
            }
        }
        if (!well_formed) return fail("Invalid vertex reference " + quote_token(token) + ".");
        // Only the vertices of the current object, listed so far, may be named.
        const auto lo = static_cast<std::int64_t>(object_first_) + 1;
        const auto hi = static_cast<std::int64_t>(vertices.size()) + 1;
        if (index < lo || index >= hi) {
            return fail("Expected index in the range [" + std::to_string(lo) + ", " +
                        std::to_string(hi) + "), but got " + std::to_string(index) + ".");
        }
        out = static_cast<std::uint32_t>(index - 1);
        return true;
    }

    // The id of the current object's and group's patch, entered on first use.
    std::uint64_t patch() {
        if (!patch_known_) {
            const std::string_view group = has_group_ ? std::string_view(group_) : "_default";
            std::string name = object_name_.empty() ? std::string(group)
                                                    : object_name_ + "_" + std::string(group);
            const auto [it, inserted] = patch_table_.try_emplace(name, patch_names.size());
            if (inserted) patch_names.push_back(std::move(name));
            patch_ = it->second;
            patch_known_ = true;
        }
        return patch_;
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

    bool statement(std::string_view line) {
        tokenize(line);
        if (tokens_.empty()) return true;
        const std::string_view kw = tokens_[0];
        if (kw == "v") {
            double xyz[7];
            // x y z, an optional weight or colour values after them.
            if (!numbers(kw, 3, 7, xyz)) return false;
            if (vertices.size() == MAX_VERTICES) {
                return fail("Too many vertices: at most 4294967295 are supported.");
            }
            vertices.push_back({xyz[0], xyz[1], xyz[2]});
            return true;
        }
        if (kw == "f" || kw == "l") {
            if (!corners(kw)) return false;
            const std::size_t n = corners_.size();
            if (n < 3) {
                patch();  // a point or a line: its patch is entered, nothing is kept
                return true;
            }
            const std::uint32_t last = corners_[n - 1];
            for (std::size_t k = 0; k + 2 < n; ++k) {
                const std::uint64_t id = patch();
                triangles.push_back({last, corners_[k], corners_[k + 1]});
                patch_ids.push_back(id);
            }
            return true;
        }
        if (kw == "p") {
            if (!corners(kw)) return false;
            patch();
            return true;
        }
        if (kw == "o") {
            // The name is the rest of the line, inner blanks kept.
            object_name_ = tokens_.size() > 1
                               ? std::string(tokens_[1].data(),
                                             static_cast<std::size_t>(tokens_.back().data() +
                                                                      tokens_.back().size() -
                                                                      tokens_[1].data()))
                               : std::string();
            object_first_ = vertices.size();
            has_group_ = false;
            patch_known_ = false;
            return true;
        }
        if (kw == "g") {
            // Only the first of the names counts for the patch.
            has_group_ = tokens_.size() > 1;
            if (has_group_) group_.assign(tokens_[1]);
            patch_known_ = false;
            return true;
        }
        if (kw == "vt" || kw == "vp") return numbers(kw, 1, 3, nullptr);
        if (kw == "vn") return numbers(kw, 3, 3, nullptr);
        if (kw == "s" || kw == "usemtl" || kw == "mtllib") return true;
        return fail("Unexpected statement " + quote_token(kw) + ".");
    }

    std::string_view text_;
    std::size_t line_ = 0;
    std::string error_;
    std::vector<std::string_view> tokens_;
    std::vector<std::uint32_t> corners_;

    std::string object_name_;
    std::size_t object_first_ = 0;  // global index of the object's first vertex
    bool has_group_ = false;
    std::string group_;
    bool patch_known_ = false;
    std::uint64_t patch_ = 0;
    std::unordered_map<std::string, std::uint64_t> patch_table_;
};

template <class T>
Buffer<T> to_buffer(const std::vector<T>& items) {
    return Buffer<T>(items.begin(), items.end());
}

}  // namespace

Expected<ObjSurface> parse_obj_serial(std::string_view text) {
    if (!is_valid_utf8(text)) {
        return Failure{"Failed to read OBJ file: stream did not contain valid UTF-8"};
    }
    ObjParser parser(text);
    if (!parser.parse()) return Failure{"Failed to parse OBJ file: " + parser.error()};
    return ObjSurface{to_buffer(parser.vertices), to_buffer(parser.triangles),
                      std::move(parser.patch_names), to_buffer(parser.patch_ids)};
}

}  // namespace quorin::mesh::detail
