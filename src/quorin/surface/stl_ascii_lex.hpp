// Splitting ASCII STL text into tokens: runs of bytes between whitespace.
// The token-by-token reader and both passes of the block reader split the
// text with these, so that they agree on every token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorin::mesh::detail::stl_lex {

// Blank, tab, line feed, vertical tab, form feed, carriage return.
inline bool is_space(char c) {
    constexpr std::uint64_t SPACES = (std::uint64_t{1} << ' ') | (std::uint64_t{1} << '\t') |
                                     (std::uint64_t{1} << '\n') | (std::uint64_t{1} << '\v') |
                                     (std::uint64_t{1} << '\f') | (std::uint64_t{1} << '\r');
    const auto u = static_cast<unsigned char>(c);
    return u <= ' ' && ((SPACES >> u) & 1) != 0;
}

// Reads tokens from a position up to the end of the text, without counting
// lines.
class Cursor {
public:
    Cursor(const char* p, const char* end) : p_(p), end_(end) {}

    // The next token, empty at the end of the text.
    std::string_view next() {
        while (p_ != end_ && is_space(*p_)) ++p_;
        const char* start = p_;
        while (p_ != end_ && !is_space(*p_)) ++p_;
        return {start, static_cast<std::size_t>(p_ - start)};
    }

    void skip(int tokens) {
        for (int k = 0; k < tokens; ++k) next();
    }

private:
    const char* p_;
    const char* end_;
};

}  // namespace quorin::mesh::detail::stl_lex
