#include "quorin/surface/stl.hpp"

#include <bit>
#include <cstring>
#include <utility>

#include "quorin/parallel.hpp"

namespace quorin::mesh {

namespace {

using Vertex32 = std::array<float, 3>;

// What the reader hands on: the vertices, widened exactly from the file's
// 32-bit floats, and one index triple per facet, in file order. Vertices are
// not merged: facet i owns vertices 3i, 3i + 1 and 3i + 2.
struct StlData {
    std::vector<Vec3> vertices;
    std::vector<Triangle> faces;
};

// A binary file shorter than its header or than its triangle count says.
constexpr std::string_view SHORT_FILE = "failed to fill whole buffer";
// Vertex indices are 32-bit: at most 2^32 - 1 vertices.
constexpr std::size_t MAX_VERTICES = 0xFFFFFFFFu;
constexpr std::string_view TOO_MANY = "too many triangles for 32-bit vertex indices";

constexpr std::size_t HEADER_BYTES = 80;
constexpr std::size_t RECORD_BYTES = 50;

bool is_ascii(std::string_view bytes) {
    const std::string_view first_line = bytes.substr(0, bytes.find('\n'));
    return first_line.starts_with("solid ") && detail::is_valid_utf8(first_line);
}

float read_f32(const char* p) {
    std::uint32_t bits;
    std::memcpy(&bits, p, 4);
    if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap32(bits);
    return std::bit_cast<float>(bits);
}

Expected<StlData> read_binary(std::string_view bytes) {
    if (bytes.size() < HEADER_BYTES + 4) return Failure{std::string(SHORT_FILE)};
    const auto* c = reinterpret_cast<const unsigned char*>(bytes.data()) + HEADER_BYTES;
    const std::uint32_t count = std::uint32_t(c[0]) | std::uint32_t(c[1]) << 8 |
                                std::uint32_t(c[2]) << 16 | std::uint32_t(c[3]) << 24;
    // Checked against the bytes present before anything is allocated for it.
    if ((bytes.size() - HEADER_BYTES - 4) / RECORD_BYTES < count) {
        return Failure{std::string(SHORT_FILE)};
    }
    const std::size_t n = count;
    if (3 * n > MAX_VERTICES) return Failure{std::string(TOO_MANY)};

    StlData data;
    data.vertices.resize(3 * n);
    data.faces.resize(n);
    const char* records = bytes.data() + HEADER_BYTES + 4;
    parallel::for_chunks(n, 16384, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i != e; ++i) {
            // Skip the 12-byte normal; the attribute word after the corners is ignored.
            const char* r = records + i * RECORD_BYTES + 12;
            for (std::size_t k = 0; k < 3; ++k) {
                Vec3& v = data.vertices[3 * i + k];
                for (std::size_t a = 0; a < 3; ++a) v[a] = double(read_f32(r + 12 * k + 4 * a));
            }
            const auto first = static_cast<std::uint32_t>(3 * i);
            data.faces[i] = {first, first + 1, first + 2};
        }
    });
    return data;
}

// ASCII STL: "solid name", then facets
//   facet normal nx ny nz / outer loop / vertex x y z (three times) / endloop / endfacet
// and "endsolid name". Tokens are separated by any whitespace; further
// "solid ... endsolid" blocks may follow the first one.
class AsciiReader {
public:
    explicit AsciiReader(std::string_view bytes)
        : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    Expected<StlData> read() {
        skip_line();  // "solid" and the name
        for (;;) {
            const std::string_view t = next();
            if (t == "facet") {
                if (!facet()) return Failure{std::move(error_)};
                continue;
            }
            if (t == "endsolid") {
                skip_line();
                const std::string_view after = next();
                if (after.empty()) break;
                if (after == "solid") {
                    skip_line();
                    continue;
                }
                unexpected("'solid' or the end of the file", after);
                return Failure{std::move(error_)};
            }
            unexpected("'facet' or 'endsolid'", t);
            return Failure{std::move(error_)};
        }
        return StlData{vertices_to_f64(std::move(vertices_)), std::move(faces_)};
    }

private:
    static bool is_space(char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    }

    // The next token, empty at the end of the file.
    std::string_view next() {
        while (p_ != end_ && is_space(*p_)) {
            if (*p_ == '\n') ++line_;
            ++p_;
        }
        token_line_ = line_;
        const char* start = p_;
        while (p_ != end_ && !is_space(*p_)) ++p_;
        return {start, static_cast<std::size_t>(p_ - start)};
    }

    // Moves to the end of the current line (its line feed is counted by next()).
    void skip_line() {
        const void* lf = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
        p_ = lf ? static_cast<const char*>(lf) : end_;
    }

    void unexpected(std::string_view expected, std::string_view found) {
        error_ = "line " + std::to_string(token_line_) + ": expected " + std::string(expected) +
                 ", found " + (found.empty() ? std::string("the end of the file")
                                             : detail::quote_token(found));
    }

    bool expect(std::string_view word) {
        const std::string_view t = next();
        if (t == word) return true;
        std::string quoted;
        quoted.reserve(word.size() + 2);
        quoted.append(1, '\'').append(word).append(1, '\'');
        unexpected(quoted, t);
        return false;
    }

    bool number(float& out) {
        const std::string_view t = next();
        if (detail::parse_real(t, out)) return true;
        unexpected("a number", t);
        return false;
    }

    bool facet() {
        float ignored;
        if (!expect("normal")) return false;
        for (int a = 0; a < 3; ++a) {
            if (!number(ignored)) return false;
        }
        if (!expect("outer") || !expect("loop")) return false;
        if (vertices_.size() + 3 > MAX_VERTICES) {
            error_ = "line " + std::to_string(token_line_) + ": " + std::string(TOO_MANY);
            return false;
        }
        const auto first = static_cast<std::uint32_t>(vertices_.size());
        for (int k = 0; k < 3; ++k) {
            Vertex32 v;
            if (!expect("vertex")) return false;
            for (int a = 0; a < 3; ++a) {
                if (!number(v[a])) return false;
            }
            vertices_.push_back(v);
        }
        if (!expect("endloop") || !expect("endfacet")) return false;
        faces_.push_back({first, first + 1, first + 2});
        return true;
    }

    const char* p_;
    const char* end_;
    std::size_t line_ = 1;
    std::size_t token_line_ = 1;
    std::string error_;
    std::vector<Vertex32> vertices_;
    std::vector<Triangle> faces_;
};

}  // namespace

Expected<IbmMesh> load_stl(const std::string& path) {
    constexpr std::string_view READ_FAILED = "Failed to read STL file: ";
    Expected<detail::FileBytes> file = detail::read_file(path, "Failed to open STL file: ", READ_FAILED);
    if (!file) return Failure{file.error()};
    const std::string_view bytes = file->view();
    Expected<StlData> data = is_ascii(bytes) ? AsciiReader(bytes).read() : read_binary(bytes);
    file->data.reset();
    if (!data) return Failure{std::string(READ_FAILED) + data.error()};

    std::vector<std::uint64_t> patch_ids;
    patch_ids.resize(data->faces.size(), 0);
    return IbmMesh(std::move(data->vertices), std::move(data->faces), {"_default"},
                   std::move(patch_ids));
}

}  // namespace quorin::mesh
