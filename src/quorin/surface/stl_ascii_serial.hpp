// ASCII STL text read token by token in file order, counting lines: the
// reference reading, and the slow path of the block reader for whatever
// its blocks cannot vouch for.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "quorin/error.hpp"
#include "quorin/surface/stl_ascii.hpp"
#include "quorin/surface/stl_ascii_lex.hpp"

namespace quorin::mesh::detail {

using StlVertex32 = std::array<float, 3>;

// "line {line}: expected {what}, found {token}", or "... found the end of
// the file" for an empty token.
std::string stl_expected_message(std::size_t line, std::string_view what, std::string_view found);

// The grammar is described at parse_ascii_stl.
class AsciiReader {
public:
    explicit AsciiReader(std::string_view text, std::size_t max_vertices = STL_MAX_VERTICES)
        : text_(text), p_(text.data()), end_(text.data() + text.size()), max_vertices_(max_vertices) {}

    // The whole text, from its first line on.
    Expected<StlSurface> read();

    // Reading a statement at a time, for the block reader.

    // Moves past the first line ("solid" and the name).
    void skip_first_line() { skip_line(); }

    enum class Step { facet, solid, end, failed };
    // One statement where a facet or "endsolid" is expected: a facet, whose
    // corners are appended to vertices(); or "endsolid" and the rest of its
    // line, then the end of the text, or "solid" and the rest of its line.
    // On `failed` the message is in error().
    Step statement();

    // Moves to the start of the next token, or to the end of the text.
    void skip_space() {
        while (p_ != end_ && stl_lex::is_space(*p_)) {
            if (*p_ == '\n') ++line_;
            ++p_;
        }
    }

    // Goes on at `offset` after `facets` facets read by someone else over
    // `line_feeds` line feeds from the current position.
    void jump(std::size_t offset, std::size_t line_feeds, std::size_t facets);

    std::size_t offset() const { return static_cast<std::size_t>(p_ - text_.data()); }
    std::size_t line() const { return line_; }
    // Vertices so far, read here or skipped by jump().
    std::size_t vertex_count() const { return skipped_vertices_ + vertices_.size(); }
    // The corners of the facets read here, in order.
    std::vector<StlVertex32>& vertices() { return vertices_; }
    std::string& error() { return error_; }

private:
    // The next token, empty at the end of the file.
    std::string_view next() {
        skip_space();
        token_line_ = line_;
        const char* start = p_;
        while (p_ != end_ && !stl_lex::is_space(*p_)) ++p_;
        return {start, static_cast<std::size_t>(p_ - start)};
    }

    void skip_line();
    void unexpected(std::string_view expected, std::string_view found);
    bool expect(std::string_view word);
    bool number(float& out);
    bool facet();

    std::string_view text_;
    const char* p_;
    const char* end_;
    std::size_t max_vertices_;
    std::size_t line_ = 1;
    std::size_t token_line_ = 1;
    std::size_t skipped_vertices_ = 0;
    std::string error_;
    std::vector<StlVertex32> vertices_;
};

// The whole text read by AsciiReader alone.
Expected<StlSurface> read_ascii_stl_serial(std::string_view text,
                                           std::size_t max_vertices = STL_MAX_VERTICES);

}  // namespace quorin::mesh::detail
