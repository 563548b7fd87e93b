#include "quorin/surface/stl_ascii_serial.hpp"

#include <cstring>
#include <utility>

#include "quorin/surface/ibm_mesh.hpp"

namespace quorin::mesh::detail {

std::string stl_expected_message(std::size_t line, std::string_view what, std::string_view found) {
    return "line " + std::to_string(line) + ": expected " + std::string(what) + ", found " +
           (found.empty() ? std::string("the end of the file") : quote_token(found));
}

Expected<StlSurface> AsciiReader::read() {
    skip_first_line();
    for (;;) {
        switch (statement()) {
            case Step::facet:
            case Step::solid:
                continue;
            case Step::end: {
                Buffer<Triangle> faces = own_corner_faces(vertices_.size() / 3);
                return StlSurface{vertices_to_f64(std::move(vertices_)), std::move(faces)};
            }
            case Step::failed:
                return Failure{std::move(error_)};
        }
    }
}

AsciiReader::Step AsciiReader::statement() {
    const std::string_view t = next();
    if (t == "facet") return facet() ? Step::facet : Step::failed;
    if (t == "endsolid") {
        skip_line();
        const std::string_view after = next();
        if (after.empty()) return Step::end;
        if (after == "solid") {
            skip_line();
            return Step::solid;
        }
        unexpected("'solid' or the end of the file", after);
        return Step::failed;
    }
    unexpected("'facet' or 'endsolid'", t);
    return Step::failed;
}

void AsciiReader::jump(std::size_t offset, std::size_t line_feeds, std::size_t facets) {
    p_ = text_.data() + offset;
    line_ += line_feeds;
    skipped_vertices_ += 3 * facets;
}

// Moves to the end of the current line (its line feed is counted by next()).
void AsciiReader::skip_line() {
    const void* lf = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
    p_ = lf ? static_cast<const char*>(lf) : end_;
}

void AsciiReader::unexpected(std::string_view expected, std::string_view found) {
    error_ = stl_expected_message(token_line_, expected, found);
}

bool AsciiReader::expect(std::string_view word) {
    const std::string_view t = next();
    if (t == word) return true;
    std::string quoted;
    quoted.reserve(word.size() + 2);
    quoted.append(1, '\'').append(word).append(1, '\'');
    unexpected(quoted, t);
    return false;
}

bool AsciiReader::number(float& out) {
    const std::string_view t = next();
    if (parse_real(t, out)) return true;
    unexpected("a number", t);
    return false;
}

bool AsciiReader::facet() {
    float ignored;
    if (!expect("normal")) return false;
    for (int a = 0; a < 3; ++a) {
        if (!number(ignored)) return false;
    }
    if (!expect("outer") || !expect("loop")) return false;
    if (vertex_count() + 3 > max_vertices_) {
        error_ = "line " + std::to_string(token_line_) + ": " + std::string(STL_TOO_MANY);
        return false;
    }
    for (int k = 0; k < 3; ++k) {
        StlVertex32 v;
        if (!expect("vertex")) return false;
        for (int a = 0; a < 3; ++a) {
            if (!number(v[a])) return false;
        }
        vertices_.push_back(v);
    }
    return expect("endloop") && expect("endfacet");
}

Expected<StlSurface> read_ascii_stl_serial(std::string_view text, std::size_t max_vertices) {
    return AsciiReader(text, max_vertices).read();
}

}  // namespace quorin::mesh::detail
